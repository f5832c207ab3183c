// Planning what a backup reads, against the simulated ZBS library: written
// areas, extent maps and differences of volumes, clipped to odd disk sizes.
#include "smartx/servant/backup_planner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/zbs/fixture.h"
#include "smartx/zbs/zbs_wrapper.h"
#include "support/log_capture.h"

namespace smartx {
// Found by lookup from the vector comparisons and gtest's printer.
bool operator==(const Change_Block& a, const Change_Block& b) {
    return a.offset == b.offset && a.length == b.length;
}

std::ostream& operator<<(std::ostream& os, const Change_Block& b) {
    return os << "{" << b.offset << ", " << b.length << "}";
}
}  // namespace smartx

namespace {
using smartx::Change_Block;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr uint64_t BLOCK = 256 * KiB;
constexpr uint64_t EXTENT = smartx::ZBS_EXTENT_SIZE;

std::vector<Change_Block> blocks(std::initializer_list<std::pair<uint64_t, uint64_t>> list) {
    std::vector<Change_Block> out;
    for (const auto& p : list)
        out.push_back(Change_Block{p.first, p.second});
    return out;
}

void put(const std::string& path, uint64_t offset, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(data.size()));
    ::close(fd);
}

void punch(const std::string& path, uint64_t offset, uint64_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                          static_cast<off_t>(offset), static_cast<off_t>(length)),
              0);
    ::close(fd);
}

