// Every record loads every answer the CloudTower simulator serves for its kind.
#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/host.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/label.h"
#include "smartx/common/organization.h"
#include "smartx/common/role.h"
#include "smartx/common/storage_policy.h"
#include "smartx/common/task.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/user.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"

#include "record_test_support.h"

using namespace records_test;

namespace {
// Loads each record of the fixture silently; returns them for spot checks.
template <class R>
std::vector<R> load_all(const std::string& file) {
    SCOPED_TRACE(file);
    const Array records = fixture_records(file);
    EXPECT_FALSE(records.empty());
    std::vector<R> out(records.size());
    Log_Capture log;
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_TRUE(records[i].type() == json_spirit::obj_type && out[i].load(records[i].get_obj()))
            << "record " << i;
    EXPECT_EQ(log.texts(), std::vector<std::string>());
    return out;
}
}  // namespace

// Every name CloudTower sends is one the record knows.
TEST(CloudTowerAnswers, InventoryRecordsLoad) {
    load_all<smartx::Organization>("organizations.json");
    load_all<smartx::Datacenter>("datacenters.json");
    load_all<smartx::Folder>("vm_folders.json");
    for (const smartx::Cluster& c : load_all<smartx::Cluster>("clusters.json")) {
        EXPECT_NE(c.get_type(), smartx::Cluster::Type::UNKNOWN) << c.type;
        EXPECT_NE(c.get_connect_state(), smartx::Cluster::Connect_State::UNKNOWN)
            << c.connect_state;
        EXPECT_NE(c.get_software_edition(), smartx::Cluster::Software_Edition::UNKNOWN)
            << c.software_edition;
    }
    for (const smartx::Host& h : load_all<smartx::Host>("hosts.json")) {
        EXPECT_NE(h.get_state(), smartx::Host::State::UNKNOWN) << h.state;
        EXPECT_NE(h.get_status(), smartx::Host::Status::UNKNOWN) << h.status;
        EXPECT_FALSE(h.cluster.empty());
    }
}

TEST(CloudTowerAnswers, StorageAndNetworkRecordsLoad) {
    for (const smartx::Data_Storage& ds : load_all<smartx::Data_Storage>("data_stores.json"))
        EXPECT_NE(ds.get_type(), smartx::Data_Storage::Type::UNKNOWN) << ds.type;
    load_all<smartx::ISCSI_LUN>("iscsi_luns.json");
    load_all<smartx::ISCSI_LUN_Snapshot>("iscsi_lun_snapshots.json");
    for (const smartx::Storage_Policy& p :
         load_all<smartx::Storage_Policy>("elf_storage_policies.json"))
        EXPECT_NE(smartx::elf_storage_policy_name_to_type(p.elf_storage_policy().c_str()),
                  smartx::ELF_Storage_Policy::UNKNOWN)
            << p.replica_num;
    for (const smartx::VDS& vds : load_all<smartx::VDS>("vdses.json"))
        EXPECT_NE(vds.get_type(), smartx::VDS::Type::UNKNOWN) << vds.type;
    for (const smartx::VLAN& vlan : load_all<smartx::VLAN>("vlans.json")) {
        EXPECT_NE(vlan.get_type(), smartx::VLAN::Type::UNKNOWN) << vlan.type;
        EXPECT_NE(vlan.get_mode_type(), smartx::VLAN::Mode_Type::UNKNOWN) << vlan.mode_type;
    }
    load_all<smartx::GPU_Device>("gpu_devices.json");
    load_all<smartx::USB_Device>("usb_devices.json");
}

TEST(CloudTowerAnswers, AccountRecordsLoad) {
    load_all<smartx::Label>("labels.json");
    load_all<smartx::Task>("tasks.json");
    for (const smartx::Role& role : load_all<smartx::Role>("user_roles.json"))
        EXPECT_NE(role.get_preset(), smartx::Role::Preset::UNKNOWN) << role.preset;
    for (const smartx::User& user : load_all<smartx::User>("users.json"))
        EXPECT_NE(user.get_role(), smartx::User::Role_Type::UNKNOWN) << user.role;
}

TEST(CloudTowerAnswers, VmRecordsLoad) {
    size_t outside_folders = 0;
    for (const smartx::VM& vm : load_all<smartx::VM>("vms.json")) {
        // Names convert both ways.
        EXPECT_STREQ(smartx::vm_status_type_to_name(vm.get_status()), vm.status.c_str());
        EXPECT_STREQ(
            smartx::video_type_type_to_name(smartx::video_type_name_to_type(vm.video_type.c_str())),
            vm.video_type.c_str());
        EXPECT_STREQ(smartx::clock_offset_type_to_name(
                         smartx::clock_offset_name_to_type(vm.clock_offset.c_str())),
                     vm.clock_offset.c_str());
        EXPECT_NE(vm.get_firmware(), smartx::VM_Firmware::UNKNOWN) << vm.firmware;
        EXPECT_FALSE(vm.vm_disks.empty());
        outside_folders += vm.folder.id.empty();
    }
    // "folder": null is how CloudTower answers for a VM outside any folder.
    EXPECT_GT(outside_folders, 0u);
    for (const smartx::VM_Disk& disk : load_all<smartx::VM_Disk>("vm_disks.json")) {
        EXPECT_NE(disk.get_type(), smartx::VM_Disk_Type::UNKNOWN) << disk.type;
        EXPECT_NE(disk.get_bus(), smartx::Bus::UNKNOWN) << disk.bus;
    }
    load_all<smartx::VM_NIC>("vm_nics.json");
    for (const smartx::VM_Volume& volume : load_all<smartx::VM_Volume>("vm_volumes.json")) {
        EXPECT_NE(volume.get_elf_storage_policy(), smartx::ELF_Storage_Policy::UNKNOWN)
            << volume.elf_storage_policy;
        EXPECT_NE(volume.get_type(), smartx::VM_Volume_Type::UNKNOWN) << volume.type;
    }
    for (const smartx::VM_Snapshot& snap : load_all<smartx::VM_Snapshot>("vm_snapshots.json")) {
        EXPECT_FALSE(snap.vm_disks.empty());
        for (const auto& disk : snap.vm_disks)
            EXPECT_NE(disk.get_type(), smartx::VM_Disk_Type::UNKNOWN) << disk.type;
    }
    load_all<smartx::VM_Volume_Snapshot>("vm_volume_snapshots.json");
}
