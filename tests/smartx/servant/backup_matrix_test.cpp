// Full and incremental backups under each planner, ZBS block size and disk
// parallelism, read back byte for byte; an incremental reads no more than the
// blocks that changed, and a backup copies its snapshot, not the live volume.
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "smartx/servant/backup_planner.h"
#include "smartx/servant/backup_world.h"

namespace backup_test {
namespace {

struct Plan_Case {
    const char* name;
    bool allocated_blocks;  // written areas, else whole extents
    size_t zbs_block_size;
    int disks_per_vm;
};

const Plan_Case kPlanCases[] = {
    {"WrittenArea_256KiB_OneDiskAtATime", true, 256 * KiB, 1},
    {"WrittenArea_256KiB_ThreeDisksAtOnce", true, 256 * KiB, 3},
    {"WrittenArea_1MiB_OneDiskAtATime", true, MiB, 1},
    {"WrittenArea_1MiB_ThreeDisksAtOnce", true, MiB, 3},
    {"Extents_256KiB_OneDiskAtATime", false, 256 * KiB, 1},
    {"Extents_256KiB_ThreeDisksAtOnce", false, 256 * KiB, 3},
    {"Extents_1MiB_OneDiskAtATime", false, MiB, 1},
    {"Extents_1MiB_ThreeDisksAtOnce", false, MiB, 3},
};

// A write to one disk between two backups.
struct Change {
    size_t disk;
    uint64_t offset;
    std::string data;
};

class Backup_Matrix_Test : public Backup_World, public ::testing::WithParamInterface<Plan_Case> {
protected:
    smartx::Backup_Param plan_param(Job_Definition_Subtype type) const {
        smartx::Backup_Param p = param(type);
        p.control.allocated_blocks = GetParam().allocated_blocks;
        p.control.zbs_block_size = GetParam().zbs_block_size;
        p.control.parallelism.disks_per_vm = GetParam().disks_per_vm;
        return p;
    }

    // Bytes of the planner's units (ZBS blocks, or whole extents) that the
    // changes touch.
    uint64_t changed_unit_bytes(const std::vector<Change>& changes) const {
        sim_vm::VM vm;
        vm.disks = disks_;
        std::vector<sim_vm::Disk_Range> ranges;
        for (const Change& c : changes)
            ranges.push_back({c.disk, c.offset, c.data.size()});
        return sim_vm::touched_block_bytes(
            vm, ranges,
            GetParam().allocated_blocks ? GetParam().zbs_block_size : smartx::ZBS_EXTENT_SIZE);
    }
};

TEST_P(Backup_Matrix_Test, FullThenIncrementalGiveBackEveryByte) {
    fill_disks();
    const std::vector<std::string> at_full = disk_contents();
    auto handler = make_handler();
    ASSERT_EQ(backup(*handler, plan_param(JOB_DEFINITION_SUBTYPE_FULL)).code(), 0);
    std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(restore(rows), at_full);
    // Every planned byte read once, nothing beyond the plan.
    EXPECT_EQ(zbs_totals().bytes_read, progress_->total_bytes);
    EXPECT_EQ(progress_->processed_virtual_disk_count, 3);

    // A few bytes in one block, a range across a 256 KiB boundary, data
    // zeroed, and the last bytes of the disk of odd size.
    const std::vector<Change> changes = {
        {0, 3 * BLOCK + 100, "changed"},
        {1, BLOCK - 3, "across"},
        {2, disks_[2].size / 2, std::string(100, '\0')},
        {2, disks_[2].size - 5, "tail!"},
    };
    for (const Change& c : changes)
        write_disk(c.disk, c.offset, c.data);
    const std::vector<std::string> at_incremental = disk_contents();
    ASSERT_NE(at_incremental, at_full);

    zbs_->reset();
    ASSERT_EQ(backup(*handler, plan_param(JOB_DEFINITION_SUBTYPE_INCREMENTAL)).code(), 0);
    rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(str(Value(rows[1]), "type"), "incremental");
    EXPECT_EQ(restore(rows), at_incremental);
    const uint64_t read = zbs_totals().bytes_read;
    EXPECT_GT(read, 0u);
    EXPECT_LE(read, changed_unit_bytes(changes));
}

INSTANTIATE_TEST_SUITE_P(Plans, Backup_Matrix_Test, ::testing::ValuesIn(kPlanCases),
                         [](const ::testing::TestParamInfo<Plan_Case>& i) {
                             return std::string(i.param.name);
                         });

class Backup_Snapshot_Test : public Backup_World {};

TEST_F(Backup_Snapshot_Test, WritesToTheLiveVolumeDuringTheBackupStayOutOfItsImages) {
    fill_disks();
    const std::vector<std::string> at_snapshot = disk_contents();
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = false;  // whole disks, read block by block
    p.control.parallelism.disks_per_vm = 1;
    // Slow reads keep the transfer going while every disk is written over.
    zbs_->set_delay_ms(20);
    std::atomic<bool> written_mid_transfer{false};
    std::thread writer([&] {
        // Bounded, so that a transfer that never starts cannot hang the test.
        for (int i = 0; i < 5000 && progress_->processed_bytes == 0; ++i)
            ::usleep(1000);
        const uint64_t done = progress_->processed_bytes;
        for (size_t i = 0; i < disks_.size(); ++i)
            write_disk(i, 0, pattern(disks_[i].size, static_cast<char>('K' + i)));
        written_mid_transfer = done > 0 && progress_->processed_bytes < progress_->total_bytes;
    });
    const Reply reply = backup(*handler, p);
    writer.join();
    zbs_->set_delay_ms(0);
    ASSERT_EQ(reply.code(), 0);
    ASSERT_TRUE(written_mid_transfer) << "the disks were not written while the backup read them";

    std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(restore(rows), at_snapshot);

    // The writes are not lost: the next backup takes them.
    const std::vector<std::string> now = disk_contents();
    p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
    ASSERT_EQ(backup(*handler, p).code(), 0);
    rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(restore(rows), now);
}

}  // namespace
}  // namespace backup_test
