// The backup servant handler driven as the servant process drives it: one
// JSON-RPC request per VM, against the simulated CloudTower, ZBS library,
// backup server and a storage pool directory.
#include "smartx/servant/backup_servant_handler.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/paths.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/backup_world.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace backup_test {
namespace {

uint64_t u64(const Object& o, const std::string& key) {
    return o.at(key).get_uint64();
}

class Backup_Servant_Test : public Backup_World {
protected:
    // A full backup that must succeed; the catalog row it committed.
    Object full_backup(JSON_RPC_Handler& handler, bool allocated_blocks = true) {
        smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
        p.control.allocated_blocks = allocated_blocks;
        const Reply reply = backup(handler, p);
        EXPECT_EQ(reply.code(), 0);
        const std::vector<Object> rows = catalog_rows();
        return rows.empty() ? Object() : rows.back();
    }

    smartx::VM_Progress_Info progress() const { return *progress_.get(); }
};

class Full_Backup_Test : public Backup_Servant_Test, public ::testing::WithParamInterface<bool> {};

TEST_P(Full_Backup_Test, ImagesHoldEveryByteOfDisksOfOddSizes) {
    fill_disks();
    const std::vector<std::string> expected = disk_contents();
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = GetParam();
    const Reply reply = backup(*handler, p);

    ASSERT_EQ(reply.sent, 1u);
    EXPECT_EQ(reply.rc, 0);
    ASSERT_FALSE(reply.error) << reply.error_message;
    EXPECT_EQ(reply.code(), 0);
    EXPECT_EQ(reply.result.at("vm_id").get_str(), vm_id_);

    const std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    const Object& row = rows[0];
    EXPECT_EQ(restore({row}), expected);

    // Sizes: what was planned (clipped to each disk), and what the pool holds.
    uint64_t planned = 0;
    uint64_t stored = 0;
    for (const Value& piece : row.at("pieces").get_array())
        stored += member(piece, "size").get_uint64();
    const smartx::VM_Progress_Info info = progress();
    planned = info.total_bytes;
    EXPECT_EQ(info.state, 2);
    EXPECT_EQ(info.virtual_disk_count, 3);
    EXPECT_EQ(info.processed_virtual_disk_count, 3);
    EXPECT_EQ(info.processed_bytes, planned);
    EXPECT_GT(info.end_time, 0);
    if (!GetParam()) {
        // Whole extents, cut at each disk's end.
        EXPECT_EQ(planned, disks_[0].size + disks_[1].size + disks_[2].size);
    }
    EXPECT_EQ(u64(reply.result, "storage_size"), stored);
    const uint64_t set_size = u64(reply.result, "set_size");
    EXPECT_EQ(u64(reply.result, "source_size"), set_size);
    EXPECT_EQ(row.at("size").get_int64(), static_cast<int64_t>(set_size));
    EXPECT_EQ(row.at("source_size").get_int64(), static_cast<int64_t>(set_size));
    // The VM description counts with the disks' planned bytes.
    EXPECT_GT(set_size, planned);
    // Nothing is read twice and nothing beyond the plan.
    EXPECT_EQ(zbs_totals().bytes_read, planned);
}

INSTANTIATE_TEST_SUITE_P(Backup_Planners, Full_Backup_Test, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? std::string("WrittenArea") : std::string("Extents");
                         });

