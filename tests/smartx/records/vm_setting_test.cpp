// Request bodies of the VM mutations: what each dump writes and leaves out,
// what the from-record constructors take, and the loads of stored settings.
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm.h"

#include "vm_bodies.h"

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

Object volume_setting_body() {
    return body(
        R"({"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240, "sharing": false,
                    "cluster_id": "c1", "name": "vol"})");
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

const char* const VM_DISKS = "Failed to parse VM disks in VM setting.\n";
}  // namespace

TEST(VmSettings, FaultyStoredSettingsFailWithTheirMessages) {
    check_load_cases<VM_Setting>(
        setting_body(),
        {
            {drop("firmware"),
             {"Failed to parse VM setting, details: 'firmware' is expected as string.\n"}},
            {put("ha", "yes"),
             {"Failed to parse VM setting, details: 'ha' is expected as boolean.\n"}},
            {put("memory", HUGE_NUMBER),
             {"Failed to parse VM setting, details: 'memory' is expected as integer.\n"}},
            {drop("cpu_cores"),
             {"Failed to parse VM setting, details: 'cpu_cores' is expected as 32-bit integer.\n"}},
            {put("cpu_sockets", Value()),
             {"Failed to parse VM setting, details: 'cpu_sockets' is expected as 32-bit "
              "integer.\n"}},
            {drop("name"),
             {"Failed to parse VM setting, details: 'name' is expected as string.\n"}},
            {drop("cluster_id"),
             {"Failed to parse VM setting, details: 'cluster_id' is expected as string.\n"}},
            {drop("vcpu"), {}},
            {put("vcpu", HUGE_NUMBER), {}},
            {drop("host_id"), {}},
            {put("status", 5), {}},
            {drop("gpu_devices.0.gpu_id"),
             {"Failed to parse GPU setting, details: 'gpu_id' is expected as string.\n",
              "Failed to parse GPU devices in VM setting.\n"}},
            {drop("vm_placement_group.0.name"),
             {"Failed to load Item_Identity from JSON: 'name' is expected as string\n",
              "Failed to parse VM placement group in VM setting.\n"}},
            {put("vm_placement_group", body(R"({"id_in": ["pg1"]})")), {}},
            {drop("vm_nics.0.connect_vlan_id"),
             {"Failed to parse VM NIC setting, details: 'connect_vlan_id' is expected as string.\n",
              "Failed to parse VM NICs in VM setting.\n"}},
            {put("vm_nics.0.enabled", "yes"), {}},
            {drop("vm_disks.mount_cd_roms.0.boot"),
             {"Failed to parse mount CD ROM setting, details: 'boot' is expected as 32-bit "
              "integer.\n",
              VM_DISKS}},
            {drop("vm_disks.mount_disks.0.bus"),
             {"Failed to parse mount disk setting, details: 'bus' is expected as string.\n",
              VM_DISKS}},
            {put("vm_disks.mount_disks.0.vm_volume_id", Value()),
             {"Failed to parse mount disk setting, details: 'vm_volume_id' is expected as "
              "string.\n",
              VM_DISKS}},
            {drop("vm_disks.mount_new_create_disks.0.bus"),
             {"Failed to parse VM volume setting, details: 'bus' is expected as string.\n",
              VM_DISKS}},
            {drop("vm_disks.mount_new_create_disks.0.vm_volume"),
             {"Failed to parse VM volume in mount new create disk setting.\n", VM_DISKS}},
            {put("vm_disks.mount_new_create_disks.0.vm_volume.size", "10G"),
             {"Failed to parse VM volume setting, details: 'size' is expected as integer.\n",
              "Failed to parse VM volume in mount new create disk setting.\n", VM_DISKS}},
            {drop("vm_disks.mount_new_create_disks.0.vm_volume.elf_storage_policy"),
             {"Failed to parse VM volume setting, details: 'elf_storage_policy' is expected as "
              "string.\n",
              "Failed to parse VM volume in mount new create disk setting.\n", VM_DISKS}},
            {drop("vm_disks.mount_new_create_disks.0.vm_volume.path"), {}},
            {put("vm_disks", Value()), {}},
            {put("vm_disks.mount_disks", Value()), {}},
            {put("vm_advanced_options", Value()), {}},
            {put("vm_advanced_options.windows_optimize", "no"), {}},
        });

    check_load_cases<smartx::GPU_Setting>(
        body(R"({"gpu_id": "g1", "amount": 2})"),
        {
            {drop("gpu_id"),
             {"Failed to parse GPU setting, details: 'gpu_id' is expected as string.\n"}},
            {drop("amount"), {}},
            {put("amount", HUGE_NUMBER), {}},
        });

    check_load_cases<smartx::VM_Volume_Setting>(
        volume_setting_body(),
        {
            {drop("elf_storage_policy"),
             {"Failed to load VM_Volume_Setting from JSON: 'elf_storage_policy' is expected as "
              "string\n"}},
            {put("size", HUGE_NUMBER),
             {"Failed to load VM_Volume_Setting from JSON: 'size' is expected as integer\n"}},
            {put("sharing", Value()),
             {"Failed to load VM_Volume_Setting from JSON: 'sharing' is expected as boolean\n"}},
            {drop("cluster_id"),
             {"Failed to load VM_Volume_Setting from JSON: 'cluster_id' is expected as string\n"}},
            {drop("name"),
             {"Failed to load VM_Volume_Setting from JSON: 'name' is expected as string\n"}},
        },
        [](smartx::VM_Volume_Setting& s, const Object& o) { return s.load(Value(o)); });

    // A list that fails ends the disk settings' load without a message of its own.
    Log_Capture log;
    smartx::VM_Disk_Settings disks;
    EXPECT_FALSE(disks.load(body(R"({"mount_disks": [{"bus": "IDE", "boot": 1}]})")));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Failed to parse mount disk setting, details: "
                                                    "'vm_volume_id' is expected as string.\n"});
    EXPECT_FALSE(smartx::VM_Volume_Setting().load(Value("not an object")));
}

