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
// Loads each record of the fixture; returns them for spot checks.
template <class R, class Load>
std::vector<R> load_all(const std::string& file, Load load) {
    SCOPED_TRACE(file);
    const Array records = fixture_records(file);
    EXPECT_FALSE(records.empty());
    std::vector<R> out;
    Log_Capture log;
    for (size_t i = 0; i < records.size(); ++i) {
        R r;
        EXPECT_TRUE(load(r, records[i])) << "record " << i;
        out.push_back(std::move(r));
    }
    EXPECT_EQ(log.texts(), std::vector<std::string>());
    return out;
}

template <class R>
std::vector<R> load_all(const std::string& file) {
    return load_all<R>(file, [](R& r, const Value& v) {
        return v.type() == json_spirit::obj_type && r.load(v.get_obj());
    });
}
}  // namespace

TEST(CloudTowerAnswers, InventoryRecordsLoad) {
    load_all<smartx::Organization>("organizations.json");
    load_all<smartx::Datacenter>("datacenters.json");
    load_all<smartx::Folder>("vm_folders.json");
    for (const smartx::Cluster& c : load_all<smartx::Cluster>("clusters.json")) {
        EXPECT_NE(c.get_type(), smartx::Cluster::Type::UNKNOWN) << c.type;
        EXPECT_NE(c.get_connect_state(), smartx::Cluster::Connect_State::UNKNOWN)
            << c.connect_state;
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
    const auto policies = load_all<smartx::Storage_Policy>(
        "elf_storage_policies.json",
        [](smartx::Storage_Policy& p, const Value& v) { return p.load(v); });
    for (const smartx::Storage_Policy& p : policies)
        EXPECT_NE(smartx::elf_storage_policy_name_to_type(p.elf_storage_policy().c_str()),
                  smartx::ELF_Storage_Policy::UNKNOWN)
            << p.replica_num;
    for (const smartx::VDS& vds : load_all<smartx::VDS>("vdses.json"))
        EXPECT_NE(vds.get_type(), smartx::VDS::Type::UNKNOWN) << vds.type;
    load_all<smartx::VLAN>("vlans.json");
    load_all<smartx::GPU_Device>("gpu_devices.json");
    load_all<smartx::USB_Device>("usb_devices.json");
}

TEST(CloudTowerAnswers, AccountRecordsLoad) {
    load_all<smartx::Label>("labels.json");
    load_all<smartx::Task>("tasks.json");
    load_all<smartx::Role>("user_roles.json");
    load_all<smartx::User>("users.json");
}

TEST(CloudTowerAnswers, VmRecordsLoad) {
    size_t outside_folders = 0;
    for (const smartx::VM& vm : load_all<smartx::VM>("vms.json")) {
        EXPECT_NE(vm.get_status(), smartx::VM_Status::NONE) << vm.status;
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
    for (const smartx::VM_Volume& volume : load_all<smartx::VM_Volume>("vm_volumes.json"))
        EXPECT_NE(volume.get_elf_storage_policy(), smartx::ELF_Storage_Policy::UNKNOWN)
            << volume.elf_storage_policy;
    for (const smartx::VM_Snapshot& snap : load_all<smartx::VM_Snapshot>("vm_snapshots.json")) {
        EXPECT_FALSE(snap.vm_disks.empty());
        for (const auto& disk : snap.vm_disks)
            EXPECT_NE(disk.get_type(), smartx::VM_Disk_Type::UNKNOWN) << disk.type;
    }
    load_all<smartx::VM_Volume_Snapshot>("vm_volume_snapshots.json");
}
