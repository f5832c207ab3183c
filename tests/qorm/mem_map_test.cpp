#include "qorm/mem_map_handle.h"

#include "support/log_capture.h"
#include "support/temp_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace {
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
}  // namespace

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
