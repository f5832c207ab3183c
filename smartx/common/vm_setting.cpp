#include "smartx/common/vm_setting.h"

#include "ace/Log_Msg.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_volume.h"

namespace smartx {

using json_spirit::skip_empty;
using json_spirit::skip_if;

namespace {
// The whole setting is the basic one plus the advanced options.
json_spirit::Object with_advanced_options(json_spirit::Object basic,
                                          const VM_Advanced_Setting& advanced) {
    json_spirit::insert(basic)("vm_advanced_options", advanced.dump());
    return basic;
}
}  // namespace

// ---- GPU ----

GPU_Setting::GPU_Setting(const GPU_Device& device) : amount(1), gpu_id(device.id) {}

bool GPU_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse GPU setting, details: %s.\n", [&] {
        json_spirit::extract_or_throw(obj)("amount", amount, false)("gpu_id", gpu_id, true);
    });
}

json_spirit::Object GPU_Setting::dump() const {
    json_spirit::Object obj;
    json_spirit::insert(obj)("gpu_id", gpu_id)("amount", amount | skip_if(amount <= 0));
    return obj;
}

// ---- NIC ----

VM_NIC_Setting::VM_NIC_Setting(const VM_NIC& nic)
    : connect_vlan_id(nic.vlan.id), mirror(nic.mirror), model(nic.model), enabled(nic.enabled) {}

bool VM_NIC_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM NIC setting, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("subnet_mask", subnet_mask, false)
            ("gateway", gateway, false)
            ("ip_address", ip_address, false)
            ("nic_id", nic_id, false)
            ("connect_vlan_id", connect_vlan_id, true)
            ("mirror", mirror, false)
            ("model", model, false)
            ("enabled", enabled, false)
            ("mac_address", mac_address, false);
        // clang-format on
    });
}

json_spirit::Object VM_NIC_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("subnet_mask", skip_empty(subnet_mask))
        ("gateway", skip_empty(gateway))
        ("ip_address", skip_empty(ip_address))
        ("connect_vlan_id", connect_vlan_id)
        ("mirror", mirror)
        ("model", skip_empty(model))
        ("enabled", enabled)
        ("mac_address", skip_empty(mac_address));
    // clang-format on
    return obj;
}

void VM_NIC_Setting::clear() {
    *this = VM_NIC_Setting();
}

// ---- advanced options ----

bool VM_Advanced_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM advanced setting, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("video_type", video_type, false)
            ("windows_optimize", windows_optimize, false)
            ("cpu_model", cpu_model, false)
            ("clock_offset", clock_offset, false);
        // clang-format on
    });
}

json_spirit::Object VM_Advanced_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("windows_optimize", windows_optimize)
        ("video_type", skip_empty(video_type))
        ("cpu_model", skip_empty(cpu_model))
        ("clock_offset", skip_empty(clock_offset));
    // clang-format on
    return obj;
}

// ---- disks ----

Mount_CD_ROM_Setting::Mount_CD_ROM_Setting(const VM_Disk& disk) {
    if (disk.get_type() != VM_Disk_Type::CD_ROM)
        return;
    boot = disk.boot;
    elf_image_id = disk.elf_image.id;
}

bool Mount_CD_ROM_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse mount CD ROM setting, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("boot", boot, true)
            ("content_library_image_id", content_library_image_id, false)
            ("elf_image_id", elf_image_id, false);
        // clang-format on
    });
}

json_spirit::Object Mount_CD_ROM_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("boot", boot)
        ("content_library_image_id", skip_empty(content_library_image_id))
        ("elf_image_id", skip_empty(elf_image_id));
    // clang-format on
    return obj;
}

Mount_Disk_Setting::Mount_Disk_Setting(const VM_Disk& disk) {
    if (disk.get_type() != VM_Disk_Type::DISK)
        return;
    vm_volume_id = disk.vm_volume.id;
    bus = disk.bus;
    boot = disk.boot;
}

bool Mount_Disk_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse mount disk setting, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("vm_volume_id", vm_volume_id, true)
            ("bus", bus, true)
            ("boot", boot, true);
        // clang-format on
    });
}

json_spirit::Object Mount_Disk_Setting::dump() const {
    json_spirit::Object obj;
    json_spirit::insert(obj)("vm_volume_id", vm_volume_id)("bus", bus)("boot", boot);
    return obj;
}

Mount_New_VM_Volume_Setting::Mount_New_VM_Volume_Setting(const VM_Volume& volume)
    : elf_storage_policy(volume.elf_storage_policy), size(volume.size), name(volume.name) {}

