#include "smartx/common/vm.h"

namespace smartx {

const Key2_Value_T<VM_Status> VM_STATUS_TABLE[] = {
    key2_value_row("DELETED", VM_Status::DELETED),
    key2_value_row("RUNNING", VM_Status::RUNNING),
    key2_value_row("STOPPED", VM_Status::STOPPED),
    key2_value_row("SUSPENDED", VM_Status::SUSPENDED),
    key2_value_row("UNKNOWN", VM_Status::UNKNOWN),
    key2_value_end(VM_Status::NONE),
};

const Key2_Value_T<Video_Type> VIDEO_TYPE_TABLE[] = {
    key2_value_row("CIRRUS", Video_Type::CIRRUS), key2_value_row("QXL", Video_Type::QXL),
    key2_value_row("VGA", Video_Type::VGA),       key2_value_row("VIRTIO", Video_Type::VIRTIO),
    key2_value_end(Video_Type::UNKNOWN),
};

const Key2_Value_T<Clock_Offset> CLOCK_OFFSET_TABLE[] = {
    key2_value_row("LOCALTIME", Clock_Offset::LOCALTIME),
    key2_value_row("UTC", Clock_Offset::UTC),
    key2_value_end(Clock_Offset::UNKNOWN),
};

VM_Status vm_status_name_to_type(const char* name) {
    return get_value_by_key(VM_STATUS_TABLE, name);
}
const char* vm_status_type_to_name(VM_Status type) {
    return get_key_by_value(VM_STATUS_TABLE, type);
}
Video_Type video_type_name_to_type(const char* name) {
    return get_value_by_key(VIDEO_TYPE_TABLE, name);
}
const char* video_type_type_to_name(Video_Type type) {
    return get_key_by_value(VIDEO_TYPE_TABLE, type);
}
Clock_Offset clock_offset_name_to_type(const char* name) {
    return get_value_by_key(CLOCK_OFFSET_TABLE, name);
}
const char* clock_offset_type_to_name(Clock_Offset type) {
    return get_key_by_value(CLOCK_OFFSET_TABLE, type);
}

bool CPU::load(const json_spirit::Value& value) {
    return try_load("Failed to load CPU from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("cores", cores, true)
            ("sockets", sockets, true);
        // clang-format on
    });
}

json_spirit::Object CPU::dump() const {
    json_spirit::Object obj;
    json_spirit::insert(obj)("cores", cores)("sockets", sockets);
    return obj;
}

bool VM::load(const json_spirit::Object& obj) {
    return try_load(
               "Failed to parse VM, details: %s.\n",
               [&] {
                   // clang-format off
                   json_spirit::extract_or_throw(obj)
                       ("clock_offset", clock_offset, true)
                       ("cpu_model", cpu_model, true)
                       ("description", description, true)
                       ("firmware", firmware, true)
                       ("guest_cpu_model", guest_cpu_model, false)
                       ("guest_os_type", guest_os_type, false)
                       ("ha", ha, true)
                       ("hostname", hostname, false)
                       ("id", id, true)
                       ("in_recycle_bin", in_recycle_bin, true)
                       ("local_created_at", local_created_at, false)
                       ("local_id", local_id, true)
                       ("memory", memory, true)
                       ("name", name, true)
                       ("node_ip", node_ip, true)
                       ("status", status, true)
                       ("vcpu", vcpu, true)
                       ("video_type", video_type, false)
                       ("vm_tools_status", vm_tools_status, true)
                       ("vm_tools_version", vm_tools_version, false)
                       ("vm_usage", vm_usage, false)
                       ("win_opt", win_opt, true);
                   // clang-format on
               }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, false),
                     "Failed to parse cluster in VM.\n") &&
           load_part(load_item_in_object(obj, "cpu", cpu, false), "Failed to parse cpu in VM.\n") &&
           load_part(load_item_in_object(obj, "folder", folder, false),
                     "Failed to parse folder in VM.\n") &&
           load_part(
               load_items_or_ids_in_object(obj, "gpu_devices", "local_id", gpu_devices, false),
               "Failed to parse GPU devices in VM.\n") &&
           load_part(load_item_in_object(obj, "host", host, false),
                     "Failed to parse host in VM.\n") &&
           load_part(load_items_in_object(obj, "labels", labels, false),
                     "Failed to parse labels in VM.\n") &&
           load_part(load_items_in_object(obj, "snapshots", snapshots, false),
                     "Failed to parse snapshots in VM.\n") &&
           load_part(
               load_items_or_ids_in_object(obj, "usb_devices", "local_id", usb_devices, false),
               "Failed to parse USB devices in VM.\n") &&
           load_part(load_items_or_ids_in_object(obj, "vm_disks", "bus", vm_disks, false),
                     "Failed to parse VM disks in VM.\n") &&
           load_part(load_items_or_ids_in_object(obj, "vm_nics", "local_id", vm_nics, false),
                     "Failed to parse VM nics in VM.\n") &&
           load_part(load_items_in_object(obj, "vm_placement_group", vm_placement_group, false),
                     "Failed to parse VM placement group in VM.\n");
}

json_spirit::Object VM::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("clock_offset", clock_offset)
        ("cluster", cluster.dump())
        ("cpu", cpu.dump())
        ("cpu_model", cpu_model)
        ("description", description)
        ("firmware", firmware)
        ("folder", folder.dump())
        ("gpu_devices", dump_items(gpu_devices))
        ("guest_cpu_model", guest_cpu_model)
        ("guest_os_type", guest_os_type)
        ("ha", ha)
        ("host", host.dump())
        ("hostname", hostname)
        ("id", id)
        ("in_recycle_bin", in_recycle_bin)
        ("labels", dump_items(labels))
        ("local_id", local_id)
        ("memory", memory)
        ("name", name)
        ("node_ip", node_ip)
        ("snapshots", dump_items(snapshots))
        ("status", status)
        ("usb_devices", dump_items(usb_devices))
        ("vcpu", vcpu)
        ("video_type", video_type)
        ("vm_disks", dump_items(vm_disks))
        ("vm_nics", dump_items(vm_nics))
        ("vm_placement_group", dump_items(vm_placement_group))
        ("vm_tools_status", vm_tools_status)
        ("vm_tools_version", vm_tools_version)
        ("vm_usage", vm_usage)
        ("win_opt", win_opt);
    // clang-format on
    return obj;
}

VM_Status VM::get_status() const {
    return vm_status_name_to_type(status.c_str());
}

VM_Firmware VM::get_firmware() const {
    return vm_firmware_name_to_type(firmware.c_str());
}

}  // namespace smartx
