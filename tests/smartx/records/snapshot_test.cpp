// VM snapshots with their disks, volume snapshots and VM histories.
#include "smartx/common/history.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume_snapshot.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::VM_History;
using smartx::VM_Snapshot;
using smartx::VM_Volume_Snapshot;
using Snapshot_Disk = smartx::VM_Snapshot::Snapshot_VM_Disk;

namespace {

Object snapshot_disk_body() {
    return body(
        R"({"boot": 1, "bus": "VIRTIO", "disabled": false, "disk_name": "vda", "index": 0, "key": 2,
                    "path": "zbs-pool/snap-1", "size": 10737418240, "snapshot_local_id": "sl1",
                    "storage_policy_uuid": "p1", "type": "DISK", "vm_volume_local_id": "lvol1",
                    "vm_volume_snapshot_uuid": "vs1", "vm_volume_template_uuid": "vt1"})");
}

Object snapshot_body() {
    Object snap =
        body(R"({"cluster": {"id": "c1", "name": "cl"}, "consistent_type": "CRASH_CONSISTENT",
                           "id": "s1", "labels": [{"id": "l1"}], "local_id": "ls1", "name": "snap",
                           "snapshot_group": {"id": "g1", "name": "group"}, "vm": {"id": "v1", "name": "vm1"}})");
    Object cd = snapshot_disk_body();
    cd["type"] = "CD_ROM";
    cd["index"] = 1;
    snap["vm_disks"] = Array{snapshot_disk_body(), cd};
    return snap;
}

Object volume_snapshot_body() {
    return body(
        R"({"cluster": {"id": "c1", "name": "cl"}, "createAt": "2024-01-02T03:04:05Z", "description": "",
                    "elf_storage_policy": "REPLICA_2_THIN_PROVISION", "id": "vs1", "local_id": "lvs1",
                    "name": "vsnap", "size": 1073741824, "type": "KVM_VOLUME", "vm_volume": {"id": "vol1", "name": "v"},
                    "volume_sharing": false, "volume_size": 10737418240, "zbs_snapshot_uuid": "z1"})");
}
}  // namespace

TEST(SnapshotRecords, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<Snapshot_Disk>(
        snapshot_disk_body(),
        {
            {drop("index"),
             {"Failed to parse snapshot VM disk, details 'index' is expected as 32-bit "
              "integer.\n"}},
            {put("boot", Value()),
             {"Failed to parse snapshot VM disk, details 'boot' is expected as 32-bit integer.\n"}},
            {put("size", HUGE_NUMBER),
             {"Failed to parse snapshot VM disk, details 'size' is expected as integer.\n"}},
            {drop("path"),
             {"Failed to parse snapshot VM disk, details 'path' is expected as string.\n"}},
            {drop("storage_policy_uuid"),
             {"Failed to parse snapshot VM disk, details 'storage_policy_uuid' is expected as "
              "string.\n"}},
            {drop("vm_volume_snapshot_uuid"), {}},
            {drop("disk_name"), {}},
            {put("key", "2"), {}},
            {put("disabled", Value()), {}},
        });

    check_load_cases<VM_Snapshot>(
        snapshot_body(),
        {
            {drop("consistent_type"),
             {"Failed to parse VM snapshot, details 'consistent_type' is expected as string.\n"}},
            {put("local_id", 3),
             {"Failed to parse VM snapshot, details 'local_id' is expected as string.\n"}},
            {drop("cluster"), {"Failed to parse cluster in VM snapshot.\n"}},
            {put("cluster", Value()), {"Failed to parse cluster in VM snapshot.\n"}},
            {put("labels.0.id", 1), {LABEL_ID, "Failed to parse labels in VM snapshot.\n"}},
            {put("snapshot_group", Value()), {}},
            {drop("snapshot_group.name"),
             {ITEM_NAME, "Failed to parse snapshot group in VM snapshot.\n"}},
            {drop("vm"), {}},
            {drop("vm.name"), {ITEM_NAME, "Failed to parse VM in VM snapshot.\n"}},
            {put("vm_disks", Value()), {}},
            // Unlike other lists, a disk that is not an object is not skipped.
            {put("vm_disks.1", 3), {"Failed to parse VM disks in VM snapshot.\n"}},
            {put("vm_disks.1", Value()), {"Failed to parse VM disks in VM snapshot.\n"}},
            {drop("vm_disks.0.index"),
             {"Failed to parse snapshot VM disk, details 'index' is expected as 32-bit integer.\n",
              "Failed to parse VM disks in VM snapshot.\n"}},
        });

    check_load_cases<VM_Volume_Snapshot>(
        volume_snapshot_body(),
        {
            {drop("createAt"), {}},
            {drop("volume_size"), {}},
            {put("volume_size", 1.5), {}},
            {put("size", "1G"), {}},
            {put("volume_sharing", "no"), {}},
            {drop("zbs_snapshot_uuid"), {}},
            {drop("description"),
             {"Failed to parse VM volume snapshot, details: 'description' is expected as "
              "string.\n"}},
            {put("type", Value()),
             {"Failed to parse VM volume snapshot, details: 'type' is expected as string.\n"}},
            {drop("cluster"), {"Failed to parse cluster in VM volume snapshot.\n"}},
            {put("vm_volume", Value()), {}},
            {drop("vm_volume.name"),
             {ITEM_NAME, "Failed to parse vm volume in VM volume snapshot.\n"}},
        });
}