TEST(VmSettings, DiskSettingsFromDisks) {
    const std::vector<VM_Disk> disks{disk_of("CD_ROM", "cd", 0), disk_of("DISK", "vol-a", 1),
                                     disk_of("DISK", "vol-b", 2)};

    const smartx::VM_Disk_Settings created(disks, true);
    ASSERT_EQ(created.mount_cd_roms.size(), 1u);
    EXPECT_TRUE(created.mount_disks.empty());
    ASSERT_EQ(created.mount_new_create_disks.size(), 2u);
    EXPECT_EQ(created.dump(), body(R"({"mount_cd_roms": [{"boot": 0, "elf_image_id": "img1"}],
                       "mount_new_create_disks": [
                           {"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240,
                                          "name": "name-vol-a"}, "bus": "VIRTIO", "boot": 1},
                           {"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240,
                                          "name": "name-vol-b"}, "bus": "VIRTIO", "boot": 2}]})"));

    const smartx::VM_Disk_Settings mounted(disks, false);
    EXPECT_EQ(mounted.dump(), body(R"({"mount_cd_roms": [{"boot": 0, "elf_image_id": "img1"}],
                       "mount_disks": [{"vm_volume_id": "vol-a", "bus": "VIRTIO", "boot": 1},
                                       {"vm_volume_id": "vol-b", "bus": "VIRTIO", "boot": 2}]})"));

    // A disk of a type it does not know still takes a slot, with the defaults.
    const smartx::VM_Disk_Settings odd({disk_of("FLOPPY", "vol-c", 3)}, true);
    EXPECT_EQ(
        odd.dump(),
        body(
            R"({"mount_new_create_disks": [{"vm_volume": {"elf_storage_policy": "", "size": -1, "name": ""},
                                                   "bus": "", "boot": -1}]})"));
    const smartx::VM_Disk_Settings odd_mounted({disk_of("", "vol-c", 3)}, false);
    EXPECT_EQ(odd_mounted.dump(),
              body(R"({"mount_disks": [{"vm_volume_id": "", "bus": "", "boot": -1}]})"));

    EXPECT_TRUE(smartx::VM_Disk_Settings().empty());
    EXPECT_EQ(smartx::VM_Disk_Settings().dump(), Object());

    // Unset optional parts are left out of the entries.
    smartx::Mount_CD_ROM_Setting cd;
    EXPECT_EQ(cd.dump(), body(R"({"boot": -1})"));
    cd.content_library_image_id = "lib";
    EXPECT_EQ(keys_of(cd.dump()), (std::set<std::string>{"boot", "content_library_image_id"}));
    smartx::Mount_New_VM_Volume_Setting volume;
    volume.path = "/p";
    EXPECT_EQ(volume.dump(),
              body(R"({"elf_storage_policy": "", "size": -1, "name": "", "path": "/p"})"));
}

