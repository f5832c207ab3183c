// Request bodies of the VM mutations: what each dump writes and leaves out,
// what the from-record constructors take, and the loads of stored settings.
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::VM;
using smartx::VM_Disk;
using smartx::VM_Setting;

namespace {
Object setting_body() {
    return body(
        R"({"vcpu": 4, "status": "STOPPED", "firmware": "BIOS", "ha": true, "memory": 8589934592,
            "cpu_cores": 2, "cpu_sockets": 2, "guest_os_type": "LINUX", "folder_id": "f1",
            "description": "web", "name": "vm1", "host_id": "h1", "cluster_id": "c1",
            "gpu_devices": [{"gpu_id": "g1", "amount": 1}],
            "vm_placement_group": [{"id": "pg1", "name": "group"}],
            "vm_nics": [{"connect_vlan_id": "vl1", "mirror": false, "model": "VIRTIO", "enabled": true}],
            "vm_disks": {"mount_cd_roms": [{"boot": 0, "elf_image_id": "img"}],
                         "mount_disks": [{"vm_volume_id": "vol1", "bus": "VIRTIO", "boot": 1}],
                         "mount_new_create_disks": [{"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION",
                                                                   "size": 10737418240, "name": "d"},
                                                     "bus": "SCSI", "boot": 2}]},
            "vm_advanced_options": {"windows_optimize": false, "video_type": "VGA", "cpu_model": "host",
                                    "clock_offset": "UTC"}})");
}

VM_Disk disk_of(const char* type, const char* volume_id, int boot) {
    VM_Disk disk;
    EXPECT_TRUE(disk.load(disk_body()));
    disk.type = type;
    disk.boot = boot;
    disk.vm_volume.id = volume_id;
    disk.vm_volume.name = std::string("name-") + volume_id;
    disk.vm_volume.path = "/zbs/never-sent";
    return disk;
}

VM loaded_vm() {
    VM vm;
    EXPECT_TRUE(vm.load(vm_body()));
    return vm;
}
}  // namespace

TEST(VmSettings, FaultyStoredSettingsFailWithTheirMessages) {
    const Fail setting{"Failed to parse VM setting, details: "};
    const Fail cd{"Failed to parse mount CD ROM setting, details: "};
    const Fail mount{"Failed to parse mount disk setting, details: "};
    const Fail volume{"Failed to parse VM volume setting, details: "};
    const char* const DISKS = "Failed to parse VM disks in VM setting.\n";
    const char* const NEW_VOLUME = "Failed to parse VM volume in mount new create disk setting.\n";
    const std::string NEW = "vm_disks.mount_new_create_disks.0.";
    check_load_cases<VM_Setting>(
        setting_body(),
        {
            {drop("firmware"), {setting("firmware", "string")}},
            {put("ha", "yes"), {setting("ha", "boolean")}},
            {put("memory", HUGE_NUMBER), {setting("memory", "integer")}},
            {drop("cpu_cores"), {setting("cpu_cores", "32-bit integer")}},
            {put("vcpu", HUGE_NUMBER), {}},
            {put("status", 5), {}},
            {drop("gpu_devices.0.gpu_id"),
             {"Failed to parse GPU setting, details: 'gpu_id' is expected as string.\n",
              "Failed to parse GPU devices in VM setting.\n"}},
            {drop("vm_placement_group.0.name"),
             {ITEM_NAME, "Failed to parse VM placement group in VM setting.\n"}},
            {put("gpu_devices.0.amount", HUGE_NUMBER), {}},
            {put("vm_placement_group", body(R"({"id_in": ["pg1"]})")), {}},
            {drop("vm_nics.0.connect_vlan_id"),
             {"Failed to parse VM NIC setting, details: 'connect_vlan_id' is expected as string.\n",
              "Failed to parse VM NICs in VM setting.\n"}},
            {drop("vm_disks.mount_cd_roms.0.boot"), {cd("boot", "32-bit integer"), DISKS}},
            {drop("vm_disks.mount_disks.0.bus"), {mount("bus", "string"), DISKS}},
            {drop(NEW + "bus"), {volume("bus", "string"), DISKS}},
            {drop(NEW + "vm_volume"), {NEW_VOLUME, DISKS}},
            {put(NEW + "vm_volume.size", "10G"), {volume("size", "integer"), NEW_VOLUME, DISKS}},
            {drop(NEW + "vm_volume.elf_storage_policy"),
             {volume("elf_storage_policy", "string"), NEW_VOLUME, DISKS}},
            {drop(NEW + "vm_volume.path"), {}},
            {put("vm_disks", Value()), {}},
            {put("vm_advanced_options", Value()), {}},
            {put("vm_advanced_options.windows_optimize", "no"), {}},
        });

    const Fail stored{"Failed to load VM_Volume_Setting from JSON: ", "\n"};
    check_load_cases<smartx::VM_Volume_Setting>(
        body(
            R"({"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240, "sharing": false,
                 "cluster_id": "c1", "name": "vol"})"),
        {
            {drop("elf_storage_policy"), {stored("elf_storage_policy", "string")}},
            {put("size", HUGE_NUMBER), {stored("size", "integer")}},
        });

    // A list that fails ends the disk settings' load without a message of its own.
    Log_Capture log;
    smartx::VM_Disk_Settings disks;
    EXPECT_FALSE(disks.load(body(R"({"mount_disks": [{"bus": "IDE", "boot": 1}]})")));
    EXPECT_EQ(log.texts(), std::vector<std::string>{mount("vm_volume_id", "string")});
    EXPECT_FALSE(smartx::VM_Volume_Setting().load(Value("not an object")));
}

