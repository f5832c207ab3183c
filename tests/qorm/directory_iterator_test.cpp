#include "qorm/directory_iterator.h"

#include <gtest/gtest.h>

#include "support/temp_root.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {
class DirectoryIteration : public ::testing::Test {
protected:
    const char* root() const { return root_.path().c_str(); }

    Temp_Root root_;
};
}  // namespace

TEST_F(DirectoryIteration, NothingToListGivesEnd) {
    EXPECT_TRUE(iterate_directory(root(), false, 0).empty());
    EXPECT_TRUE(iterate_directory(root_.file("nope").c_str(), false, 0).empty());
    EXPECT_TRUE(iterate_directory(nullptr, false, 0).empty());
    EXPECT_TRUE(iterate_directory("", false, 0).empty());
}

TEST_F(DirectoryIteration, ListsEachEntryOnceWithLstatAndCopiesShare) {
    std::ofstream(root_.file("a")) << "12345";
    std::ofstream(root_.file(".hidden"));
    std::filesystem::create_directory(root_.file("sub"));
    std::filesystem::create_symlink(root_.file("missing"), root_.file("dangling"));

    std::map<std::string, mode_t> seen;
    for (const Directory_Entry& e : iterate_directory(root(), false, 0))
        EXPECT_TRUE(seen.emplace(e.name, e.stat.st_mode & S_IFMT).second) << e.name;
    const std::map<std::string, mode_t> expected{
        {".hidden", S_IFREG}, {"a", S_IFREG}, {"dangling", S_IFLNK}, {"sub", S_IFDIR}};
    EXPECT_EQ(seen, expected);

    const Directory_Iterator end;
    Directory_Iterator it(root(), false, 0), copy = it, other(root(), false, 0);
    EXPECT_NE(it, other);
    ++copy;
    EXPECT_EQ(it, copy);
    EXPECT_EQ(std::distance(it, end), 3);  // the copy already took one
    EXPECT_EQ(copy, end);
    EXPECT_NE(other, end);
    while (other != end)
        ++other;
    EXPECT_EQ(other, copy);  // both done
}

TEST_F(DirectoryIteration, ReaderTellsEndFromError) {
    Directory_Reader r;
    std::string name;
    ACE_stat st;
    EXPECT_EQ(r.read(name, st), -1);
    EXPECT_NE(r.last_error(), 0);
    EXPECT_EQ(r.open(root_.file("nope").c_str(), false, 0), -1);
    EXPECT_EQ(r.last_error(), ENOENT);

    std::ofstream(root_.file("only"));
    ASSERT_EQ(r.open(root(), false, 0), 0);
    ASSERT_EQ(r.read(name, st), 0);
    EXPECT_EQ(name, "only");
    EXPECT_EQ(r.read(name, st), -1);
    EXPECT_EQ(r.last_error(), 0);
}
