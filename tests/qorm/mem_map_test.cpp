#include "qorm/mem_map_handle.h"

#include "support/log_capture.h"
#include "support/temp_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

off_t file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
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
    const std::string path = root.path() + "/var/tmp/smartx/records/job/rec";
    EXPECT_EQ(file_size(path), 64);

    struct stat st;
    ASSERT_EQ(::stat((root.path() + "/var/tmp/smartx/records/job").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0640, 0u);  // never more than 0640

    h.close();
    EXPECT_FALSE(h);
    ASSERT_EQ(h.open("job", "rec", false, true, 0750), 0);
    EXPECT_EQ(h->b, 77u);
}

TEST(MemMapHandle, MapsAWholeLargerFileAndRefusesAShortOne) {
    Temp_Root root;
    const std::string big = root.file("big"), small = root.file("small"),
                      empty = root.file("empty");
    write_file(big, std::string(100, '\x01'));
    write_file(small, std::string(sizeof(Record) - 1, '\x01'));
    write_file(empty, "");

    Record_Handle h;
    ASSERT_EQ(h.open_i(big.c_str(), O_RDWR), 0);
    EXPECT_EQ(h->a, 0x0101010101010101u);
    EXPECT_EQ(file_size(big), 100);  // nothing truncated or extended

    Log_Capture log;
    for (const std::string& path : {small, empty}) {
        EXPECT_EQ(h.open_i(path.c_str(), O_RDWR), -1) << path;
        EXPECT_FALSE(h) << path;
        EXPECT_EQ(file_size(path), static_cast<off_t>(path == small ? sizeof(Record) - 1 : 0));
    }
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].priority, LM_ERROR);
    EXPECT_EQ(log.lines()[0].text,
              "Failed to memory map " + small + ", errno=22, Invalid argument\n");
}

TEST(MemMapHandle, ReadOnlyFlagsMapReadOnly) {
    Temp_Root root;
    const std::string path = root.file("ro");
    write_file(path, std::string(sizeof(Record), '\x02'));
    ASSERT_EQ(::chmod(path.c_str(), 0440), 0);
    Record_Handle h;
    if (::geteuid() != 0) {
        // O_RDWR on a read-only file fails, O_RDONLY succeeds.
        Log_Capture log;
        EXPECT_EQ(h.open_i(path.c_str(), O_RDWR), -1);
    }
    ASSERT_EQ(h.open_i(path.c_str(), O_RDONLY), 0);
    EXPECT_EQ(h->b, 0x0202020202020202u);
}
