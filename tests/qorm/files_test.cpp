#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/host_manager.h"
#include "host/paths.h"
#include "qorm/client_io_options_helper.h"
#include "qorm/directory_iterator.h"
#include "qorm/mem_map_handle.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

class DirectoryIteration : public ::testing::Test {
protected:
    const char* root() const { return root_.path().c_str(); }

    Temp_Root root_;
};

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

struct Record {
    uint64_t a;
    uint64_t b;
};

struct Record_Conf {
    static constexpr const char* dir = "/var/tmp/$COMPONENT/records";
    static constexpr size_t map_size = 64;
};

typedef Mem_Map_Handle<Record, Record_Conf> Record_Handle;

std::string write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

mode_t mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

TEST(MemMapHandle, CreatesInTheConfiguredDirectoryWithItsSize) {
    Temp_Root root;
    Record_Handle h;
    EXPECT_FALSE(h);
    EXPECT_EQ(h.get(), nullptr);
    ASSERT_EQ(h.open("job", "rec", O_RDWR | O_CREAT, 0750), 0);
    ASSERT_TRUE(h);
    h->b = 77;
    const std::string dir = root.path() + "/var/tmp/smartx/records/job";
    EXPECT_EQ(std::filesystem::file_size(dir + "/rec"), 64u);
    EXPECT_EQ(mode(dir), 0750u);
    EXPECT_EQ(mode(dir + "/rec") & ~0640, 0u);  // never more than 0640
    h.close();
    EXPECT_FALSE(h);
    ASSERT_EQ(h.open("job", "rec", false, true, 0750), 0);
    EXPECT_EQ(h->b, 77u);
}

TEST(MemMapHandle, MapsAWholeLargerFileRefusesAShortOneAndHonoursReadOnly) {
    Temp_Root root;
    const std::string big = write_file(root.file("big"), std::string(100, '\x01'));
    const std::string small = write_file(root.file("small"), std::string(sizeof(Record) - 1, 1));
    const std::string empty = write_file(root.file("empty"), "");
    Record_Handle h;
    ASSERT_EQ(h.open_i(big.c_str(), O_RDWR), 0);
    EXPECT_EQ(h->a, 0x0101010101010101u);
    EXPECT_EQ(std::filesystem::file_size(big), 100u);  // nothing truncated or extended

    Log_Capture log;
    for (const std::string& path : {small, empty}) {
        EXPECT_EQ(h.open_i(path.c_str(), O_RDWR), -1) << path;
        EXPECT_FALSE(h) << path;
        EXPECT_EQ(std::filesystem::file_size(path), path == small ? sizeof(Record) - 1 : 0);
    }
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].priority, LM_ERROR);
    EXPECT_EQ(log.lines()[0].text,
              "Failed to memory map " + small + ", errno=22, Invalid argument\n");
    // O_RDWR on a read-only file fails (unless root), O_RDONLY maps it.
    const std::string ro = write_file(root.file("ro"), std::string(sizeof(Record), '\x02'));
    ASSERT_EQ(::chmod(ro.c_str(), 0440), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(h.open_i(ro.c_str(), O_RDWR), -1);
    }
    ASSERT_EQ(h.open_i(ro.c_str(), O_RDONLY), 0);
    EXPECT_EQ(h->b, 0x0202020202020202u);
}

json_spirit::Object dump(const Client_IO_Base::Options& o) {
    json_spirit::Object out;
    out << o;
    return out;
}

struct Fake_Definition {
    size_t max_seconds_retry = 0;
    size_t resumption_buffer_size = 0;
    Rate_Limits rate_limits;
};

TEST(ClientIoOptionsHelper, OnlyNamedHeadsAndTheAccessKeyAreSet) {
    Client_IO_Base::Options o;
    o.set_extra_option("keep", "me");
    const json_spirit::Object before = dump(o);
    for (int id : {0, -1, 50, 1000}) {
        ASSERT_EQ(nullptr, http_head_string(id, 0)) << id;
        set_http_head_to_options(o, id, secure_string("v"));
    }
    EXPECT_EQ(before, dump(o));
    Client_IO_Base::Options key;
    set_access_key_to_options(key, secure_string("k1"));
    set_access_key_to_options(key, secure_string("k2"));
    ASSERT_EQ(1u, key.extra_options.size());
    ASSERT_NE(nullptr, key.extra_option(http_head_string(49, 0)));
    EXPECT_EQ("k2", *key.extra_option(http_head_string(49, 0)));
}

TEST(ClientIoOptionsHelper, ByHostPicksTheKeyOfWhereItRuns) {
    Temp_Root root;
    const std::string path = Host_Manager::settings_path();
    ASSERT_EQ(0, make_directories(path.substr(0, path.rfind('/')), 0755));
    for (bool on_backupd : {true, false}) {
        std::ofstream(path) << R"({"access_key": "host-key", "node_access_key": "node-key")"
                            << (on_backupd ? R"(, "on_backupd": true})" : "}");
        ASSERT_TRUE(Host_Manager::instance()->reload());
        Client_IO_Base::Options o;
        set_options_by_host(o);
        ASSERT_NE(nullptr, o.extra_option(http_head_string(49, 0)));
        EXPECT_EQ(on_backupd ? "node-key" : "host-key", *o.extra_option(http_head_string(49, 0)));
    }
    ::unlink(path.c_str());
    Host_Manager::instance()->reload();
}

TEST(ClientIoOptionsHelper, ByJobDefinitionCopiesAndSharesLimits) {
    Fake_Definition def;
    def.max_seconds_retry = 300;
    def.resumption_buffer_size = 1 << 20;
    def.rate_limits.dest_rate_limits = {{0, Rate_Limit::DAY_SECONDS, 1000}};
    def.rate_limits.src_rate_limits = {{0, 60, 9}};
    Client_IO_Base::Options o;
    o.rate_limits.dest_rate_limits = {{0, 10, 5}, {10, 20, 5}};
    set_options_by_job_def(o, def, 4);
    EXPECT_EQ(300u, o.max_seconds_retry);
    EXPECT_EQ(size_t(1) << 20, o.resumption_buffer_size);
    ASSERT_EQ(1u, o.rate_limits.dest_rate_limits.size());
    EXPECT_EQ(250u, o.rate_limits.dest_rate_limits[0].rate);
    EXPECT_EQ(2u, o.rate_limits.src_rate_limits[0].rate);
    // The definition keeps its own limits.
    EXPECT_EQ(1000u, def.rate_limits.dest_rate_limits[0].rate);
}

}  // namespace
