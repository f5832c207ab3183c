// Planning what a backup reads, against the world's simulated ZBS library
// bound as the servant binds it: written areas and extent maps of volumes,
// clipped to odd disk sizes. Differences of volumes: the servant tests.
#include "smartx/servant/backup_planner.h"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"
#include "smartx/zbs/zbs_wrapper.h"
#include "support/log_capture.h"

namespace backup_test {
namespace {

using smartx::Change_Block;
using Spans = std::vector<std::pair<uint64_t, uint64_t>>;  // offset, length
constexpr uint64_t EXTENT = smartx::ZBS_EXTENT_SIZE;

Spans spans(const std::vector<Change_Block>& blocks) {
    Spans out;
    for (const Change_Block& b : blocks)
        out.emplace_back(b.offset, b.length);
    return out;
}

class BackupPlanner : public BackupWorld {
protected:
    void SetUp() override {
        BackupWorld::SetUp();
        // Read when the library is bound: two quick attempts per call.
        ::setenv("ZBS_RETRIES", "2", 1);
        ASSERT_EQ(smartx::zbs_init("5.5.1"), 1);
        zbs_ = smartx::zbs_create_external_with_timeout("127.0.0.1:10201", 3000, nullptr);
        ASSERT_NE(zbs_, nullptr);
    }
    void TearDown() override {
        smartx::zbs_finalize();
        BackupWorld::TearDown();
    }

    // A sparse volume with data at the given offsets.
    std::string volume(const std::string& id, uint64_t size, const Spans& data = {}) {
        const std::string path = make_zbs_volume(world_->store_dir(), id, size);
        for (const auto& d : data)
            write_at(path, d.first, std::string(d.second, 'x'));
        return path;
    }
    // The blocks of a volume's written area.
    std::vector<Change_Block> written(const std::string& id, uint64_t block_size = BLOCK) {
        zbs_diff_t diff = nullptr;
        EXPECT_TRUE(smartx::get_zbs_diff(zbs_, id, &diff));
        std::vector<Change_Block> out;
        smartx::parse_zbs_diff_to_chunk(diff, block_size, id, out);
        return out;
    }
    // The extents to copy, against an older volume's extent map or none.
    std::vector<Change_Block> extents(const std::string& id, const std::string& old_id = "") {
        std::vector<zbs_pextent> maps[2];
        for (int i = 0; i < (old_id.empty() ? 1 : 2); ++i) {
            zbs_pextent* map = nullptr;
            const int count = smartx::get_zbs_pextents(zbs_, i == 0 ? id : old_id, &map);
            EXPECT_GE(count, 0);
            maps[i].assign(map, map + std::max(count, 0));
        }
        std::vector<Change_Block> out;
        smartx::extents_to_blocks(maps[0].data(), static_cast<int>(maps[0].size()),
                                  old_id.empty() ? nullptr : &maps[1], out);
        return out;
    }

    zbs_t zbs_ = nullptr;
};

TEST(ClipBlocks, KeepsOnlyWhatLiesInsideTheDisk) {
    // The disk ends 1000 bytes into the fourth block; an empty block goes.
    std::vector<Change_Block> b{{0, BLOCK}, {BLOCK, 0}, {3 * BLOCK, BLOCK}, {4 * BLOCK, BLOCK}};
    EXPECT_EQ(smartx::clip_blocks(b, 3 * BLOCK + 1000), BLOCK + 1000);
    EXPECT_EQ(spans(b), (Spans{{0, BLOCK}, {3 * BLOCK, 1000}}));
    std::vector<Change_Block> none{{0, BLOCK}};
    EXPECT_EQ(smartx::clip_blocks(none, 0), 0u);
    EXPECT_TRUE(none.empty());
}

TEST_F(BackupPlanner, WrittenAreaGivesTheBlocksHoldingDataCutAtTheDiskEnd) {
    const uint64_t size = MiB + 4608;
    volume("vol-a", size, {{0, 4096}, {600000, 4096}, {size - 100, 100}});
    std::vector<Change_Block> b = written("vol-a");
    EXPECT_EQ(spans(b), (Spans{{0, BLOCK}, {2 * BLOCK, BLOCK}, {4 * BLOCK, 4608}}));
    EXPECT_EQ(smartx::clip_blocks(b, size), 2 * BLOCK + 4608);
    // The job's block size sets the grain.
    EXPECT_EQ(spans(written("vol-a", 4 * BLOCK)), (Spans{{0, 4 * BLOCK}, {4 * BLOCK, 4608}}));

    // An unwritten volume has nothing to copy.
    volume("vol-empty", 3 * MiB);
    EXPECT_TRUE(written("vol-empty").empty());
    EXPECT_TRUE(extents("vol-empty").empty());
}

TEST_F(BackupPlanner, IncrementalExtentsTakeChangedFreedAndUncomparedExtents) {
    const uint64_t size = 2 * EXTENT + 4 * MiB;
    volume("vol-old", size, {{MiB, 4096}, {EXTENT + MiB, 4096}});
    const std::string newer = volume("vol-new", size, {{MiB, 4096}, {EXTENT + MiB, 4096}});
    // Nothing changed: nothing to copy.
    EXPECT_TRUE(extents("vol-new", "vol-old").empty());

    write_at(newer, EXTENT + 2 * MiB, "c");
    write_at(newer, 2 * EXTENT + MiB, "d");
    EXPECT_EQ(spans(extents("vol-new", "vol-old")),
              (Spans{{EXTENT, EXTENT}, {2 * EXTENT, EXTENT}}));

    // Data freed since the older snapshot reads as zeros now: a change.
    const int fd = ::open(newer.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 2 * MiB), 0);
    ::close(fd);
    EXPECT_EQ(spans(extents("vol-new", "vol-old")),
              (Spans{{0, EXTENT}, {EXTENT, EXTENT}, {2 * EXTENT, EXTENT}}));

    // Without an older map every allocated extent is copied.
    EXPECT_EQ(spans(extents("vol-new")), (Spans{{EXTENT, EXTENT}, {2 * EXTENT, EXTENT}}));
}

TEST_F(BackupPlanner, QueriesAreRetriedThenGiveUp) {
    volume("vol-r", MiB);
    zbs_pextent* map = nullptr;
    {
        Log_Capture log;
        world_->zbs().fail_queries(1);
        EXPECT_EQ(smartx::get_zbs_pextents(zbs_, "vol-r", &map), 1);
        EXPECT_EQ(log.texts(),
                  std::vector<std::string>{"Failed to get zbs pextents for volume[vol-r] "
                                           "try again after 0 second. \n"});
        EXPECT_EQ(log.lines().at(0).priority, LM_WARNING);
    }
    {
        Log_Capture log;
        world_->zbs().fail_queries(2);
        EXPECT_LT(smartx::get_zbs_pextents(zbs_, "vol-r", &map), 0);
        EXPECT_THAT(log.texts(),
                    ::testing::Contains("Failed to get zbs pextents, after 2 attempts.\n"));
    }
    zbs_diff_t diff = nullptr;
    world_->zbs().fail_queries(2);
    EXPECT_FALSE(smartx::get_zbs_diff(zbs_, "vol-r", &diff));
    world_->zbs().fail_queries(2);
    EXPECT_FALSE(smartx::get_zbs_diff(zbs_, "vol-r", "vol-r", &diff));
    world_->zbs().fail_queries(1);
    EXPECT_TRUE(smartx::get_zbs_diff(zbs_, "vol-r", "vol-r", &diff));
}

}  // namespace
}  // namespace backup_test