TEST(VmSettings, CreateBodyFromAVm) {
    VM vm = loaded_vm();
    ASSERT_EQ(vm.status, "RUNNING");
    vm.vm_disks.pop_back();  // keep the whole disk only
    const VM_Setting setting(vm, true);
    EXPECT_EQ(setting.status, "STOPPED");

    // A NIC built from a NIC sends its network, mirror, model and enabled flag only.
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

    const Object full = setting.dump();
    EXPECT_EQ(
        full.at("vm_advanced_options"),
        Value(body(
            R"({"windows_optimize": false, "video_type": "VGA", "cpu_model": "host_passthrough",
                             "clock_offset": "UTC"})")));
    Object without_advanced = full;
    without_advanced.erase("vm_advanced_options");
    EXPECT_EQ(without_advanced, basic);

    // Without disks there is no "vm_disks" at all.
    vm.vm_disks.clear();
    EXPECT_EQ(VM_Setting(vm, true).dump_basic_setting().count("vm_disks"), 0u);
}

TEST(VmSettings, UnsetValuesAreLeftOut) {
    // A default create body: "status" "" is sent, -1 vcpu and empty texts are not.
    EXPECT_EQ(keys_of(VM_Setting().dump_basic_setting()),
              (std::set<std::string>{"status", "firmware", "ha", "memory", "cpu_cores",
                                     "cpu_sockets", "name", "cluster_id", "vm_nics"}));
    EXPECT_EQ(VM_Setting().dump_basic_setting().at("status"), Value(""));
    EXPECT_EQ(VM_Setting().dump_basic_setting().at("vm_nics"), Value(Array()));
    EXPECT_EQ(VM_Setting().dump().at("vm_advanced_options"),
              Value(body(R"({"windows_optimize": true})")));

    smartx::GPU_Setting gpu;
    ASSERT_TRUE(gpu.load(body(R"({"gpu_id": "g"})")));
    EXPECT_EQ(gpu.dump(), body(R"({"gpu_id": "g"})"));
    for (int amount : {0, -3}) {
        gpu.amount = amount;
        EXPECT_EQ(gpu.dump(), body(R"({"gpu_id": "g"})")) << amount;
    }
    smartx::GPU_Device device;
    device.id = "g9";
    EXPECT_EQ(smartx::GPU_Setting(device).dump(), body(R"({"gpu_id": "g9", "amount": 1})"));

    smartx::VM_NIC_Setting nic;
    ASSERT_TRUE(
        nic.load(body(R"({"subnet_mask": "m", "gateway": "g", "ip_address": "i", "nic_id": "n",
                                  "connect_vlan_id": "v", "mirror": true, "model": "E1000", "enabled": false,
                                  "mac_address": "a"})")));
    EXPECT_EQ(nic.nic_id, "n");
    EXPECT_EQ(
        nic.dump(),
        body(R"({"subnet_mask": "m", "gateway": "g", "ip_address": "i", "connect_vlan_id": "v",
                                   "mirror": true, "model": "E1000", "enabled": false, "mac_address": "a"})"));
    nic.clear();
    EXPECT_EQ(nic.dump(), body(R"({"connect_vlan_id": "", "mirror": false, "enabled": true})"));
    EXPECT_TRUE(nic.nic_id.empty());

    smartx::VM_Update_Setting update;
    update.ha = true;
    update.name = "renamed";
    EXPECT_EQ(
        update.dump(),
        body(
            R"({"ha": true, "name": "renamed", "vm_advanced_options": {"windows_optimize": true}})"));
    update.vcpu = 8;
    update.memory = 0;
    update.description = "d";
    EXPECT_EQ(keys_of(update.dump_basic_setting()),
              (std::set<std::string>{"ha", "name", "vcpu", "memory", "description"}));

    smartx::VM_Disk_Update_Setting disk_update;
    disk_update.vm_disk_id = "d1";
    disk_update.vm_disk_serial = "serial";
    EXPECT_EQ(disk_update.dump(), body(R"({"vm_disk_id": "d1"})"));
    disk_update.bus = "SCSI";
    disk_update.elf_image_id = "img";
    EXPECT_EQ(disk_update.dump(),
              body(R"({"vm_disk_id": "d1", "bus": "SCSI", "elf_image_id": "img"})"));
    disk_update.clear();
    EXPECT_EQ(disk_update.dump(), body(R"({"vm_disk_id": ""})"));
    EXPECT_TRUE(disk_update.vm_disk_serial.empty());

    smartx::VM_Snapshot_Setting snap;
    snap.name = "s";
    snap.vm_id = "v";
    EXPECT_EQ(snap.dump(), body(R"({"name": "s", "vm_id": "v"})"));

    smartx::VM_Volume_Snapshot_Setting volume_snap;
    EXPECT_EQ(volume_snap.dump(), body(R"({"volume_id": "", "description": "", "name": ""})"));
}

TEST(VmSettings, SnapshotConsistencyWithoutANameIsRefused) {
    smartx::VM_Snapshot_Setting snap;
    Log_Capture log;
    EXPECT_TRUE(snap.set_consistent_type(smartx::Consistent_Type::FILE_SYSTEM_CONSISTENT));
    EXPECT_EQ(snap.dump().at("consistent_type"), Value("FILE_SYSTEM_CONSISTENT"));
    EXPECT_TRUE(log.lines().empty());

    for (auto type : {smartx::Consistent_Type::UNKNOWN, static_cast<smartx::Consistent_Type>(7)}) {
        log.clear();
        EXPECT_FALSE(snap.set_consistent_type(type));
        EXPECT_EQ(snap.consistent_type, "FILE_SYSTEM_CONSISTENT");
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].priority, LM_ERROR);
    }
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Consistent type 7 has no name to send.\n"});
}

