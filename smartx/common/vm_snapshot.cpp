#include "smartx/common/vm_snapshot.h"

namespace smartx {

namespace {
// Unlike the generic list loaders, an element that is not an object fails:
// a snapshot missing one of its disks must not pass for a whole one.
bool load_snapshot_disks(const json_spirit::Object& obj,
                         std::vector<VM_Snapshot::Snapshot_VM_Disk>& disks) {
    const json_spirit::Array* arr = json_spirit::object_get_array(obj, "vm_disks");
    if (arr == nullptr)
        return true;
    for (const json_spirit::Value& element : *arr) {
        if (element.type() != json_spirit::obj_type)
            return false;
        VM_Snapshot::Snapshot_VM_Disk disk;
        if (!disk.load(element.get_obj()))
            return false;
        disks.push_back(std::move(disk));
    }
    return true;
}
}  // namespace

bool VM_Snapshot::Snapshot_VM_Disk::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse snapshot VM disk, details %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("boot", boot, true)
            ("bus", bus, true)
            ("disabled", disabled, false)
            ("disk_name", disk_name, false)
            ("index", index, true)
            ("key", key, false)
            ("path", path, true)
            ("size", size, true)
            ("snapshot_local_id", snapshot_local_id, true)
            ("storage_policy_uuid", storage_policy_uuid, true)
            ("type", type, true)
            ("vm_volume_local_id", vm_volume_local_id, true)
            ("vm_volume_snapshot_uuid", vm_volume_snapshot_uuid, false)
            ("vm_volume_template_uuid", vm_volume_template_uuid, false);
        // clang-format on
    });
}

json_spirit::Object VM_Snapshot::Snapshot_VM_Disk::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("boot", boot)
        ("bus", bus)
        ("disabled", disabled)
        ("disk_name", disk_name)
        ("index", index)
        ("key", key)
        ("path", path)
        ("size", size)
        ("snapshot_local_id", snapshot_local_id)
        ("storage_policy_uuid", storage_policy_uuid)
        ("type", type)
        ("vm_volume_local_id", vm_volume_local_id)
        ("vm_volume_snapshot_uuid", vm_volume_snapshot_uuid)
        ("vm_volume_template_uuid", vm_volume_template_uuid)
        ("vm_volume_storage_policy", vm_volume_storage_policy);
    // clang-format on
    return obj;
}

VM_Disk_Type VM_Snapshot::Snapshot_VM_Disk::get_type() const {
    return vm_disk_type_name_to_type(type.c_str());
}

bool VM_Snapshot::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM snapshot, details %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("id", id, true)
                            ("local_id", local_id, true)
                            ("name", name, true)
                            ("consistent_type", consistent_type, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, true),
                     "Failed to parse cluster in VM snapshot.\n") &&
           load_part(load_items_in_object(obj, "labels", labels, false),
                     "Failed to parse labels in VM snapshot.\n") &&
           load_part(load_item_in_object(obj, "snapshot_group", snapshot_group, false),
                     "Failed to parse snapshot group in VM snapshot.\n") &&
           load_part(load_item_in_object(obj, "vm", vm, false),
                     "Failed to parse VM in VM snapshot.\n") &&
           load_part(load_snapshot_disks(obj, vm_disks),
                     "Failed to parse VM disks in VM snapshot.\n");
}

}  // namespace smartx