TEST(VmSettings, DiskSettingsFromDisks) {
    const std::vector<VM_Disk> disks{disk_of("CD_ROM", "cd", 0), disk_of("DISK", "vol-a", 1),
                                     disk_of("DISK", "vol-b", 2)};
    EXPECT_EQ(smartx::VM_Disk_Settings(disks, true).dump(),
              body(R"({"mount_cd_roms": [{"boot": 0, "elf_image_id": "img1"}],
                       "mount_new_create_disks": [
                           {"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240,
                                          "name": "name-vol-a"}, "bus": "VIRTIO", "boot": 1},
                           {"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240,
                                          "name": "name-vol-b"}, "bus": "VIRTIO", "boot": 2}]})"));
    EXPECT_EQ(smartx::VM_Disk_Settings(disks, false).dump(),
              body(R"({"mount_cd_roms": [{"boot": 0, "elf_image_id": "img1"}],
                       "mount_disks": [{"vm_volume_id": "vol-a", "bus": "VIRTIO", "boot": 1},
                                       {"vm_volume_id": "vol-b", "bus": "VIRTIO", "boot": 2}]})"));

    // A disk of a type it does not know still takes a slot, with the defaults.
    EXPECT_EQ(
        smartx::VM_Disk_Settings({disk_of("FLOPPY", "vol-c", 3)}, true).dump(),
        body(
            R"({"mount_new_create_disks": [{"vm_volume": {"elf_storage_policy": "", "size": -1, "name": ""},
                                                   "bus": "", "boot": -1}]})"));
    EXPECT_EQ(smartx::VM_Disk_Settings({disk_of("", "vol-c", 3)}, false).dump(),
              body(R"({"mount_disks": [{"vm_volume_id": "", "bus": "", "boot": -1}]})"));
    EXPECT_EQ(smartx::VM_Disk_Settings().dump(), Object());
}

