// Every record loads every answer the CloudTower simulator serves for its kind,
// and every name in them is one the record knows.
#include <functional>

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
using namespace smartx;

namespace {
// Loads one record and checks what it holds.
template <class R>
std::function<bool(const Object&)> loads(std::function<bool(const R&)> known = nullptr) {
    return [known](const Object& o) {
        R r;
        return r.load(o) && (!known || known(r));
    };
}

bool names(const char* name, const std::string& text) {
    return name != nullptr && text == name;
}
}  // namespace

TEST(CloudTowerAnswers, EveryRecordLoadsWithKnownNames) {
    size_t outside_folders = 0;
    const struct {
        const char* file;
        std::function<bool(const Object&)> load;
    } rows[] = {
        {"organizations.json", loads<Organization>()},
        {"datacenters.json", loads<Datacenter>()},
        {"vm_folders.json", loads<Folder>()},
        {"clusters.json", loads<Cluster>([](const Cluster& c) {
             return c.get_type() != Cluster::Type::UNKNOWN &&
                    c.get_connect_state() != Cluster::Connect_State::UNKNOWN &&
                    c.get_software_edition() != Cluster::Software_Edition::UNKNOWN;
         })},
        {"hosts.json", loads<Host>([](const Host& h) {
             return h.get_state() != Host::State::UNKNOWN &&
                    h.get_status() != Host::Status::UNKNOWN && !h.cluster.empty();
         })},
        {"data_stores.json", loads<Data_Storage>([](const Data_Storage& d) {
             return d.get_type() != Data_Storage::Type::UNKNOWN;
         })},
        {"iscsi_luns.json", loads<ISCSI_LUN>()},
        {"iscsi_lun_snapshots.json", loads<ISCSI_LUN_Snapshot>()},
        {"elf_storage_policies.json", loads<Storage_Policy>([](const Storage_Policy& p) {
             return elf_storage_policy_name_to_type(p.elf_storage_policy().c_str()) !=
                    ELF_Storage_Policy::UNKNOWN;
         })},
        {"vdses.json", loads<VDS>([](const VDS& v) { return v.get_type() != VDS::Type::UNKNOWN; })},
        {"vlans.json", loads<VLAN>([](const VLAN& v) {
             return v.get_type() != VLAN::Type::UNKNOWN &&
                    v.get_mode_type() != VLAN::Mode_Type::UNKNOWN;
         })},
        {"gpu_devices.json", loads<GPU_Device>()},
        {"usb_devices.json", loads<USB_Device>()},
        {"labels.json", loads<Label>()},
        {"tasks.json", loads<Task>()},
        {"user_roles.json",
         loads<Role>([](const Role& r) { return r.get_preset() != Role::Preset::UNKNOWN; })},
        {"users.json",
         loads<User>([](const User& u) { return u.get_role() != User::Role_Type::UNKNOWN; })},
        {"vms.json", loads<VM>([&outside_folders](const VM& vm) {
             outside_folders += vm.folder.id.empty();
             // Names convert both ways.
             return names(vm_status_type_to_name(vm.get_status()), vm.status) &&
                    names(video_type_type_to_name(video_type_name_to_type(vm.video_type.c_str())),
                          vm.video_type) &&
                    names(clock_offset_type_to_name(
                              clock_offset_name_to_type(vm.clock_offset.c_str())),
                          vm.clock_offset) &&
                    names(vm_firmware_type_to_name(vm.get_firmware()), vm.firmware) &&
                    !vm.vm_disks.empty();
         })},
        {"vm_disks.json", loads<VM_Disk>([](const VM_Disk& d) {
             return names(vm_disk_type_type_to_name(d.get_type()), d.type) &&
                    names(bus_type_to_name(d.get_bus()), d.bus);
         })},
        {"vm_nics.json", loads<VM_NIC>([](const VM_NIC& n) {
             return names(vm_nic_model_type_to_name(vm_nic_model_name_to_type(n.model.c_str())),
                          n.model);
         })},
        {"vm_volumes.json", loads<VM_Volume>([](const VM_Volume& v) {
             return names(elf_storage_policy_type_to_name(v.get_elf_storage_policy()),
                          v.elf_storage_policy) &&
                    names(vm_volume_type_type_to_name(v.get_type()), v.type);
         })},
        {"vm_snapshots.json", loads<VM_Snapshot>([](const VM_Snapshot& s) {
             for (const auto& disk : s.vm_disks)
                 if (disk.get_type() == VM_Disk_Type::UNKNOWN)
                     return false;
             return !s.vm_disks.empty() &&
                    consistent_type_name_to_type(s.consistent_type.c_str()) !=
                        Consistent_Type::UNKNOWN;
         })},
        {"vm_volume_snapshots.json", loads<VM_Volume_Snapshot>()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const Array records = fixture_records(row.file);
        EXPECT_FALSE(records.empty());
        Log_Capture log;
        for (size_t i = 0; i < records.size(); ++i)
            EXPECT_TRUE(records[i].type() == json_spirit::obj_type &&
                        row.load(records[i].get_obj()))
                << "record " << i << ": " << json_spirit::write(records[i]);
        EXPECT_EQ(log.texts(), std::vector<std::string>());
    }
    // "folder": null is how CloudTower answers for a VM outside any folder.
    EXPECT_GT(outside_folders, 0u);
}
