// Request bodies of the VM mutations. Dumps leave out what is unset ("",
// -1, empty lists) only where CloudTower must not see a placeholder; the
// create-VM setting also travels whole inside a backup and loads back.
#ifndef SMARTX_COMMON_VM_SETTING_H
#define SMARTX_COMMON_VM_SETTING_H

#include <cstdint>
#include <string>
#include <vector>

#include "smartx/common/defs.h"
#include "smartx/common/item.h"

namespace smartx {

struct GPU_Device;
struct VM;
struct VM_Disk;
struct VM_NIC;
struct VM_Volume;

struct GPU_Setting {
    int amount = -1;
    std::string gpu_id;

    GPU_Setting() = default;
    explicit GPU_Setting(const GPU_Device& device);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
};

struct VM_NIC_Setting {
    std::string subnet_mask;
    std::string gateway;
    std::string ip_address;
    std::string nic_id;  // never sent
    std::string connect_vlan_id;
    bool mirror = false;
    std::string model;
    bool enabled = true;
    std::string mac_address;

    VM_NIC_Setting() = default;
    explicit VM_NIC_Setting(const VM_NIC& nic);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
    void clear();
};

struct VM_Advanced_Setting {
    std::string video_type;
    bool windows_optimize = true;
    std::string cpu_model;
    std::string clock_offset;

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
};

struct Mount_CD_ROM_Setting {
    int boot = -1;
    std::string content_library_image_id;
    std::string elf_image_id;

    Mount_CD_ROM_Setting() = default;
    // Filled only from a CD-ROM disk.
    explicit Mount_CD_ROM_Setting(const VM_Disk& disk);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
};

// Mounts an existing volume.
struct Mount_Disk_Setting {
    std::string vm_volume_id;
    std::string bus;
    int boot = -1;

    Mount_Disk_Setting() = default;
    // Filled only from a volume disk.
    explicit Mount_Disk_Setting(const VM_Disk& disk);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
};

// The volume a create-and-mount entry creates.
struct Mount_New_VM_Volume_Setting {
    std::string elf_storage_policy;
    std::string path;
    int64_t size = -1;
    std::string name;

    Mount_New_VM_Volume_Setting() = default;
    explicit Mount_New_VM_Volume_Setting(const VM_Volume& volume);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
};

// Creates a volume and mounts it.
struct Mount_New_Create_Disk_Setting {
    Mount_New_VM_Volume_Setting vm_volume;
    std::string bus;
    int boot = -1;

    Mount_New_Create_Disk_Setting() = default;
    // Filled only from a volume disk.
    explicit Mount_New_Create_Disk_Setting(const VM_Disk& disk);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
};

struct VM_Disk_Settings {
    std::vector<Mount_CD_ROM_Setting> mount_cd_roms;
    std::vector<Mount_Disk_Setting> mount_disks;
    std::vector<Mount_New_Create_Disk_Setting> mount_new_create_disks;

    VM_Disk_Settings() = default;
    // CD-ROMs are mounted again; every other disk gets a new volume when
    // `create_new`, else its own volume is mounted.
    VM_Disk_Settings(const std::vector<VM_Disk>& disks, bool create_new);

    bool load(const json_spirit::Object& obj);
    json_spirit::Object dump() const;
    bool empty() const {
        return mount_cd_roms.empty() && mount_disks.empty() && mount_new_create_disks.empty();
    }
};

// Create-VM request.
struct VM_Setting {
    std::vector<GPU_Setting> gpu_devices;
    int vcpu = -1;
    std::string status;
    std::string firmware;
    bool ha = true;
    std::vector<Item_Identity> vm_placement_group;
    std::vector<VM_NIC_Setting> vm_nics;
    VM_Disk_Settings vm_disks;
    int64_t memory = -1;
    int cpu_cores = -1;
    int cpu_sockets = -1;
    std::string guest_os_type;
    std::string folder_id;
    std::string description;
    std::string name;
    std::string host_id;
    std::string cluster_id;
    VM_Advanced_Setting vm_advanced_options;

    VM_Setting() = default;
    // A new VM is always created stopped, whatever the source's status.
    VM_Setting(const VM& vm, bool create_new);

    // "status" is not read, and the dumped placement-group filter is not a list.
    bool load(const json_spirit::Object& obj);
    // The create body; the advanced options go in a second request.
    json_spirit::Object dump_basic_setting() const;
    json_spirit::Object dump() const;
};

// Update-VM request.
struct VM_Update_Setting {
    int vcpu = -1;
    bool ha = false;
    int64_t memory = -1;
    int cpu_cores = -1;
    int cpu_sockets = -1;
    std::string description;
    std::string name;
    VM_Advanced_Setting vm_advanced_options;

    json_spirit::Object dump_basic_setting() const;
    json_spirit::Object dump() const;
};

// Update one disk.
struct VM_Disk_Update_Setting {
    std::string content_library_image_id;
    std::string elf_image_id;
    std::string vm_volume_id;
    std::string vm_disk_id;
    // Never sent: finds the disk when vm_disk_id is empty.
    std::string vm_disk_serial;
    std::string bus;

    json_spirit::Object dump() const;
    void clear();
};

// Create-volume request.
struct VM_Volume_Setting {
    std::string elf_storage_policy;
    int64_t size = -1;
    bool sharing = false;
    std::string cluster_id;
    std::string name;

    VM_Volume_Setting() = default;
    explicit VM_Volume_Setting(const VM_Volume& volume);

    bool load(const json_spirit::Value& value);
    json_spirit::Object dump() const;
};

// Create-VM-snapshot request.
struct VM_Snapshot_Setting {
    std::string name;
    std::string vm_id;
    std::string consistent_type;

    // The name of `type`; a value without a name is refused (logged, false)
    // and leaves consistent_type as it was.
    bool set_consistent_type(Consistent_Type type);

    json_spirit::Object dump() const;
};

// Create-volume-snapshot request.
struct VM_Volume_Snapshot_Setting {
    std::string volume_id;
    std::string description;
    std::string name;

    json_spirit::Object dump() const;
};

}  // namespace smartx

#endif