TEST_F(Backup_Servant_Test, FullBackupRecordsTheVmInTheCatalog) {
    fill_disks();
    auto handler = make_handler();
    const Object row = full_backup(*handler);
    ASSERT_FALSE(row.empty());

    SmartX_Backup_Set set;
    std::string why;
    ASSERT_TRUE(set.load(row, &why)) << why;
    EXPECT_EQ(set.set_type, "smartx");
    EXPECT_EQ(set.type, "full");
    EXPECT_EQ(set.name, "nightly");
    EXPECT_EQ(set.definition_uuid, def_id_);
    EXPECT_EQ(set.job_instance_uuid, job_id_);
    EXPECT_EQ(set.uid, job_uid_);
    EXPECT_EQ(set.resource_uuid, resource_uuid_);
    EXPECT_EQ(set.uri, resource_uuid_);
    EXPECT_EQ(set.minor_resource_name, vm_name_);
    EXPECT_FALSE(set.minor_resource_id.empty());
    EXPECT_FALSE(set.incarnation.empty());
    EXPECT_TRUE(set.base_sets.empty());
    EXPECT_EQ(set.vm_id, vm_id_);
    EXPECT_EQ(set.vm_name, vm_name_);
    EXPECT_EQ(set.cluster_id, cluster_id_);
    EXPECT_EQ(set.owner_host_name, "node-hz01-01");
    EXPECT_EQ(set.owner_host_ip, "192.168.10.21");
    EXPECT_EQ(set.base_info.vm_description, "Backup test VM");
    EXPECT_EQ(set.cpu_info.cpu_cores, 2u);
    EXPECT_EQ(set.cpu_info.cpu_socket, 1u);
    EXPECT_EQ(set.cpu_info.cpu_count, 2u);
    EXPECT_EQ(set.mem_info.memory, 4096u);
    ASSERT_EQ(set.aggregates.size(), 2u);
    EXPECT_EQ(set.aggregates[0].type, SmartX_Backup_Set::TAG);
    EXPECT_EQ(set.aggregates[1].type, SmartX_Backup_Set::FOLDER);
    EXPECT_EQ(set.aggregates[1].id, fixture_ref("vm_folders", "production").at("id").get_str());
    const Array placeholder{Object{{"id", Value("0")}}};
    EXPECT_EQ(set.floppys, placeholder);
    EXPECT_EQ(set.nics, placeholder);  // bk-01 has no NIC
    EXPECT_EQ(set.gpus, placeholder);
    EXPECT_TRUE(set.usbs.empty());
    EXPECT_TRUE(set.cdroms.empty());
    EXPECT_EQ(set.boot_devices, (Array{Object{{"bootdevice", Value("BIOS")}}}));
    EXPECT_FALSE(set.vm_extended_attrs.empty());

    // The snapshot the set names is kept (reserve_snapshot is on by default).
    EXPECT_EQ(vm_snapshot_ids(), std::vector<std::string>{set.snap_id});

    // One piece per disk, in disk order, then the VM description.
    ASSERT_EQ(set.pieces.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(set.pieces[i].object, disks_[i].volume_id);
        EXPECT_EQ(str(Value(set.pieces[i].extended_attrs), "vm_volume_local_id"),
                  disks_[i].volume_local_id);
        EXPECT_EQ(set.pieces[i].path.rfind(vm_id_ + "/" + disks_[i].volume_local_id + "_full_", 0),
                  0u)
            << set.pieces[i].path;
    }
    EXPECT_EQ(set.pieces[3].object, "vm_info");
    EXPECT_EQ(set.pieces[3].path.rfind(vm_id_ + "/info_full_", 0), 0u);
    ASSERT_EQ(set.storages.size(), 1u);
    EXPECT_EQ(set.storages[0].pool_uuid, "pool-uuid-1");
    EXPECT_EQ(set.storages[0].attributes, (Object{{"code_name", Value("vantor")}}));

    // The description is the VM record, stored as JSON text.
    std::ifstream in(pool_dir_ + "/" + set.pieces[3].path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Value vm = parse(text);
    EXPECT_EQ(str(vm, "id"), vm_id_);
    EXPECT_EQ(member(vm, "vm_disks").get_array().size(), 4u);  // the CD-ROM too

    // Exactly the set's files are in the pool.
    std::vector<std::string> paths;
    for (const Backup_Piece& piece : set.pieces)
        paths.push_back(piece.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(pool_files(), paths);
}

TEST_F(Backup_Servant_Test, IncrementalBackupReadsOnlyChangedBlocks) {
    fill_disks();
    auto handler = make_handler();
    const Object full = full_backup(*handler);
    const std::string first_snapshot = str(Value(full), "snap_id");

    // One changed byte range in disk 1, nothing elsewhere.
    write_disk(0, 3 * BLOCK + 100, "changed");
    const std::vector<std::string> expected = disk_contents();
    zbs_->reset();
    const Reply reply = backup(*handler, param(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
    ASSERT_EQ(reply.code(), 0);
    EXPECT_EQ(zbs_totals().bytes_read, BLOCK);

    const std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    const Object& incr = rows[1];
    EXPECT_EQ(str(Value(incr), "type"), "incremental");
    EXPECT_EQ(member(Value(incr), "base_sets"), Value(Array{full.at("uuid")}));
    EXPECT_EQ(incr.at("incarnation"), full.at("incarnation"));
    EXPECT_EQ(incr.at("minor_resource_id"), full.at("minor_resource_id"));
    EXPECT_EQ(incr.at("source_size").get_int64() - static_cast<int64_t>(BLOCK),
              static_cast<int64_t>(
                  member(Value(incr.at("pieces").get_array().back()), "size").get_uint64()));

    // Unchanged disks get empty images.
    EXPECT_NE(piece_path(incr, disks_[0].volume_local_id).find("_incremental_"), std::string::npos);
    EXPECT_EQ(piece_path(incr, disks_[1].volume_local_id).find(vm_id_ + "/not_exists_"), 0u);
    EXPECT_EQ(piece_path(incr, disks_[2].volume_local_id).find(vm_id_ + "/not_exists_"), 0u);
    EXPECT_EQ(progress().total_bytes, BLOCK);

    // The chain gives back the disks as they are now.
    EXPECT_EQ(restore({full, incr}), expected);
    // The new snapshot is the next base; the old one is gone.
    EXPECT_EQ(vm_snapshot_ids(), std::vector<std::string>{str(Value(incr), "snap_id")});
    EXPECT_NE(str(Value(incr), "snap_id"), first_snapshot);
}

TEST_F(Backup_Servant_Test, IncrementalByExtentsCopiesChangedExtentsWhole) {
    fill_disks();
    auto handler = make_handler();
    const Object full = full_backup(*handler, false);
    write_disk(2, 5, "x");
    const std::vector<std::string> expected = disk_contents();
    zbs_->reset();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
    p.control.allocated_blocks = false;
    ASSERT_EQ(backup(*handler, p).code(), 0);
    // The disk's only extent, cut at its end.
    EXPECT_EQ(zbs_totals().bytes_read, disks_[2].size);
    const std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(restore(rows), expected);
}

TEST_F(Backup_Servant_Test, IncrementalWithoutBaseSetBecomesFull) {
    fill_disks();
    auto handler = make_handler();
    const Reply reply = backup(*handler, param(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
    ASSERT_EQ(reply.code(), 0);
    ASSERT_EQ(catalog_rows().size(), 1u);
    EXPECT_EQ(str(Value(catalog_rows()[0]), "type"), "full");
    EXPECT_EQ(alerts(), (std::vector<std::pair<unsigned, unsigned>>{{5, 4}}));
}

TEST_F(Backup_Servant_Test, IncrementalWhoseBaseSnapshotIsGoneBecomesFull) {
    fill_disks();
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.reserve_snapshot = false;
    ASSERT_EQ(backup(*handler, p).code(), 0);
    EXPECT_TRUE(vm_snapshot_ids().empty());

    next_second();
    ASSERT_EQ(backup(*handler, param(JOB_DEFINITION_SUBTYPE_INCREMENTAL)).code(), 0);
    const std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(str(Value(rows[1]), "type"), "full");
    EXPECT_TRUE(member(Value(rows[1]), "base_sets").get_array().empty());
    EXPECT_NE(rows[1].at("incarnation"), rows[0].at("incarnation"));
    EXPECT_EQ(alerts(), (std::vector<std::pair<unsigned, unsigned>>{{5, 5}}));
}

TEST_F(Backup_Servant_Test, DiskFilterAppliesAndDisksMissingFromTheBaseAreCopiedWhole) {
    fill_disks();
    auto handler = make_handler();
    // The first backup takes disk 2 only.
    ASSERT_EQ(send(*handler, Value(params(param(JOB_DEFINITION_SUBTYPE_FULL), entry({1})))).code(),
              0);
    std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(volume_pieces(rows[0]).size(), 1u);
    EXPECT_FALSE(piece_path(rows[0], disks_[1].volume_local_id).empty());

    // Then all disks, incrementally: disks 1 and 3 have no base to build on.
    write_disk(1, 0, "new");
    const std::vector<std::string> expected = disk_contents();
    zbs_->reset();
    ASSERT_EQ(backup(*handler, param(JOB_DEFINITION_SUBTYPE_INCREMENTAL)).code(), 0);
    rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(str(Value(rows[1]), "type"), "incremental");
    ASSERT_EQ(volume_pieces(rows[1]).size(), 3u);
    // Disk 2 from both sets; disks 1 and 3 whole from the second.
    const std::vector<std::string> restored = restore({rows[1]});
    EXPECT_EQ(restored[0], expected[0]);
    EXPECT_EQ(restored[2], expected[2]);
    std::string disk2(disks_[1].size, '\0');
    disk2 = read_image(piece_path(rows[0], disks_[1].volume_local_id), disks_[1].size, disk2);
    disk2 = read_image(piece_path(rows[1], disks_[1].volume_local_id), disks_[1].size, disk2);
    EXPECT_EQ(disk2, expected[1]);
    // Written blocks of disks 1 and 3 (the first, the middle and the cut last
    // one each), and the changed block of disk 2.
    EXPECT_EQ(zbs_totals().bytes_read, (2 * BLOCK + 4608) + BLOCK + (2 * BLOCK + 100352));
}

TEST_F(Backup_Servant_Test, FailureOnOneDiskLeavesNothingAndKeepsTheBase) {
    fill_disks();
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = false;
    const Reply first = backup(*handler, p);
    ASSERT_EQ(first.code(), 0);
    const std::vector<Object> committed = catalog_rows();
    ASSERT_EQ(committed.size(), 1u);
    const std::string base_snapshot = str(Value(committed[0]), "snap_id");
    const std::vector<std::string> files = pool_files();

    // Disk 2's volume now ends before the size CloudTower gives it: its
    // changed extent cannot be read to the end.
    ASSERT_EQ(::truncate(volume_file(1).c_str(), static_cast<off_t>(disks_[1].size / 2)), 0);
    p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
    const Reply failed = backup(*handler, p);
    EXPECT_EQ(failed.result, (Object{{"code", Value(1)}}));
    EXPECT_EQ(pool_files(), files);
    EXPECT_EQ(catalog_rows(), committed);
    // This run's snapshot is gone, the base stays.
    EXPECT_EQ(vm_snapshot_ids(), std::vector<std::string>{base_snapshot});
    EXPECT_EQ(progress().state, 3);
    const auto raised = alerts();
    EXPECT_NE(std::find(raised.begin(), raised.end(), std::make_pair(7u, 13u)), raised.end());
    EXPECT_NE(std::find(raised.begin(), raised.end(), std::make_pair(5u, 25u)), raised.end());

    // Repaired, the next run still builds on the last committed set.
    ASSERT_EQ(::truncate(volume_file(1).c_str(), static_cast<off_t>(disks_[1].size)), 0);
    const std::vector<std::string> expected = disk_contents();
    const Reply next = backup(*handler, p);
    ASSERT_EQ(next.code(), 0);
    const std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(str(Value(rows[1]), "type"), "incremental");
    EXPECT_EQ(member(Value(rows[1]), "base_sets"), Value(Array{committed[0].at("uuid")}));
    // Its own pieces only: one per disk and its description.
    ASSERT_EQ(rows[1].at("pieces").get_array().size(), 4u);
    for (const Value& piece : rows[1].at("pieces").get_array())
        EXPECT_NE(str(piece, "path").find("_incremental_"), std::string::npos)
            << str(piece, "path");
    EXPECT_EQ(restore(rows), expected);
}

TEST_F(Backup_Servant_Test, SecondRequestFailingLeavesTheFirstBackupAlone) {
    fill_disks();
    auto handler = make_handler();
    const Object first = full_backup(*handler);
    const std::vector<std::string> files = pool_files();
    const std::vector<std::string> snapshots = vm_snapshot_ids();
    ASSERT_EQ(snapshots.size(), 1u);

    // The catalog refuses the base lookup (the backup turns full) and the commit.
    backupd_->fail_catalog(2, 400);
    next_second();
    write_disk(0, 0, "more");
    const Reply second = backup(*handler, param(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
    EXPECT_EQ(second.result, (Object{{"code", Value(1)}}));
    EXPECT_EQ(pool_files(), files);
    EXPECT_EQ(vm_snapshot_ids(), snapshots);
    ASSERT_EQ(catalog_rows().size(), 1u);
    EXPECT_EQ(catalog_rows()[0], first);
    const auto raised = alerts();
    EXPECT_NE(std::find(raised.begin(), raised.end(), std::make_pair(7u, 9u)), raised.end());
    // The first set still reads back.
    for (const Test_Disk& d : disks_)
        read_image(piece_path(first, d.volume_local_id), d.size);
}

TEST_F(Backup_Servant_Test, CancelledJobCopiesNothing) {
    fill_disks();
    auto handler = make_handler();
    activity_->state = JOB_STATE_CANCELING;
    const Reply reply = backup(*handler, param(JOB_DEFINITION_SUBTYPE_FULL));
    EXPECT_EQ(reply.result, (Object{{"code", Value(1)}}));
    EXPECT_TRUE(pool_files().empty());
    EXPECT_TRUE(catalog_rows().empty());
    EXPECT_TRUE(vm_snapshot_ids().empty());
    EXPECT_EQ(progress().state, 3);
    EXPECT_EQ(zbs_totals().reads, 0u);
}

TEST_F(Backup_Servant_Test, CancelDuringTheTransferStopsIt) {
    fill_disks();
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.allocated_blocks = false;  // many reads
    zbs_->set_delay_ms(20);
    std::thread canceller([this] {
        // Once reading has started; bounded so that a lost start cannot hang.
        for (int i = 0; i < 3000 && progress_->processed_bytes == 0; ++i)
            ::usleep(1000);
        activity_->state = JOB_STATE_CANCELING;
    });
    const Reply reply = backup(*handler, p);
    canceller.join();
    EXPECT_EQ(reply.result, (Object{{"code", Value(1)}}));
    EXPECT_TRUE(pool_files().empty());
    EXPECT_TRUE(catalog_rows().empty());
    EXPECT_TRUE(vm_snapshot_ids().empty());
    EXPECT_EQ(progress().state, 3);
}

TEST_F(Backup_Servant_Test, ImagesNeverReplaceExistingFiles) {
    fill_disks();
    // Files of an earlier backup under the names this one would take in the
    // next few seconds.
    const time_t now = ::time(nullptr);
    std::vector<std::string> precious;
    for (time_t t = now - 1; t <= now + 5; ++t) {
        const std::string name = smartx::backup_file_name(vm_id_, false, disks_[0].volume_local_id,
                                                          JOB_DEFINITION_SUBTYPE_FULL, t, 0);
        ASSERT_EQ(make_directories(pool_dir_ + "/" + vm_id_, 0750), 0);
        std::ofstream(pool_dir_ + "/" + name) << "committed image";
        precious.push_back(name);
    }
    std::sort(precious.begin(), precious.end());
    auto handler = make_handler();
    const Reply reply = backup(*handler, param(JOB_DEFINITION_SUBTYPE_FULL));
    EXPECT_EQ(reply.code(), 1);
    EXPECT_EQ(pool_files(), precious);
    for (const std::string& name : precious) {
        std::ifstream in(pool_dir_ + "/" + name);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "committed image");
    }
    EXPECT_TRUE(catalog_rows().empty());
}

TEST_F(Backup_Servant_Test, RetriedImageStartsItsCountOver) {
    fill_disks();
    const std::vector<std::string> expected = disk_contents();
    // The first image to be closed fails at its rename; its retry succeeds.
    Client_IO::inject_fault(Client_IO::FAULT_RENAME, EIO, 1);
    auto handler = make_handler();
    const Object row = full_backup(*handler);
    ASSERT_FALSE(row.empty());
    const smartx::VM_Progress_Info info = progress();
    // One image was read twice, yet counted once.
    EXPECT_GT(zbs_totals().bytes_read, info.total_bytes);
    EXPECT_EQ(info.processed_bytes, info.total_bytes);
    EXPECT_EQ(info.processed_virtual_disk_count, 3);
    EXPECT_EQ(restore({row}), expected);
    EXPECT_EQ(pool_files().size(), 4u);
}

TEST_F(Backup_Servant_Test, FailedCloseFailsTheImage) {
    fill_disks();
    Client_IO::inject_fault(Client_IO::FAULT_CLOSE, EIO, 1);
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.retry.max_retries = 0;
    const Reply reply = backup(*handler, p);
    EXPECT_EQ(reply.code(), 1);
    EXPECT_TRUE(pool_files().empty());
    EXPECT_TRUE(catalog_rows().empty());
}

TEST_F(Backup_Servant_Test, ShortOfSpaceStopsBeforeTheSnapshot) {
    fill_disks();
    auto handler = make_handler();
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    // cluster-hz-01 has about 88% free.
    p.storage_reserved_percent = 95;
    EXPECT_EQ(backup(*handler, p).code(), 1);
    EXPECT_TRUE(vm_snapshot_ids().empty());
    EXPECT_EQ(alerts(), (std::vector<std::pair<unsigned, unsigned>>{{7, 7}}));

    // Used above the total is no free space at all...
    Object cluster = fixture_record("clusters", "cluster-hz-01");
    cluster["used_data_space"] = cluster.at("total_data_capacity").get_int64() + 1;
    ASSERT_TRUE(tower_->put_records("clusters", Array{cluster}));
    p.storage_reserved_percent = 0;
    p.storage_reserved_bytes = 1;
    EXPECT_EQ(backup(*handler, p).code(), 1);
    // ...but without a reserve nothing is checked.
    p.storage_reserved_bytes = 0;
    EXPECT_EQ(backup(*handler, p).code(), 0);
}

TEST_F(Backup_Servant_Test, BadRequestsAnswerOneInvalidParamsError) {
    fill_disks();
    auto handler = make_handler();
    tower_->clear_requests();
    Object no_entry;
    no_entry["param"] = param(JOB_DEFINITION_SUBTYPE_FULL).dump();
    Object missing_key = params(param(JOB_DEFINITION_SUBTYPE_FULL), entry());
    missing_key["param"].get_obj().erase("snapshot");
    Object bad_entry = params(param(JOB_DEFINITION_SUBTYPE_FULL), entry());
    bad_entry["entry"] = Object{{"id", Value(vm_id_)}};

    for (const Value& bad :
         {Value(no_entry), Value(missing_key), Value(bad_entry), Value(Array{Value(no_entry)})}) {
        const Reply reply = send(*handler, bad);
        EXPECT_EQ(reply.sent, 1u);
        EXPECT_EQ(reply.rc, 0);
        EXPECT_TRUE(reply.error);
        EXPECT_EQ(reply.error_code, -32602);
        EXPECT_EQ(reply.error_message, "");
    }
    EXPECT_TRUE(pool_files().empty());
    EXPECT_TRUE(tower_->requests().empty());
    const smartx::VM_Progress_Info untouched{};
    EXPECT_EQ(std::memcmp(progress_.get(), &untouched, sizeof untouched), 0);
}

TEST_F(Backup_Servant_Test, ObjectsThatCannotBeAnsweredGetNothing) {
    auto handler = make_handler();
    auto channel = std::make_shared<JSON_RPC_Memory_Channel>();
    JSON_RPC_Request* notify =
        new JSON_RPC_Request("smartx.servant.backup",
                             Value(params(param(JOB_DEFINITION_SUBTYPE_FULL), entry())), Value());
    notify->set_notify(true);
    EXPECT_EQ(handler->handle_object(channel, JSON_RPC_Object_Ptr(notify)), -1);
    EXPECT_EQ(channel->count(), 0u);

    std::weak_ptr<JSON_RPC_Channel> gone;
    {
        auto temporary = std::make_shared<JSON_RPC_Memory_Channel>();
        gone = temporary;
    }
    JSON_RPC_Object_Ptr request(
        new JSON_RPC_Request("smartx.servant.backup",
                             Value(params(param(JOB_DEFINITION_SUBTYPE_FULL), entry())), Value(1)));
    EXPECT_EQ(handler->handle_object(gone, request), -1);
    EXPECT_TRUE(catalog_rows().empty());
}

TEST_F(Backup_Servant_Test, SetUpFailuresAnswerInternalErrors) {
    auto handler = make_handler();
    // No progress record for this VM: the job's records cannot be opened.
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.vm_id = "cl0unknownvm0000000000001";
    Reply reply = backup(*handler, p);
    EXPECT_TRUE(reply.error);
    EXPECT_EQ(reply.error_code, -32603);
    EXPECT_EQ(reply.error_message, "Failed to initialize job.");

    // A login CloudTower refuses.
    p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.control.login_info.secure_pwd = "wrong";
    reply = backup(*handler, p);
    EXPECT_TRUE(reply.error);
    EXPECT_EQ(reply.error_code, -32603);
    EXPECT_EQ(reply.error_message, "Failed to initialize members.");
    EXPECT_EQ(progress().state, 3);
    // The ZBS library was let go with the request.
    EXPECT_EQ(smartx::zbs_read, nullptr);
    EXPECT_TRUE(vm_snapshot_ids().empty());
}

TEST_F(Backup_Servant_Test, SnapshotConsistencyFollowsTheOption) {
    fill_disks();
    auto handler = make_handler();
    // bk-01 runs no VMTools: CloudTower refuses a file-system consistent snapshot.
    smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
    p.snapshot = "FILE_SYSTEM_CONSISTENT";
    tower_->clear_requests();
    EXPECT_EQ(backup(*handler, p).code(), 1);
    EXPECT_EQ(alerts(), (std::vector<std::pair<unsigned, unsigned>>{{7, 16}}));
    EXPECT_TRUE(vm_snapshot_ids().empty());
    EXPECT_TRUE(pool_files().empty());

    // "auto" falls back to a crash-consistent one.
    const auto snapshot_requests = [this] {
        std::vector<std::string> types;
        for (const auto& r : tower_->requests())
            if (r.path == "/v2/api/create-vm-snapshot")
                types.push_back(
                    str(member(parse(r.body), "data").get_array().at(0), "consistent_type"));
        return types;
    };
    EXPECT_EQ(snapshot_requests(), std::vector<std::string>{"FILE_SYSTEM_CONSISTENT"});
    tower_->clear_requests();
    p.snapshot = "auto";
    ASSERT_EQ(backup(*handler, p).code(), 0);
    EXPECT_EQ(snapshot_requests(),
              (std::vector<std::string>{"FILE_SYSTEM_CONSISTENT", "CRASH_CONSISTENT"}));

    Object snapshot;
    ASSERT_TRUE(
        tower_->record("vm_snapshots", str(Value(catalog_rows().at(0)), "snap_id"), snapshot));
    EXPECT_EQ(str(Value(snapshot), "consistent_type"), "CRASH_CONSISTENT");
}

}  // namespace
}  // namespace backup_test