bool Mount_New_VM_Volume_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM volume setting, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("elf_storage_policy", elf_storage_policy, true)
            ("path", path, false)
            ("size", size, true)
            ("name", name, true);
        // clang-format on
    });
}

json_spirit::Object Mount_New_VM_Volume_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("elf_storage_policy", elf_storage_policy)
        ("size", size)
        ("name", name)
        ("path", skip_empty(path));
    // clang-format on
    return obj;
}

Mount_New_Create_Disk_Setting::Mount_New_Create_Disk_Setting(const VM_Disk& disk) {
    if (disk.get_type() != VM_Disk_Type::DISK)
        return;
    vm_volume = Mount_New_VM_Volume_Setting(disk.vm_volume);
    bus = disk.bus;
    boot = disk.boot;
}

bool Mount_New_Create_Disk_Setting::load(const json_spirit::Object& obj) {
    return try_load(
               "Failed to parse VM volume setting, details: %s.\n",
               [&] { json_spirit::extract_or_throw(obj)("bus", bus, true)("boot", boot, true); }) &&
           load_part(load_item_in_object(obj, "vm_volume", vm_volume, true),
                     "Failed to parse VM volume in mount new create disk setting.\n");
}

json_spirit::Object Mount_New_Create_Disk_Setting::dump() const {
    json_spirit::Object obj;
    json_spirit::insert(obj)("vm_volume", vm_volume.dump())("bus", bus)("boot", boot);
    return obj;
}

VM_Disk_Settings::VM_Disk_Settings(const std::vector<VM_Disk>& disks, bool create_new) {
    for (const VM_Disk& disk : disks) {
        if (disk.get_type() == VM_Disk_Type::CD_ROM)
            mount_cd_roms.emplace_back(disk);
        else if (create_new)
            mount_new_create_disks.emplace_back(disk);
        else
            mount_disks.emplace_back(disk);
    }
}

bool VM_Disk_Settings::load(const json_spirit::Object& obj) {
    return load_items_in_object(obj, "mount_cd_roms", mount_cd_roms, false) &&
           load_items_in_object(obj, "mount_disks", mount_disks, false) &&
           load_items_in_object(obj, "mount_new_create_disks", mount_new_create_disks, false);
}

json_spirit::Object VM_Disk_Settings::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("mount_cd_roms", dump_items(mount_cd_roms) | skip_if(mount_cd_roms.empty()))
        ("mount_disks", dump_items(mount_disks) | skip_if(mount_disks.empty()))
        ("mount_new_create_disks",
         dump_items(mount_new_create_disks) | skip_if(mount_new_create_disks.empty()));
    // clang-format on
    return obj;
}

// ---- VM ----

VM_Setting::VM_Setting(const VM& vm, bool create_new)
    : vcpu(vm.vcpu),
      status(vm_status_type_to_name(VM_Status::STOPPED)),  // a listed status: never null
      firmware(vm.firmware),
      ha(vm.ha),
      vm_placement_group(vm.vm_placement_group),
      vm_disks(vm.vm_disks, create_new),
      memory(vm.memory),
      cpu_cores(vm.cpu.cores),
      cpu_sockets(vm.cpu.sockets),
      guest_os_type(vm.guest_os_type),
      folder_id(vm.folder.id),
      description(vm.description),
      name(vm.name),
      host_id(vm.host.id),
      cluster_id(vm.cluster.id) {
    gpu_devices.reserve(vm.gpu_devices.size());
    for (const GPU_Device& device : vm.gpu_devices)
        gpu_devices.emplace_back(device);
    vm_nics.reserve(vm.vm_nics.size());
    for (const VM_NIC& nic : vm.vm_nics)
        vm_nics.emplace_back(nic);
    vm_advanced_options.clock_offset = vm.clock_offset;
    vm_advanced_options.cpu_model = vm.cpu_model;
    vm_advanced_options.video_type = vm.video_type;
    vm_advanced_options.windows_optimize = vm.win_opt;
}

bool VM_Setting::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM setting, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("vcpu", vcpu, false)
                            ("firmware", firmware, true)
                            ("ha", ha, true)
                            ("memory", memory, true)
                            ("cpu_cores", cpu_cores, true)
                            ("cpu_sockets", cpu_sockets, true)
                            ("guest_os_type", guest_os_type, false)
                            ("folder_id", folder_id, false)
                            ("description", description, false)
                            ("name", name, true)
                            ("host_id", host_id, false)
                            ("cluster_id", cluster_id, true);
                        // clang-format on
                    }) &&
           load_part(load_items_in_object(obj, "gpu_devices", gpu_devices, false),
                     "Failed to parse GPU devices in VM setting.\n") &&
           load_part(load_items_in_object(obj, "vm_placement_group", vm_placement_group, false),
                     "Failed to parse VM placement group in VM setting.\n") &&
           load_part(load_items_in_object(obj, "vm_nics", vm_nics, false),
                     "Failed to parse VM NICs in VM setting.\n") &&
           load_part(load_item_in_object(obj, "vm_disks", vm_disks, false),
                     "Failed to parse VM disks in VM setting.\n") &&
           load_part(load_item_in_object(obj, "vm_advanced_options", vm_advanced_options, false),
                     "Failed to parse VM advanced options in VM setting.\n");
}