TEST(VmSettings, VolumeSettingFromAVolumeLoadsBack) {
    smartx::VM_Volume volume;
    ASSERT_TRUE(volume.load(volume_body()));
    volume.sharing = true;
    const smartx::VM_Volume_Setting setting(volume);
    EXPECT_EQ(
        setting.dump(),
        body(
            R"({"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 10737418240, "sharing": true,
                       "cluster_id": "c1", "name": "vm1-disk0"})"));
    smartx::VM_Volume_Setting again;
    ASSERT_TRUE(again.load(Value(setting.dump())));
    EXPECT_EQ(again.dump(), setting.dump());
}

TEST(VmSettings, StoredCreateSettingLoadsBack) {
    const VM_Setting original(loaded_vm(), true);
    const Object stored = original.dump();

    VM_Setting loaded;
    ASSERT_TRUE(loaded.load(stored));
    // Not read back: the status, and the placement groups sent as a filter.
    EXPECT_EQ(loaded.status, "");
    EXPECT_TRUE(loaded.vm_placement_group.empty());
    loaded.status = original.status;
    loaded.vm_placement_group = original.vm_placement_group;
    EXPECT_EQ(loaded.dump(), stored);
    EXPECT_EQ(loaded.vm_nics.at(0).connect_vlan_id, "vl1");
    EXPECT_FALSE(loaded.vm_advanced_options.windows_optimize);
    EXPECT_EQ(loaded.vm_disks.mount_new_create_disks.size(), 2u);

    // The same for a setting that mounts existing volumes and a CD-ROM.
    VM_Setting from_body;
    ASSERT_TRUE(from_body.load(setting_body()));
    VM_Setting round;
    ASSERT_TRUE(round.load(from_body.dump()));
    round.vm_placement_group = from_body.vm_placement_group;
    EXPECT_EQ(round.dump(), from_body.dump());
    EXPECT_EQ(round.vm_disks.mount_cd_roms.at(0).elf_image_id, "img");
    EXPECT_EQ(round.vm_disks.mount_disks.at(0).vm_volume_id, "vol1");
}