TEST(VmSettings, CreateBodyFromAVm) {
    VM vm = loaded_vm();
    ASSERT_EQ(vm.status, "RUNNING");
    vm.vm_disks.pop_back();  // keep the whole disk only
    const VM_Setting setting(vm, true);

    // Created stopped; a NIC sends its network, mirror, model and enabled flag only.
    const Object basic = setting.dump_basic_setting();
    EXPECT_EQ(basic, body(R"({"vcpu": 4, "status": "STOPPED", "firmware": "BIOS", "ha": false,
                       "vm_disks": {"mount_new_create_disks": [
                           {"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240,
                                          "name": "vm1-disk0"}, "bus": "VIRTIO", "boot": 1}]},
                       "memory": 8589934592, "cpu_cores": 2, "cpu_sockets": 2, "guest_os_type": "LINUX",
                       "folder_id": "f1", "description": "web", "name": "vm1", "host_id": "h1", "cluster_id": "c1",
                       "gpu_devices": [{"gpu_id": "g1", "amount": 1}],
                       "vm_placement_group": {"id_in": ["pg1"]},
                       "vm_nics": [{"connect_vlan_id": "vl1", "mirror": false, "model": "VIRTIO",
                                    "enabled": true}]})"));
    EXPECT_EQ(setting.dump(),
              edited(basic, put("vm_advanced_options",
                                body(R"({"windows_optimize": false, "video_type": "VGA",
                                         "cpu_model": "host_passthrough", "clock_offset": "UTC"})"))));

    // Without disks there is no "vm_disks" at all.
    vm.vm_disks.clear();
    EXPECT_EQ(VM_Setting(vm, true).dump_basic_setting().count("vm_disks"), 0u);
}

TEST(VmSettings, UnsetValuesAreLeftOut) {
    smartx::GPU_Setting gpu;
    ASSERT_TRUE(gpu.load(body(R"({"gpu_id": "g", "amount": -3})")));
    smartx::GPU_Device device;
    device.id = "g9";
    smartx::VM_NIC_Setting nic;
    ASSERT_TRUE(
        nic.load(body(R"({"subnet_mask": "m", "gateway": "g", "ip_address": "i", "nic_id": "n",
                                  "connect_vlan_id": "v", "mirror": true, "model": "E1000",
                                  "enabled": false, "mac_address": "a"})")));
    smartx::VM_NIC_Setting cleared = nic;
    cleared.clear();
    smartx::VM_Update_Setting update;
    update.ha = true;
    update.name = "renamed";
    update.vcpu = 8;
    update.memory = 0;
    smartx::VM_Disk_Update_Setting disk_update;
    disk_update.vm_disk_id = "d1";
    disk_update.vm_disk_serial = "serial";  // never sent
    disk_update.bus = "SCSI";
    disk_update.elf_image_id = "img";
    smartx::VM_Disk_Update_Setting disk_update_cleared = disk_update;
    disk_update_cleared.clear();
    smartx::Mount_CD_ROM_Setting cd;
    cd.content_library_image_id = "lib";
    smartx::Mount_New_VM_Volume_Setting volume;
    volume.path = "/p";
    smartx::VM_Snapshot_Setting snap;
    snap.name = "s";
    snap.vm_id = "v";

    const struct {
        const char* name;
        Object dumped;
        const char* expected;
    } rows[] = {
        // "status" "" is sent; -1 vcpu and empty texts are not.
        {"default create", VM_Setting().dump(),
         R"({"status": "", "firmware": "", "ha": true, "memory": -1, "cpu_cores": -1, "cpu_sockets": -1,
             "name": "", "cluster_id": "", "vm_nics": [], "vm_advanced_options": {"windows_optimize": true}})"},
        {"gpu without an amount", gpu.dump(), R"({"gpu_id": "g"})"},
        {"gpu from a device", smartx::GPU_Setting(device).dump(),
         R"({"gpu_id": "g9", "amount": 1})"},
        {"nic", nic.dump(),
         R"({"subnet_mask": "m", "gateway": "g", "ip_address": "i", "connect_vlan_id": "v",
             "mirror": true, "model": "E1000", "enabled": false, "mac_address": "a"})"},
        {"cleared nic", cleared.dump(),
         R"({"connect_vlan_id": "", "mirror": false, "enabled": true})"},
        {"update", update.dump(),
         R"({"ha": true, "name": "renamed", "vcpu": 8, "memory": 0,
             "vm_advanced_options": {"windows_optimize": true}})"},
        {"disk update", disk_update.dump(),
         R"({"vm_disk_id": "d1", "bus": "SCSI", "elf_image_id": "img"})"},
        {"cleared disk update", disk_update_cleared.dump(), R"({"vm_disk_id": ""})"},
        {"cd-rom", cd.dump(), R"({"boot": -1, "content_library_image_id": "lib"})"},
        {"new volume", volume.dump(),
         R"({"elf_storage_policy": "", "size": -1, "name": "", "path": "/p"})"},
        {"snapshot", snap.dump(), R"({"name": "s", "vm_id": "v"})"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.dumped, body(row.expected)) << row.name;
    EXPECT_TRUE(cleared.nic_id.empty());
    EXPECT_TRUE(disk_update_cleared.vm_disk_serial.empty());
}

TEST(VmSettings, SnapshotConsistencyWithoutANameIsRefused) {
    smartx::VM_Snapshot_Setting snap;
    Log_Capture log;
    EXPECT_TRUE(snap.set_consistent_type(smartx::Consistent_Type::FILE_SYSTEM_CONSISTENT));
    EXPECT_EQ(snap.dump().at("consistent_type"), Value("FILE_SYSTEM_CONSISTENT"));
    for (auto type : {smartx::Consistent_Type::UNKNOWN, static_cast<smartx::Consistent_Type>(7)})
        EXPECT_FALSE(snap.set_consistent_type(type));
    EXPECT_EQ(snap.consistent_type, "FILE_SYSTEM_CONSISTENT");
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Consistent type 0 has no name to send.\n",
                                                     "Consistent type 7 has no name to send.\n"}));
    EXPECT_EQ(log.lines().at(0).priority, LM_ERROR);
}

TEST(VmSettings, StoredSettingsLoadBack) {
    smartx::VM_Volume volume;
    ASSERT_TRUE(volume.load(volume_body()));
    volume.sharing = true;
    const smartx::VM_Volume_Setting volume_setting(volume);
    EXPECT_EQ(volume_setting.dump(),
              body(R"({"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240,
                       "sharing": true, "cluster_id": "c1", "name": "vm1-disk0"})"));
    expect_dump_is_body<smartx::VM_Volume_Setting>(volume_setting.dump());

    // Not read back: the status, and the placement groups sent as a filter.
    const VM_Setting original(loaded_vm(), true);
    VM_Setting loaded;
    ASSERT_TRUE(loaded.load(original.dump()));
    EXPECT_EQ(loaded.status, "");
    EXPECT_TRUE(loaded.vm_placement_group.empty());
    loaded.status = original.status;
    loaded.vm_placement_group = original.vm_placement_group;
    EXPECT_EQ(loaded.dump(), original.dump());

    // The same for a setting that mounts existing volumes and a CD-ROM.
    VM_Setting from_body;
    ASSERT_TRUE(from_body.load(setting_body()));
    VM_Setting round;
    ASSERT_TRUE(round.load(from_body.dump()));
    round.vm_placement_group = from_body.vm_placement_group;
    EXPECT_EQ(round.dump(), from_body.dump());
    EXPECT_EQ(round.dump().at("vm_disks"), setting_body().at("vm_disks"));
}
