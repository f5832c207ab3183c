// Written areas and differences of the simulated library (its extent maps:
// the backup planner tests).
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"
#include "support/process.h"

namespace {
std::string cp_sparse(const std::string& from, const std::string& to) {
    const Command_Result r =
        run_command("cp --sparse=always " + shell_quote(from) + " " + shell_quote(to));
    return r.exit_code == 0 ? std::string() : r.output;
}

class ZbsModel : public ZbsSim {
protected:
    // Every range is one block, aligned, cut only at the end of the volume.
    static std::set<uint64_t> blocks(zbs_diff_t diff, uint64_t volume_size, uint64_t block_size) {
        std::set<uint64_t> out;
        for (const zbs_diff_range& r : ranges(diff, block_size)) {
            EXPECT_EQ(0u, r.offset % block_size) << r.offset;
            EXPECT_EQ(std::min(block_size, volume_size - r.offset), r.length) << r.offset;
            EXPECT_TRUE(out.insert(r.offset / block_size).second) << "twice: " << r.offset;
        }
        return out;
    }
};
}  // namespace

// The written area is every block ever written, zeros too; the difference
// from a snapshot copy is every block whose content changed.
TEST_F(ZbsModel, WrittenAreaAndDifferenceFollowTheContent) {
    const uint64_t size = 8 * 1048576 + 5 * 4096;  // the last block is short
    const std::string live = volume("vol-1", size);
    ASSERT_EQ(0, write("vol-1", std::string(65536, 'z'), 0));
    ASSERT_EQ(0, write("vol-1", std::string(10, '\0'), 70000));
    ASSERT_EQ(0, write("vol-1", std::string(65536, 's'), 131072));
    ASSERT_EQ(0, write("vol-1", std::string(9000, 'r'), 3 * 1048576 + 5000));
    ASSERT_EQ(0, write("vol-1", std::string(100, 'e'), size - 100));
    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_written_area(zbs_, "vol-1", 0, 0, &diff));
    EXPECT_EQ((std::set<uint64_t>{0, 1, 2, 48, 128}), blocks(diff, size, 65536));
    EXPECT_EQ((std::set<uint64_t>{0, 3, 8}), blocks(diff, size, 1048576));

    ASSERT_EQ("", cp_sparse(live, store_ + "/snap-1"));
    ASSERT_EQ(0, write("vol-1", std::string(65536, '\0'), 0));             // data zeroed: a change
    ASSERT_EQ(0, write("vol-1", std::string(65536, 's'), 131072));         // same bytes again: none
    ASSERT_EQ(0, write("vol-1", std::string(10, '\0'), 70000));            // the same zeros: none
    ASSERT_EQ(0, write("vol-1", std::string(1, 'x'), 5 * 1048576 + 123));  // one new byte
    std::string data;
    ASSERT_EQ(0, read("snap-1", data, 65536, 0));
    EXPECT_EQ(std::string(65536, 'z'), data);
    ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, "snap-1", "vol-1", 0, 0, &diff));
    EXPECT_EQ((std::set<uint64_t>{0, 80}), blocks(diff, size, 65536));
    EXPECT_EQ((std::set<uint64_t>{0, 20}), blocks(diff, size, 262144));
    // A fresh copy holds holes where the live volume holds written zeros:
    // the same content, so no difference.
    ASSERT_EQ("", cp_sparse(live, store_ + "/snap-2"));
    for (const char* old_id : {"snap-2", "vol-1"}) {
        ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, old_id, "vol-1", 0, 0, &diff));
        EXPECT_TRUE(ranges(diff, 65536).empty()) << old_id;
    }
    EXPECT_NE(0, smartx::zbs_get_volume_diff(zbs_, "snap-9", "vol-1", 0, 0, &diff));
}

TEST_F(ZbsModel, DifferenceWithAShorterOldVolumeComparesItsTailWithZeros) {
    volume("old", 1048576);
    volume("new", 2 * 1048576);
    ASSERT_EQ(0, write("old", std::string(4096, 'a'), 0));
    ASSERT_EQ(0, write("new", std::string(4096, 'a'), 0));
    ASSERT_EQ(0, write("new", std::string(4096, '\0'), 1048576));  // zeros past the old end: equal
    ASSERT_EQ(0, write("new", std::string(4096, 'b'), 1572864));
    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, "old", "new", 0, 0, &diff));
    const std::vector<zbs_diff_range> got = ranges(diff, 65536);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1572864u, got[0].offset);
}

TEST_F(ZbsModel, IteratorsEndCleanly) {
    volume("vol-1", 1048576);
    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_written_area(zbs_, "vol-1", 0, 0, &diff));
    EXPECT_TRUE(ranges(diff, 65536).empty());  // nothing written
    ASSERT_EQ(0, write("vol-1", "x", 5));
    ASSERT_EQ(0, smartx::zbs_get_written_area(zbs_, "vol-1", 0, 0, &diff));
    EXPECT_TRUE(ranges(diff, 0).empty());
    ASSERT_EQ(1u, ranges(diff, 65536).size());
    const zbs_diff_iter_t end = smartx::zbs_diff_iter_end(diff);
    EXPECT_EQ(end, smartx::zbs_diff_iter_next(end));
    smartx::zbs_destroy_diff(diff);
    EXPECT_TRUE(ranges(diff, 65536).empty());  // a destroyed diff is refused, not read
}