TEST(SnapshotRecords, SnapshotDiskDumpCarriesThePolicyNameAndLoadsBack) {
    Snapshot_Disk fresh;
    EXPECT_EQ(fresh.boot, 0);
    EXPECT_EQ(fresh.index, 0);
    EXPECT_EQ(fresh.key, 0);
    EXPECT_EQ(fresh.size, 0);

    Snapshot_Disk disk;
    ASSERT_TRUE(disk.load(
        edited(snapshot_disk_body(), put("elf_storage_policy", "REPLICA_3_THIN_PROVISION"))));
    EXPECT_TRUE(disk.elf_storage_policy.empty());
    EXPECT_EQ(disk.get_type(), smartx::VM_Disk_Type::DISK);

    Object dumped = disk.dump();
    std::set<std::string> keys = keys_of(snapshot_disk_body());
    keys.insert("vm_volume_storage_policy");
    EXPECT_EQ(keys_of(dumped), keys);
    EXPECT_EQ(dumped.at("vm_volume_storage_policy"), Value(""));

    // Filled by the snapshot query, stored with the piece, ignored when loaded back.
    disk.vm_volume_storage_policy = "REPLICA_2_THIN_PROVISION";
    dumped = disk.dump();
    EXPECT_EQ(dumped.at("vm_volume_storage_policy"), Value("REPLICA_2_THIN_PROVISION"));
    Snapshot_Disk again;
    ASSERT_TRUE(again.load(dumped));
    EXPECT_TRUE(again.vm_volume_storage_policy.empty());
    dumped.erase("vm_volume_storage_policy");
    Object again_dumped = again.dump();
    again_dumped.erase("vm_volume_storage_policy");
    EXPECT_EQ(again_dumped, dumped);
    EXPECT_EQ(again_dumped, snapshot_disk_body());

    Snapshot_Disk cd;
    cd.type = "CD_ROM";
    EXPECT_EQ(cd.get_type(), smartx::VM_Disk_Type::CD_ROM);
    cd.type = "cd_rom";
    EXPECT_EQ(cd.get_type(), smartx::VM_Disk_Type::UNKNOWN);
}

TEST(SnapshotRecords, LoadedValues) {
    VM_Snapshot snap;
    ASSERT_TRUE(snap.load(snapshot_body()));
    ASSERT_EQ(snap.vm_disks.size(), 2u);
    EXPECT_EQ(snap.vm_disks[1].get_type(), smartx::VM_Disk_Type::CD_ROM);
    EXPECT_EQ(snap.snapshot_group.id, "g1");

    VM_Volume_Snapshot vs;
    ASSERT_TRUE(vs.load(volume_snapshot_body()));
    EXPECT_EQ(vs.volume_size, 10737418240.0);
    EXPECT_EQ(vs.create_time, "2024-01-02T03:04:05Z");
    EXPECT_EQ(vs.size, 1073741824);

    VM_Volume_Snapshot sparse;
    ASSERT_TRUE(sparse.load(
        edited(edited(volume_snapshot_body(), drop("createAt")), put("volume_size", 2.5))));
    EXPECT_EQ(sparse.volume_size, -1.0);  // a fraction is never kept
    EXPECT_EQ(sparse.create_time, "");
}

TEST(SnapshotRecords, HistoryDumpsEveryKey) {
    EXPECT_EQ(
        VM_History().dump(),
        body(
            R"({"uuid": "", "name": "", "host": "", "cluster_id": "", "start_time": "", "end_time": "",
                       "set_size": 0, "size": 0, "storaged_size": 0, "succeed": false})"));

    VM_History h;
    h.uuid = "v1";
    h.set_size = UINT64_MAX;
    h.succeed = true;
    const Object d = h.dump();
    EXPECT_EQ(d.at("set_size").get_uint64(), UINT64_MAX);
    EXPECT_EQ(d.at("uuid"), Value("v1"));
    EXPECT_EQ(d.at("succeed"), Value(true));
}