json_spirit::Object VM_Setting::dump_basic_setting() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("vcpu", vcpu | skip_if(vcpu == -1))
        ("status", status)
        ("firmware", firmware)
        ("ha", ha)
        ("vm_disks", vm_disks.dump() | skip_if(vm_disks.empty()))
        ("memory", memory)
        ("cpu_cores", cpu_cores)
        ("cpu_sockets", cpu_sockets)
        ("guest_os_type", skip_empty(guest_os_type))
        ("folder_id", skip_empty(folder_id))
        ("description", skip_empty(description))
        ("name", name)
        ("host_id", skip_empty(host_id))
        ("cluster_id", cluster_id)
        ("gpu_devices", dump_items(gpu_devices) | skip_if(gpu_devices.empty()))
        ("vm_placement_group",
         json_spirit::Object_Maker()("id_in", dump_item_ids(vm_placement_group)) |
             skip_if(vm_placement_group.empty()))
        ("vm_nics", dump_items(vm_nics));
    // clang-format on
    return obj;
}

json_spirit::Object VM_Setting::dump() const {
    return with_advanced_options(dump_basic_setting(), vm_advanced_options);
}

json_spirit::Object VM_Update_Setting::dump_basic_setting() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("ha", ha)
        ("vcpu", vcpu | skip_if(vcpu == -1))
        ("memory", memory | skip_if(memory == -1))
        ("cpu_cores", cpu_cores | skip_if(cpu_cores == -1))
        ("cpu_sockets", cpu_sockets | skip_if(cpu_sockets == -1))
        ("description", skip_empty(description))
        ("name", skip_empty(name));
    // clang-format on
    return obj;
}

json_spirit::Object VM_Update_Setting::dump() const {
    return with_advanced_options(dump_basic_setting(), vm_advanced_options);
}

json_spirit::Object VM_Disk_Update_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("vm_disk_id", vm_disk_id)
        ("content_library_image_id", skip_empty(content_library_image_id))
        ("elf_image_id", skip_empty(elf_image_id))
        ("vm_volume_id", skip_empty(vm_volume_id))
        ("bus", skip_empty(bus));
    // clang-format on
    return obj;
}

void VM_Disk_Update_Setting::clear() {
    *this = VM_Disk_Update_Setting();
}

// ---- volumes and snapshots ----

VM_Volume_Setting::VM_Volume_Setting(const VM_Volume& volume)
    : elf_storage_policy(volume.elf_storage_policy),
      size(volume.size),
      sharing(volume.sharing),
      cluster_id(volume.cluster.id),
      name(volume.name) {}

bool VM_Volume_Setting::load(const json_spirit::Value& value) {
    return try_load("Failed to load VM_Volume_Setting from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("elf_storage_policy", elf_storage_policy, true)
            ("size", size, true)
            ("sharing", sharing, true)
            ("cluster_id", cluster_id, true)
            ("name", name, true);
        // clang-format on
    });
}

json_spirit::Object VM_Volume_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("elf_storage_policy", elf_storage_policy)
        ("size", size)
        ("sharing", sharing)
        ("cluster_id", cluster_id)
        ("name", name);
    // clang-format on
    return obj;
}

bool VM_Snapshot_Setting::set_consistent_type(Consistent_Type type) {
    const char* type_name = consistent_type_type_to_name(type);
    if (type_name == nullptr) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Consistent type %d has no name to send.\n"),
                   static_cast<int>(type)));
        return false;
    }
    consistent_type = type_name;
    return true;
}

json_spirit::Object VM_Snapshot_Setting::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("name", name)
        ("vm_id", vm_id)
        ("consistent_type", skip_empty(consistent_type));
    // clang-format on
    return obj;
}

json_spirit::Object VM_Volume_Snapshot_Setting::dump() const {
    json_spirit::Object obj;
    json_spirit::insert(obj)("volume_id", volume_id)("description", description)("name", name);
    return obj;
}

}  // namespace smartx
