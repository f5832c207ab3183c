// The VM record with its CPU, disks, NICs and volumes; its snapshots, the
// snapshots of its volumes.
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::VM;
using smartx::VM_Disk;
using smartx::VM_NIC;
using smartx::VM_Snapshot;
using smartx::VM_Volume;
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
    snap["vm_disks"] =
        Array{snapshot_disk_body(), edited(snapshot_disk_body(), put("type", "CD_ROM"))};
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

TEST(VmRecord, FaultyBodiesFailWithTheirMessages) {
    const Fail vm{"Failed to parse VM, details: "};
    const Fail cpu{"Failed to load CPU from JSON: ", "\n"};
    const char* const CPU = "Failed to parse cpu in VM.\n";
    const char* const DISKS = "Failed to parse VM disks in VM.\n";
    const char* const USB = "Failed to parse USB devices in VM.\n";
    check_load_cases<VM>(
        vm_body(),
        {
            {drop("win_opt"), {vm("win_opt", "boolean")}},
            {put("vcpu", HUGE_NUMBER), {vm("vcpu", "32-bit integer")}},
            {put("memory", HUGE_NUMBER), {vm("memory", "integer")}},
            {drop("clock_offset"), {vm("clock_offset", "string")}},
            {drop("video_type"), {}},
            {drop("cluster"), {}},
            // "folder": null is how CloudTower answers for a VM outside any folder.
            {put("folder", Value()), {}},
            {put("cpu", Value()), {}},
            {put("cpu", 5),
             {"Failed to load CPU from JSON: json_spirit: value is an integer, not an object\n",
              CPU}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in VM.\n"}},
            {drop("cpu.sockets"), {cpu("sockets", "32-bit integer"), CPU}},
            {put("cpu.cores", HUGE_NUMBER), {cpu("cores", "32-bit integer"), CPU}},
            {put("gpu_devices.0.brand", Value()),
             {"Failed to parse GPU device, details: 'brand' is expected as string.\n",
              "Failed to parse GPU devices in VM.\n"}},
            {drop("host.management_ip"), {HOST_IP, "Failed to parse host in VM.\n"}},
            {put("labels.0.id", 1), {LABEL_ID, "Failed to parse labels in VM.\n"}},
            {put("usb_devices.0", body(R"({"name": "usb"})")),
             {"Failed to parse one 'id' of items usb_devices, details: 'id' is expected as "
              "string.\n",
              USB}},
            {put("usb_devices.0.local_id", "lu1"),
             {"Failed to parse USB device, details: 'binded' is expected as boolean.\n", USB}},
            {drop("vm_disks.0.vm"), {"Failed to parse VM in VM disk.\n", DISKS}},
            {put("vm_disks.1.bus", "IDE"),
             {"Failed to parse VM disk, details: 'boot' is expected as 32-bit integer.\n", DISKS}},
            {put("vm_disks.1", 7), {}},
            {put("vm_disks", "none"), {}},
            {drop("vm_nics.0.vm"),
             {"Failed to parse VM in VM NIC.\n", "Failed to parse VM nics in VM.\n"}},
            {drop("vm_placement_group.0.name"),
             {ITEM_NAME, "Failed to parse VM placement group in VM.\n"}},
        });
}

TEST(VmRecord, DumpIsTheWholeVmDescriptionAndLoadsBack) {
    VM vm;
    ASSERT_TRUE(vm.load(vm_body()));
    vm.size = 123;  // not part of the description
    // References come back as whole records with their defaults.
    VM_Disk d2;
    d2.id = "d2";
    smartx::USB_Device u1;
    u1.id = "u1";
    Object expected = edited(edited(vm_body(), drop(CREATED_AT)),
                             drop(std::string("vm_disks.0.vm_volume.") + CREATED_AT));
    expected["vm_disks"].get_array()[1] = d2.dump();
    expected["usb_devices"] = Array{u1.dump()};
    EXPECT_EQ(vm.dump(), expected);
    expect_dump_is_body<VM>(expected);

    expect_dump_is_body<VM>(VM().dump());
}

// Every backup set stores the VM's dump as its VM description: its keys
// stay those of the sets made before CloudTower's creation time was read.
TEST(VmRecord, DumpKeepsItsKeysAndLeavesTheCreationTimeOut) {
    const size_t VM_DUMP_KEYS = 32;
    const size_t VOLUME_DUMP_KEYS = 13;
    VM vm;
    ASSERT_TRUE(vm.load(vm_body()));
    VM_Volume volume;
    ASSERT_TRUE(volume.load(volume_body()));
    const Object vm_dump = vm.dump();
    const struct {
        const char* record;
        Object empty_dump;
        size_t keys;
        std::string created_at;  // as loaded
        Object dump;
    } rows[] = {
        {"VM", VM().dump(), VM_DUMP_KEYS, vm.local_created_at, vm_dump},
        {"VM_Volume", VM_Volume().dump(), VOLUME_DUMP_KEYS, volume.local_created_at, volume.dump()},
        {"a VM disk's volume", VM_Volume().dump(), VOLUME_DUMP_KEYS,
         vm.vm_disks.at(0).vm_volume.local_created_at,
         vm_dump.at("vm_disks").get_array().at(0).get_obj().at("vm_volume").get_obj()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.record);
        EXPECT_EQ(row.empty_dump.size(), row.keys);
        EXPECT_EQ(row.empty_dump.count(CREATED_AT), 0u);
        EXPECT_EQ(row.created_at, CREATED_AT_VALUE);
        EXPECT_EQ(row.dump.size(), row.keys);
        EXPECT_EQ(row.dump.count(CREATED_AT), 0u);
    }
}

TEST(VmDeviceRecords, FaultyBodiesFailWithTheirMessages) {
    const Fail volume{"Failed to parse VM volume, details: "};
    check_load_cases<VM_Volume>(
        volume_body(),
        {
            {drop("mounting"), {volume("mounting", "boolean")}},
            {drop("elf_storage_policy"), {volume("elf_storage_policy", "string")}},
            {put("size", HUGE_NUMBER), {volume("size", "integer")}},
            {drop("description"), {}},
            {drop("type"), {}},
            {drop("lun"), {}},
            {drop("lun.name"), {ITEM_NAME, "Failed to parse lun in VM volume.\n"}},
            {drop("cluster"), {"Failed to parse cluster in VM volume.\n"}},
            {put("vm_disks.0.id", 1), {LABEL_ID, "Failed to parse VM disks in VM volume.\n"}},
        });

    const Fail disk{"Failed to parse VM disk, details: "};
    const char* const DISK_VM = "Failed to parse VM in VM disk.\n";
    const char* const DISK_VOLUME = "Failed to parse VM volume in VM disk.\n";
    check_load_cases<VM_Disk>(
        disk_body(),
        {
            {drop("boot"), {disk("boot", "32-bit integer")}},
            {put("type", Value()), {disk("type", "string")}},
            {drop("device"), {}},
            {put("disabled", "no"), {}},
            {drop("elf_image"), {}},
            {drop("elf_image.name"), {ITEM_NAME, "Failed to parse ELF image in VM disk.\n"}},
            {drop("vm"), {DISK_VM}},
            {drop("vm.name"), {ITEM_NAME, DISK_VM}},
            {drop("vm_volume"), {}},
            {put("vm_volume", Value()), {}},
            {drop("vm_volume.local_id"), {}},
            {put("vm_volume", body(R"({"name": "no id"})")),
             {"Failed to parse the 'id' of item vm_volume, details: 'id' is expected as string.\n",
              DISK_VOLUME}},
            {drop("vm_volume.mounting"), {volume("mounting", "boolean"), DISK_VOLUME}},
        });

    const Fail nic{"Failed to parse VM NIC, details: "};
    check_load_cases<VM_NIC>(
        nic_body(), {
                        {drop("id"), {nic("id", "string")}},
                        {put("enabled", "yes"), {}},
                        {drop("model"), {}},
                        {drop("vm"), {"Failed to parse VM in VM NIC.\n"}},
                        {drop("vm.name"), {ITEM_NAME, "Failed to parse VM in VM NIC.\n"}},
                        {put("vlan", Value()), {}},
                        {drop("vlan.name"), {ITEM_NAME, "Failed to parse vlan in VM NIC.\n"}},
                    });
}

TEST(VmDeviceRecords, DumpsWriteEveryFieldAndLoadBack) {
    expect_dump_is_body<VM_Volume>(edited(volume_body(), drop(CREATED_AT)));
    expect_dump_is_body<VM_Disk>(edited(disk_body(), drop(std::string("vm_volume.") + CREATED_AT)));
    expect_dump_is_body<VM_NIC>(nic_body());
    expect_dump_is_body<VM_NIC>(VM_NIC().dump());

    // A bare reference keeps only the volume's id; the dump nests that
    // volume whole with its defaults, and loads back into the same disk.
    VM_Disk bare;
    ASSERT_TRUE(
        bare.load(edited(disk_body(), put("vm_volume", body(R"({"id": "vol9", "name": "x"})")))));
    const Object dumped = bare.dump();
    EXPECT_EQ(dumped.at("vm_volume").get_obj(), edited(VM_Volume().dump(), put("id", "vol9")));
    expect_dump_is_body<VM_Disk>(dumped);
}

TEST(SnapshotRecords, FaultyBodiesFailWithTheirMessages) {
    // These two records write no colon after "details".
    const Fail disk{"Failed to parse snapshot VM disk, details "};
    check_load_cases<Snapshot_Disk>(
        snapshot_disk_body(),
        {
            {drop("index"), {disk("index", "32-bit integer")}},
            {put("size", HUGE_NUMBER), {disk("size", "integer")}},
            {drop("storage_policy_uuid"), {disk("storage_policy_uuid", "string")}},
            {drop("vm_volume_snapshot_uuid"), {}},
            {put("key", "2"), {}},
        });

    const Fail snap{"Failed to parse VM snapshot, details "};
    const char* const DISKS = "Failed to parse VM disks in VM snapshot.\n";
    check_load_cases<VM_Snapshot>(
        snapshot_body(),
        {
            {drop("consistent_type"), {snap("consistent_type", "string")}},
            {drop("cluster"), {"Failed to parse cluster in VM snapshot.\n"}},
            {put("labels.0.id", 1), {LABEL_ID, "Failed to parse labels in VM snapshot.\n"}},
            {put("snapshot_group", Value()), {}},
            {drop("snapshot_group.name"),
             {ITEM_NAME, "Failed to parse snapshot group in VM snapshot.\n"}},
            {drop("vm"), {}},
            {drop("vm.name"), {ITEM_NAME, "Failed to parse VM in VM snapshot.\n"}},
            {put("vm_disks", Value()), {}},
            // Unlike other lists, a disk that is not an object is not skipped.
            {put("vm_disks.1", 3), {DISKS}},
            {drop("vm_disks.0.index"), {disk("index", "32-bit integer"), DISKS}},
        });

    const Fail volume{"Failed to parse VM volume snapshot, details: "};
    check_load_cases<VM_Volume_Snapshot>(
        volume_snapshot_body(),
        {
            {drop("createAt"), {}},
            {put("volume_size", 1.5), {}},
            {drop("zbs_snapshot_uuid"), {}},
            {drop("description"), {volume("description", "string")}},
            {put("type", Value()), {volume("type", "string")}},
            {drop("cluster"), {"Failed to parse cluster in VM volume snapshot.\n"}},
            {put("vm_volume", Value()), {}},
            {drop("vm_volume.name"),
             {ITEM_NAME, "Failed to parse vm volume in VM volume snapshot.\n"}},
        });
}

TEST(SnapshotRecords, SnapshotDiskDumpCarriesThePolicyNameButDoesNotLoadIt) {
    Snapshot_Disk disk;
    ASSERT_TRUE(disk.load(edited(snapshot_disk_body(), put("vm_volume_storage_policy", "X"))));
    EXPECT_TRUE(disk.vm_volume_storage_policy.empty());
    EXPECT_EQ(disk.dump(), edited(snapshot_disk_body(), put("vm_volume_storage_policy", "")));

    // Filled by the snapshot query, stored with the piece.
    disk.vm_volume_storage_policy = "REPLICA_2_THIN_PROVISION";
    EXPECT_EQ(disk.dump().at("vm_volume_storage_policy"), Value("REPLICA_2_THIN_PROVISION"));
}