class Backup_Planner_Test : public Zbs_Sim_Test {
protected:
    void SetUp() override {
        // Read when the library is bound: two quick attempts per call.
        ::setenv("ZBS_RETRIES", "2", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        Zbs_Sim_Test::SetUp();
    }

    void TearDown() override {
        Zbs_Sim_Test::TearDown();
        ::unsetenv("ZBS_RETRIES");
        ::unsetenv("ZBS_INITIAL_INTERVAL");
    }

    std::vector<Change_Block> written_area(const std::string& id, uint64_t block_size = BLOCK) {
        zbs_diff_t diff = nullptr;
        EXPECT_TRUE(smartx::get_zbs_diff(zbs_, id, &diff));
        std::vector<Change_Block> out;
        smartx::parse_zbs_diff_to_chunk(diff, block_size, id, out);
        return out;
    }

    std::vector<Change_Block> difference(const std::string& old_id, const std::string& new_id) {
        zbs_diff_t diff = nullptr;
        EXPECT_TRUE(smartx::get_zbs_diff(zbs_, old_id, new_id, &diff));
        std::vector<Change_Block> out;
        smartx::parse_zbs_diff_to_chunk(diff, BLOCK, new_id, out);
        return out;
    }

    std::vector<zbs_pextent> extent_map(const std::string& id) {
        zbs_pextent* map = nullptr;
        const int count = smartx::get_zbs_pextents(zbs_, id, &map);
        EXPECT_GE(count, 0);
        return count > 0 ? std::vector<zbs_pextent>(map, map + count) : std::vector<zbs_pextent>();
    }

    std::vector<Change_Block> extents(const std::string& id,
                                      const std::vector<zbs_pextent>* old_map) {
        std::vector<zbs_pextent> map = extent_map(id);
        std::vector<Change_Block> out;
        smartx::extents_to_blocks(map.data(), static_cast<int>(map.size()), old_map, out);
        return out;
    }
};

TEST(Clip_Blocks, KeepsOnlyWhatLiesInsideTheDisk) {
    std::vector<Change_Block> b =
        blocks({{0, BLOCK}, {BLOCK, 0}, {3 * BLOCK, BLOCK}, {4 * BLOCK, BLOCK}});
    // The disk ends 1000 bytes into the fourth block.
    EXPECT_EQ(smartx::clip_blocks(b, 3 * BLOCK + 1000), BLOCK + 1000);
    EXPECT_EQ(b, blocks({{0, BLOCK}, {3 * BLOCK, 1000}}));

    std::vector<Change_Block> whole_extent = blocks({{0, EXTENT}});
    EXPECT_EQ(smartx::clip_blocks(whole_extent, 5 * MiB + 512), 5 * MiB + 512);
    EXPECT_EQ(whole_extent, blocks({{0, 5 * MiB + 512}}));

    std::vector<Change_Block> none = blocks({{0, BLOCK}});
    EXPECT_EQ(smartx::clip_blocks(none, 0), 0u);
    EXPECT_TRUE(none.empty());
}

TEST_F(Backup_Planner_Test, WrittenAreaGivesTheBlocksHoldingDataCutAtTheDiskEnd) {
    const uint64_t size = MiB + 4608;
    const std::string path = volume("vol-a", size);
    put(path, 0, std::string(4096, 'a'));
    put(path, 600000, std::string(4096, 'b'));
    put(path, size - 100, std::string(100, 'c'));

    std::vector<Change_Block> b = written_area("vol-a");
    EXPECT_EQ(b, blocks({{0, BLOCK}, {2 * BLOCK, BLOCK}, {4 * BLOCK, 4608}}));
    EXPECT_EQ(smartx::clip_blocks(b, size), 2 * BLOCK + 4608);

    // The job's block size sets the grain.
    EXPECT_EQ(written_area("vol-a", 4 * BLOCK), blocks({{0, 4 * BLOCK}, {4 * BLOCK, 4608}}));
}

TEST_F(Backup_Planner_Test, AnUnwrittenVolumeHasNothingToCopy) {
    volume("vol-empty", 3 * MiB);
    EXPECT_TRUE(written_area("vol-empty").empty());
    EXPECT_TRUE(extents("vol-empty", nullptr).empty());
}

TEST_F(Backup_Planner_Test, ExtentsAreWholeAndClippedToTheDisk) {
    const uint64_t size = EXTENT + 44 * MiB + 512;
    const std::string path = volume("vol-big", size);
    put(path, 10 * MiB, std::string(8192, 'x'));
    put(path, EXTENT + 40 * MiB, std::string(512, 'y'));

    std::vector<Change_Block> b = extents("vol-big", nullptr);
    EXPECT_EQ(b, blocks({{0, EXTENT}, {EXTENT, EXTENT}}));
    EXPECT_EQ(smartx::clip_blocks(b, size), size);
    EXPECT_EQ(b, blocks({{0, EXTENT}, {EXTENT, 44 * MiB + 512}}));
}

TEST_F(Backup_Planner_Test, IncrementalExtentsTakeChangedFreedAndUncomparedExtents) {
    const uint64_t size = 2 * EXTENT + 4 * MiB;
    const std::string older = volume("vol-old", size);
    const std::string newer = volume("vol-new", size);
    for (const std::string& p : {older, newer}) {
        put(p, MiB, std::string(4096, 'a'));
        put(p, EXTENT + MiB, std::string(4096, 'b'));
    }
    const std::vector<zbs_pextent> old_map = extent_map("vol-old");
    // Nothing changed: nothing to copy.
    EXPECT_TRUE(extents("vol-new", &old_map).empty());

    put(newer, EXTENT + 2 * MiB, std::string(10, 'c'));
    put(newer, 2 * EXTENT + MiB, std::string(10, 'd'));
    EXPECT_EQ(extents("vol-new", &old_map), blocks({{EXTENT, EXTENT}, {2 * EXTENT, EXTENT}}));

    // Data freed since the older snapshot reads as zeros now: a change.
    punch(newer, 0, 2 * MiB);
    EXPECT_EQ(extents("vol-new", &old_map),
              blocks({{0, EXTENT}, {EXTENT, EXTENT}, {2 * EXTENT, EXTENT}}));

    // Without an older map every allocated extent is copied.
    EXPECT_EQ(extents("vol-new", nullptr), blocks({{EXTENT, EXTENT}, {2 * EXTENT, EXTENT}}));
}

TEST_F(Backup_Planner_Test, DifferenceTakesOnlyTheChangedBlocks) {
    const uint64_t size = 2 * MiB + 100352;
    const std::string older = volume("snap-1", size);
    const std::string newer = volume("snap-2", size);
    for (const std::string& p : {older, newer}) {
        put(p, 0, std::string(MiB, 'a'));
        put(p, size - 4096, std::string(4096, 'z'));
    }
    EXPECT_TRUE(difference("snap-1", "snap-2").empty());

    put(newer, BLOCK + 10, "changed");
    put(newer, size - 10, "tail");
    // Zeroed data is a change too.
    put(newer, 3 * BLOCK, std::string(4096, '\0'));
    std::vector<Change_Block> b = difference("snap-1", "snap-2");
    EXPECT_EQ(b, blocks({{BLOCK, BLOCK}, {3 * BLOCK, BLOCK}, {8 * BLOCK, 100352}}));
    EXPECT_EQ(smartx::clip_blocks(b, size), 2 * BLOCK + 100352);
}

TEST_F(Backup_Planner_Test, QueriesAreRetriedThenGiveUp) {
    volume("vol-r", MiB);
    {
        Log_Capture log;
        sim_->fail_queries(1);
        zbs_pextent* map = nullptr;
        EXPECT_EQ(smartx::get_zbs_pextents(zbs_, "vol-r", &map), 1);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].text,
                  "Failed to get zbs pextents for volume[vol-r] try again after 0 second. \n");
        EXPECT_EQ(log.lines()[0].priority, LM_WARNING);
    }
    {
        Log_Capture log;
        sim_->fail_queries(2);
        zbs_pextent* map = nullptr;
        EXPECT_LT(smartx::get_zbs_pextents(zbs_, "vol-r", &map), 0);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().back().text, "Failed to get zbs pextents, after 2 attempts.\n");
    }
    {
        sim_->fail_queries(2);
        zbs_diff_t diff = nullptr;
        EXPECT_FALSE(smartx::get_zbs_diff(zbs_, "vol-r", &diff));
        sim_->fail_queries(2);
        EXPECT_FALSE(smartx::get_zbs_diff(zbs_, "vol-r", "vol-r", &diff));
        sim_->fail_queries(1);
        EXPECT_TRUE(smartx::get_zbs_diff(zbs_, "vol-r", "vol-r", &diff));
    }
}

}  // namespace
