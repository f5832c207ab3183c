// Backups made by the servant handler, as the servant process drives it: one
// JSON-RPC request per VM in the backup world, every image read back byte for
// byte, the catalog rows that chain them, and what failures leave.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <tuple>

#include "fixture.h"
#include "host/catalog.h"
#include "host/paths.h"
#include "host/smartx_backup_set.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/backup_planner.h"
#include "smartx/servant/backup_sweep.h"
#include "smartx/zbs/zbs_wrapper.h"
#include "world/servant_setup.h"

namespace backup_test {
namespace {

struct Plan {
    const char* name;
    bool allocated_blocks;  // written areas, else whole extents
    size_t zbs_block_size;
    int disks_per_vm;
};

const Plan kPlans[] = {
    {"WrittenArea256KiBOneDiskAtATime", true, 256 * KiB, 1},
    {"WrittenArea256KiBThreeDisksAtOnce", true, 256 * KiB, 3},
    {"WrittenArea1MiBOneDiskAtATime", true, MiB, 1},
    {"WrittenArea1MiBThreeDisksAtOnce", true, MiB, 3},
    {"Extents256KiBOneDiskAtATime", false, 256 * KiB, 1},
    {"Extents256KiBThreeDisksAtOnce", false, 256 * KiB, 3},
    {"Extents1MiBOneDiskAtATime", false, MiB, 1},
    {"Extents1MiBThreeDisksAtOnce", false, MiB, 3},
};

class BackupPlans : public BackupWorld, public ::testing::WithParamInterface<Plan> {};

TEST_P(BackupPlans, FullThenIncrementalGiveBackEveryByte) {
    const Plan& plan = GetParam();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = plan.allocated_blocks;
    p.control.zbs_block_size = plan.zbs_block_size;
    p.control.parallelism.disks_per_vm = plan.disks_per_vm;
    fill_disks();
    const std::vector<std::string> at_full = disk_contents();
    const Servant_Reply full = backup(p);
    ASSERT_EQ(full.sent, 1u);
    EXPECT_EQ(full.rc, 0);
    EXPECT_EQ(full.id, Value(7));
    ASSERT_EQ(full.code(), 0) << full.error_message;
    EXPECT_EQ(full.result.at("vm_id").get_str(), vm_.id);
    std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(restore(chain), at_full);

    // Every planned byte read once, nothing beyond the plan; whole extents
    // are cut at each disk's end.
    const smartx::VM_Progress_Info info = progress();
    EXPECT_EQ(zbs_read(), info.total_bytes);
    EXPECT_EQ(info.processed_bytes, info.total_bytes);
    EXPECT_EQ(
        (std::vector<int>{info.state, info.virtual_disk_count, info.processed_virtual_disk_count}),
        (std::vector<int>{2, 3, 3}));
    EXPECT_GT(info.end_time, 0);
    if (!plan.allocated_blocks) {
        EXPECT_EQ(info.total_bytes, vm_.disks[0].size + vm_.disks[1].size + vm_.disks[2].size);
    }
    // Sizes: the pool's pieces, and the set (the VM description counts too).
    uint64_t stored = 0;
    for (const Value& piece : chain[0].at("pieces").get_array())
        stored += member_of(piece, "size").get_uint64();
    EXPECT_EQ(full.result.at("storage_size").get_uint64(), stored);
    const int64_t set_size = full.result.at("set_size").get_int64();
    EXPECT_EQ(full.result.at("source_size").get_int64(), set_size);
    EXPECT_EQ(chain[0].at("size").get_int64(), set_size);
    EXPECT_EQ(chain[0].at("source_size").get_int64(), set_size);
    EXPECT_GT(static_cast<uint64_t>(set_size), info.total_bytes);

    // A few bytes in one block, a range across a 256 KiB boundary, data
    // zeroed, and the last bytes of the disk of odd size.
    const std::vector<Disk_Range> changes = {{0, 3 * BLOCK + 100, 7},
                                             {1, BLOCK - 3, 6},
                                             {2, vm_.disks[2].size / 2, 100},
                                             {2, vm_.disks[2].size - 5, 5}};
    for (const Disk_Range& c : changes)
        write_disk(
            c.disk, c.offset,
            c.disk == 2 && c.length == 100 ? std::string(100, '\0') : pattern(c.length, 'Z'));
    const std::vector<std::string> at_incremental = disk_contents();
    ASSERT_NE(at_incremental, at_full);
    world_->zbs().reset();
    p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
    ASSERT_EQ(backup(p).code(), 0);
    chain = rows();
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(text_of(Value(chain[1]), "type"), "incremental");
    EXPECT_EQ(restore(chain), at_incremental);
    // Exactly the planner's units (ZBS blocks, or whole extents) the changes touch.
    EXPECT_EQ(zbs_read(), touched_block_bytes(vm_, changes,
                                              plan.allocated_blocks ? plan.zbs_block_size
                                                                    : smartx::ZBS_EXTENT_SIZE));
}

INSTANTIATE_TEST_SUITE_P(Plans, BackupPlans, ::testing::ValuesIn(kPlans),
                         [](const ::testing::TestParamInfo<Plan>& i) { return i.param.name; });

using BackupServant = BackupWorld;

TEST_F(BackupServant, CatalogRowsDescribeTheVmAndChainTheBackups) {
    fill_disks();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    ASSERT_EQ(rows().size(), 1u);
    SmartX_Backup_Set set;
    std::string why;
    ASSERT_TRUE(set.load(rows()[0], &why)) << why;
    ASSERT_EQ(set.storages.size(), 1u);
    using Texts = std::vector<std::string>;
    EXPECT_EQ(
        (Texts{set.set_type, set.type, set.name, set.definition_uuid, set.job_instance_uuid,
               set.uid, set.resource_uuid, set.uri, set.minor_resource_name, set.vm_id, set.vm_name,
               set.cluster_id, set.owner_host_name, set.owner_host_ip, set.base_info.vm_description,
               set.storages[0].pool_uuid}),
        (Texts{"smartx", "full", "nightly", Backup_World::def_id, Backup_World::job_id,
               Backup_World::job_uid, Backup_World::resource_uuid, Backup_World::resource_uuid,
               vm_.name, vm_.id, vm_.name, world_->defaults().cluster_id, "node-hz01-01",
               "192.168.10.21", "Backup test VM", "pool-uuid-1"}));
    EXPECT_FALSE(set.minor_resource_id.empty() || set.incarnation.empty());
    EXPECT_TRUE(set.base_sets.empty());
    EXPECT_EQ(std::vector<uint64_t>({set.cpu_info.cpu_cores, set.cpu_info.cpu_socket,
                                     set.cpu_info.cpu_count, set.mem_info.memory}),
              std::vector<uint64_t>({2, 1, 2, 4096}));
    ASSERT_EQ(set.aggregates.size(), 2u);
    EXPECT_EQ(std::make_pair(set.aggregates[0].type, set.aggregates[1].type),
              std::make_pair(SmartX_Backup_Set::TAG, SmartX_Backup_Set::FOLDER));
    EXPECT_EQ(set.aggregates[1].id,
              world_->fixtures().reference("vm_folders", "production").at("id").get_str());
    // No floppy, NIC or GPU: one placeholder each; no USB device, and the
    // CD-ROM is not kept.
    const Array none{Object{{"id", Value("0")}}};
    EXPECT_EQ((std::vector<Array>{set.floppys, set.nics, set.gpus, set.usbs, set.cdroms}),
              (std::vector<Array>{none, none, none, Array(), Array()}));
    EXPECT_EQ(set.boot_devices, (Array{Object{{"bootdevice", Value("BIOS")}}}));
    EXPECT_FALSE(set.vm_extended_attrs.empty());
    EXPECT_EQ(set.storages[0].attributes, (Object{{"code_name", Value("vantor")}}));
    // The snapshot the set names is kept (reserve_snapshot is on by default).
    EXPECT_EQ(snapshots(), std::vector<std::string>{set.snap_id});

    // One piece per disk, in disk order, then the VM description: exactly
    // the pool's files.
    ASSERT_EQ(set.pieces.size(), 4u);
    std::vector<std::string> paths;
    for (size_t i = 0; i < 4; ++i) {
        const Backup_Piece& p = set.pieces[i];
        const std::string volume = i < 3 ? vm_.disks[i].volume_local_id : "";
        EXPECT_EQ(p.object, i < 3 ? vm_.disks[i].volume_id : "vm_info");
        EXPECT_EQ(text_of(Value(p.extended_attrs), "vm_volume_local_id"), volume);
        EXPECT_EQ(p.path.rfind(vm_.id + "/" + (i < 3 ? volume : "info") + "_full_", 0), 0u)
            << p.path;
        paths.push_back(p.path);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(pool_files(), paths);
    // The description is the VM record, the CD-ROM among its disks.
    Value description;
    ASSERT_TRUE(json_spirit::read(file_content(world_->pool_dir() + "/" + set.pieces[3].path),
                                  description));
    EXPECT_EQ(text_of(description, "id"), vm_.id);
    EXPECT_EQ(member_of(description, "vm_disks").get_array().size(), 4u);

    // An incremental after one changed range reads only its block and
    // builds on the full.
    const Object full = rows().at(0);
    write_disk(0, 3 * BLOCK + 100, "changed");
    const std::vector<std::string> expected = disk_contents();
    world_->zbs().reset();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    EXPECT_EQ(zbs_read(), BLOCK);
    EXPECT_EQ(progress().total_bytes, BLOCK);

    const std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 2u);
    const Object& incr = chain[1];
    EXPECT_EQ(text_of(Value(incr), "type"), "incremental");
    EXPECT_EQ(incr.at("base_sets"), Value(Array{full.at("uuid")}));
    EXPECT_EQ(incr.at("incarnation"), full.at("incarnation"));
    EXPECT_EQ(incr.at("minor_resource_id"), full.at("minor_resource_id"));
    // The changed block and the VM description.
    EXPECT_EQ(incr.at("source_size").get_uint64() - BLOCK,
              member_of(incr.at("pieces").get_array().back(), "size").get_uint64());
    // Unchanged disks get empty images.
    EXPECT_NE(piece(incr, 0).find("_incremental_"), std::string::npos);
    EXPECT_EQ(piece(incr, 1).find(vm_.id + "/not_exists_"), 0u);
    EXPECT_EQ(piece(incr, 2).find(vm_.id + "/not_exists_"), 0u);
    EXPECT_EQ(restore(chain), expected);
    // The new snapshot is the next base; the old one is gone.
    EXPECT_EQ(snapshots(), std::vector<std::string>{text_of(Value(incr), "snap_id")});
    EXPECT_NE(text_of(Value(incr), "snap_id"), text_of(Value(full), "snap_id"));
}

TEST_F(BackupServant, IncrementalWithoutAUsableBaseBecomesFull) {
    fill_disks();
    // No base set at all.
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    EXPECT_EQ(text_of(Value(rows().at(0)), "type"), "full");
    EXPECT_EQ(world_->alerts(), (Alerts{{5, 4}}));

    // A base whose snapshot was not kept.
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.reserve_snapshot = false;
    ASSERT_EQ(backup(p).code(), 0);
    EXPECT_TRUE(snapshots().empty());
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    const std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(text_of(Value(chain[2]), "type"), "full");
    EXPECT_TRUE(chain[2].at("base_sets").get_array().empty());
    EXPECT_NE(chain[2].at("incarnation"), chain[1].at("incarnation"));
    EXPECT_EQ(world_->alerts(), (Alerts{{5, 4}, {5, 5}}));
}

TEST_F(BackupServant, DiskFilterAppliesAndDisksMissingFromTheBaseAreCopiedWhole) {
    fill_disks();
    // The first backup takes disk 2 only.
    ASSERT_EQ(backup(param(JOB_DEFINITION_SUBTYPE_FULL), {1}).code(), 0);
    ASSERT_EQ(volume_pieces(rows().at(0)).size(), 1u);
    EXPECT_FALSE(piece(rows()[0], 1).empty());

    // Then all disks, incrementally: disks 1 and 3 have no base to build on.
    write_disk(1, 0, "new");
    const std::vector<std::string> expected = disk_contents();
    world_->zbs().reset();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    const std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(text_of(Value(chain[1]), "type"), "incremental");
    ASSERT_EQ(volume_pieces(chain[1]).size(), 3u);
    // Disk 2 from both sets; disks 1 and 3 whole from the second.
    const std::vector<std::string> restored = restore({chain[1]});
    EXPECT_EQ(restored[0], expected[0]);
    EXPECT_EQ(restored[2], expected[2]);
    const uint64_t size = vm_.disks[1].size;
    EXPECT_EQ(
        world_->read_image(piece(chain[1], 1), size, world_->read_image(piece(chain[0], 1), size)),
        expected[1]);
    // Written blocks of disks 1 and 3 (the first, the middle and the cut last
    // one each), and the changed block of disk 2.
    EXPECT_EQ(zbs_read(), (2 * BLOCK + 4608) + BLOCK + (2 * BLOCK + 100352));
}

TEST_F(BackupServant, SnapshotFollowsTheConsistencyOptionAndNeedsSpace) {
    fill_disks();
    const auto snapshot_requests = [this] {
        std::vector<std::string> types;
        for (const auto& r : world_->tower().requests())
            if (r.path == "/v2/api/create-vm-snapshot") {
                Value body;
                json_spirit::read(r.body, body);
                types.push_back(
                    text_of(member_of(body, "data").get_array().at(0), "consistent_type"));
            }
        world_->tower().clear_requests();
        return types;
    };
    // bk-01 runs no VMTools: CloudTower refuses a file-system consistent snapshot.
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.snapshot = "FILE_SYSTEM_CONSISTENT";
    world_->tower().clear_requests();
    EXPECT_EQ(backup(p).code(), 1);
    Alerts expected{{7, 16}};
    EXPECT_EQ(world_->alerts(), expected);
    EXPECT_TRUE(snapshots().empty());
    EXPECT_TRUE(pool_files().empty());
    EXPECT_EQ(snapshot_requests(), std::vector<std::string>{"FILE_SYSTEM_CONSISTENT"});

    // "auto" falls back to a crash-consistent one.
    p.snapshot = "auto";
    ASSERT_EQ(backup(p).code(), 0);
    EXPECT_EQ(snapshot_requests(),
              (std::vector<std::string>{"FILE_SYSTEM_CONSISTENT", "CRASH_CONSISTENT"}));
    Object snapshot;
    ASSERT_TRUE(
        world_->tower().record("vm_snapshots", text_of(Value(rows().at(0)), "snap_id"), snapshot));
    EXPECT_EQ(text_of(Value(snapshot), "consistent_type"), "CRASH_CONSISTENT");

    // Short of space, no snapshot is taken: cluster-hz-01 has about 88% free.
    const std::vector<std::string> kept = snapshots();
    expected = world_->alerts();
    p.storage_reserved_percent = 95;
    EXPECT_EQ(backup(p).code(), 1);
    EXPECT_EQ(snapshots(), kept);
    expected.emplace_back(7, 7);
    EXPECT_EQ(world_->alerts(), expected);
    // Used above the total is no free space at all...
    Object cluster = world_->fixtures().record("clusters", "cluster-hz-01");
    cluster["used_data_space"] = cluster.at("total_data_capacity").get_int64() + 1;
    ASSERT_TRUE(world_->tower().put_records("clusters", Array{cluster}));
    p.storage_reserved_percent = 0;
    p.storage_reserved_bytes = 1;
    EXPECT_EQ(backup(p).code(), 1);
    // ...but without a reserve nothing is checked.
    p.storage_reserved_bytes = 0;
    EXPECT_EQ(backup(p).code(), 0);
}

TEST_F(BackupServant, WritesToTheLiveVolumeDuringTheBackupStayOutOfItsImages) {
    fill_disks();
    const std::vector<std::string> at_snapshot = disk_contents();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = false;  // whole disks, read block by block
    p.control.parallelism.disks_per_vm = 1;
    // Slow reads keep the transfer going while every disk is written over,
    // with room for a slow (sanitized, loaded) writer.
    world_->zbs().set_delay_ms(100);
    bool written_mid_transfer = false;
    std::thread writer = once_reading([&] {
        const uint64_t done = progress().processed_bytes;
        for (size_t i = 0; i < vm_.disks.size(); ++i)
            write_disk(i, 0, pattern(vm_.disks[i].size, static_cast<char>('K' + i)));
        written_mid_transfer = done > 0 && progress().processed_bytes < progress().total_bytes;
    });
    const Servant_Reply reply = backup(p);
    writer.join();
    world_->zbs().set_delay_ms(0);
    ASSERT_EQ(reply.code(), 0);
    ASSERT_TRUE(written_mid_transfer) << "the disks were not written while the backup read them";
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(restore(rows()), at_snapshot);

    // The writes are not lost: the next backup takes them.
    const std::vector<std::string> now = disk_contents();
    p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
    ASSERT_EQ(backup(p).code(), 0);
    ASSERT_EQ(rows().size(), 2u);
    EXPECT_EQ(restore(rows()), now);
}

// Failed, cancelled and bad requests: nothing in the pool or the catalog
// beyond the last committed set, and one answer that says which.
TEST_F(BackupServant, FailedRunsLeaveTheLastCommittedSetAlone) {
    fill_disks();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = false;
    ASSERT_EQ(backup(p).code(), 0);
    const std::vector<Object> committed = rows();
    ASSERT_EQ(committed.size(), 1u);
    const std::vector<std::string> files = pool_files();
    const std::vector<std::string> kept{text_of(Value(committed[0]), "snap_id")};
    ASSERT_EQ(snapshots(), kept);
    p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
    const auto expect_untouched = [&] {
        EXPECT_EQ(pool_files(), files);
        EXPECT_EQ(rows(), committed);
        // This run's snapshot is gone, the base stays.
        EXPECT_EQ(snapshots(), kept);
        EXPECT_EQ(progress().state, 3);
        EXPECT_NO_THROW(restore(committed));
    };

    // The catalog refuses the leftover sweep's lookup, the base lookup (the
    // backup turns full) and the commit.
    world_->backupd().fail_catalog(3, 400);
    write_disk(0, 0, "more");
    EXPECT_EQ(backup(p).result, (Object{{"code", Value(1)}}));
    expect_untouched();
    EXPECT_THAT(world_->alerts(), ::testing::Contains(std::make_pair(7u, 9u)));

    // Disk 2's volume now ends before the size CloudTower gives it: its
    // changed extent cannot be read to the end.
    const std::string disk2 = world_->volume_file(vm_.disks[1]);
    ASSERT_EQ(::truncate(disk2.c_str(), static_cast<off_t>(vm_.disks[1].size / 2)), 0);
    EXPECT_EQ(backup(p).result, (Object{{"code", Value(1)}}));
    expect_untouched();
    EXPECT_THAT(world_->alerts(), ::testing::Contains(std::make_pair(7u, 13u)));
    EXPECT_THAT(world_->alerts(), ::testing::Contains(std::make_pair(5u, 25u)));

    // Repaired, the next run still builds on the last committed set, with
    // pieces of its own only: one per disk and its description.
    ASSERT_EQ(::truncate(disk2.c_str(), static_cast<off_t>(vm_.disks[1].size)), 0);
    const std::vector<std::string> expected = disk_contents();
    ASSERT_EQ(backup(p).code(), 0);
    const std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(text_of(Value(chain[1]), "type"), "incremental");
    EXPECT_EQ(chain[1].at("base_sets"), Value(Array{committed[0].at("uuid")}));
    ASSERT_EQ(chain[1].at("pieces").get_array().size(), 4u);
    for (const Value& piece : chain[1].at("pieces").get_array())
        EXPECT_NE(text_of(piece, "path").find("_incremental_"), std::string::npos)
            << text_of(piece, "path");
    EXPECT_EQ(restore(chain), expected);
}

TEST_F(BackupServant, CancelBeforeOrDuringTheTransferLeavesNothing) {
    fill_disks();
    for (const bool during : {false, true}) {
        SCOPED_TRACE(during ? "during" : "before");
        world_->zbs().reset();
        world_->activity()->state = during ? JOB_STATE_RUNNING : JOB_STATE_CANCELING;
        smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
        p.control.allocated_blocks = false;  // many reads
        world_->zbs().set_delay_ms(during ? 20 : 0);
        std::thread canceller =
            during ? once_reading([this] { world_->activity()->state = JOB_STATE_CANCELING; })
                   : std::thread();
        const Servant_Reply reply = backup(p);
        if (canceller.joinable())
            canceller.join();
        EXPECT_EQ(reply.result, (Object{{"code", Value(1)}}));
        EXPECT_TRUE(pool_files().empty());
        EXPECT_TRUE(rows().empty());
        EXPECT_TRUE(snapshots().empty());
        EXPECT_EQ(progress().state, 3);
        EXPECT_TRUE(during || world_->zbs_totals().reads == 0);
    }
}

// A second whose stamp a pool file or a running backup already has is
// passed over: nothing is replaced and the backup does not fail for a name.
TEST_F(BackupServant, TakenSecondsArePassedOverAndNoFileIsReplaced) {
    fill_disks();
    // Files of an earlier backup's committed set under the names this one
    // would take in the next few seconds, and a running backup's hold of
    // the two seconds after them.
    const time_t now = ::time(nullptr);
    std::vector<std::string> precious;
    SmartX_Backup_Set earlier;
    earlier.uuid = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000e1";
    earlier.vm_id = vm_.id;
    earlier.resource_uuid = Backup_World::resource_uuid;
    ASSERT_EQ(make_directories(world_->pool_dir() + "/" + vm_.id, 0750), 0);
    for (time_t t = now - 1; t <= now + 5; ++t) {
        precious.push_back(smartx::backup_file_name(vm_.id, false, vm_.disks[0].volume_local_id,
                                                    JOB_DEFINITION_SUBTYPE_FULL, t, 0));
        std::ofstream(world_->pool_dir() + "/" + precious.back()) << "committed image";
        earlier.pieces.emplace_back();
        earlier.pieces.back().path = precious.back();
    }
    ASSERT_TRUE(
        RESTful_Catalog_Operator("127.0.0.1", world_->defaults().backupd_port, false, "", -1, -1)
            .commit(earlier, false));
    smartx::Backup_Hold running;
    ASSERT_TRUE(running.take(vm_.id, "run-1", smartx::backup_snapshot_name(vm_.name, now + 7),
                             smartx::backup_file_stamp(now + 6)));

    EXPECT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    for (const std::string& name : precious)
        EXPECT_EQ(file_content(world_->pool_dir() + "/" + name), "committed image");
    ASSERT_EQ(rows().size(), 2u);
    const Object made = rows()[1];
    EXPECT_EQ(made.at("backup_start_time").get_int64(), now + 8);
    EXPECT_NE(piece(made, 0).find(smartx::backup_file_stamp(now + 8)), std::string::npos);
    Object snapshot;
    ASSERT_TRUE(world_->tower().record("vm_snapshots", text_of(Value(made), "snap_id"), snapshot));
    EXPECT_EQ(text_of(Value(snapshot), "name"), smartx::backup_snapshot_name(vm_.name, now + 8));
}

// Backups of one VM right after one another, most within one second: each
// gets a second of its own, and each set restores.
TEST_F(BackupServant, BackToBackBackupsEachTakeASecondOfTheirOwn) {
    fill_disks();
    const Job_Definition_Subtype levels[] = {
        JOB_DEFINITION_SUBTYPE_FULL, JOB_DEFINITION_SUBTYPE_FULL,
        JOB_DEFINITION_SUBTYPE_INCREMENTAL, JOB_DEFINITION_SUBTYPE_INCREMENTAL,
        JOB_DEFINITION_SUBTYPE_FULL};
    std::vector<std::vector<std::string>> held;
    for (size_t i = 0; i < sizeof levels / sizeof levels[0]; ++i) {
        write_disk(i % 3, i * 4096, pattern(100, static_cast<char>('a' + i)));
        held.push_back(disk_contents());
        ASSERT_EQ(backup(levels[i]).code(), 0) << i;
    }
    const std::vector<Object> sets = rows();
    ASSERT_EQ(sets.size(), held.size());
    std::set<int64_t> seconds;
    for (const Object& row : sets)
        seconds.insert(row.at("backup_start_time").get_int64());
    EXPECT_EQ(seconds.size(), sets.size());
    // Each set restores from the last full up to it.
    size_t full = 0;
    for (size_t i = 0; i < sets.size(); ++i) {
        full = levels[i] == JOB_DEFINITION_SUBTYPE_FULL ? i : full;
        EXPECT_TRUE(restore({sets.begin() + static_cast<long>(full),
                             sets.begin() + static_cast<long>(i) + 1}) == held[i])
            << i;
    }
}

TEST_F(BackupServant, PoolFaultsAreRetriedOrFailTheImage) {
    fill_disks();
    const std::vector<std::string> expected = disk_contents();
    // The first image to be closed fails at its rename; its retry succeeds,
    // and its count starts over: read twice, yet counted once.
    Client_IO::inject_fault(Client_IO::FAULT_RENAME, EIO, 1);
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    const smartx::VM_Progress_Info info = progress();
    EXPECT_GT(zbs_read(), info.total_bytes);
    EXPECT_EQ(info.processed_bytes, info.total_bytes);
    EXPECT_EQ(info.processed_virtual_disk_count, 3);
    EXPECT_EQ(restore(rows()), expected);
    EXPECT_EQ(pool_files().size(), 4u);

    // Without retries a failed close fails the backup, leaving nothing new.
    const std::vector<std::string> files = pool_files();
    Client_IO::inject_fault(Client_IO::FAULT_CLOSE, EIO, 1);
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.retry.max_retries = 0;
    EXPECT_EQ(backup(p).code(), 1);
    EXPECT_EQ(pool_files(), files);
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(BackupServant, BadRequestsAnswerInvalidParamsAndUnanswerableOnesNothing) {
    fill_disks();
    world_->tower().clear_requests();
    const Object good = backup_request(param(JOB_DEFINITION_SUBTYPE_FULL), backup_entry(vm_));
    Object no_entry = good, missing_key = good, bad_entry = good;
    no_entry.erase("entry");
    missing_key["param"].get_obj().erase("snapshot");
    bad_entry["entry"] = Object{{"id", Value(vm_.id)}};
    // Parameters out of bounds are refused by name, before anything is made.
    const auto out_of_range = [&](void (*set)(smartx::Backup_Param&)) {
        smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
        set(p);
        return Value(backup_request(p, backup_entry(vm_)));
    };
    const std::pair<Value, std::string> cases[] = {
        {Value(no_entry), ""},
        {Value(missing_key), ""},
        {Value(bad_entry), ""},
        {Value(Array{Value(no_entry)}), ""},
        {out_of_range(
             [](smartx::Backup_Param& p) { p.control.parallelism.disks_per_vm = 1000000; }),
         "Invalid params: disks_per_vm 1000000 is out of range (1..64)."},
        {out_of_range([](smartx::Backup_Param& p) {
             p.backup_type = static_cast<Job_Definition_Subtype>(99);
         }),
         "Invalid params: backup_type 99 is out of range (1..3)."},
        {out_of_range([](smartx::Backup_Param& p) { p.control.zbs_block_size = 1; }),
         "Invalid params: zbs_block_size 1 is out of range (262144..268435456 in steps of "
         "262144)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(json_spirit::write(c.first));
        const Servant_Reply reply = call_servant(*handler_, c.first);
        EXPECT_EQ(std::make_tuple(reply.sent, reply.rc, reply.error, reply.error_code),
                  std::make_tuple(size_t{1}, 0, true, -32602));
        EXPECT_EQ(reply.error_message, c.second);
    }

    // A notification, and a request whose channel is gone before the answer.
    auto channel = std::make_shared<JSON_RPC_Memory_Channel>();
    JSON_RPC_Request* notify = new JSON_RPC_Request("smartx.servant.backup", Value(good), Value());
    notify->set_notify(true);
    EXPECT_EQ(handler_->handle_object(channel, JSON_RPC_Object_Ptr(notify)), -1);
    EXPECT_EQ(channel->count(), 0u);
    std::weak_ptr<JSON_RPC_Channel> gone = std::make_shared<JSON_RPC_Memory_Channel>();
    EXPECT_EQ(handler_->handle_object(gone, JSON_RPC_Object_Ptr(new JSON_RPC_Request(
                                                "smartx.servant.backup", Value(good), Value(1)))),
              -1);

    EXPECT_TRUE(pool_files().empty());
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(world_->tower().requests().empty());
    const smartx::VM_Progress_Info untouched{};
    EXPECT_EQ(std::memcmp(&progress(), &untouched, sizeof untouched), 0);
}

TEST_F(BackupServant, SetUpFailuresAnswerInternalErrors) {
    // No progress record for this VM: the job's records cannot be opened.
    smartx::Backup_Param unknown_vm = param(JOB_DEFINITION_SUBTYPE_FULL);
    unknown_vm.vm_id = "cl0unknownvm0000000000001";
    // A login CloudTower refuses.
    smartx::Backup_Param wrong_login = param(JOB_DEFINITION_SUBTYPE_FULL);
    wrong_login.control.login_info.secure_pwd = "wrong";
    for (const auto& c : {std::make_pair(unknown_vm, "Failed to initialize job."),
                          std::make_pair(wrong_login, "Failed to initialize members.")}) {
        SCOPED_TRACE(c.second);
        const Servant_Reply reply = backup(c.first);
        EXPECT_EQ(std::make_tuple(reply.error, reply.error_code, reply.error_message),
                  std::make_tuple(true, -32603, std::string(c.second)));
    }
    EXPECT_EQ(progress().state, 3);
    // The ZBS library was let go with the request.
    EXPECT_EQ(smartx::zbs_read, nullptr);
    EXPECT_TRUE(snapshots().empty());
}

}  // namespace
}  // namespace backup_test
