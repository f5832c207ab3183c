#include "smartx/common/vm_volume.h"

namespace smartx {

bool VM_Volume::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM volume, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("description", description, false)
                            ("elf_storage_policy", elf_storage_policy, true)
                            ("id", id, true)
                            ("local_created_at", local_created_at, false)
                            ("local_id", local_id, true)
                            ("mounting", mounting, true)
                            ("name", name, true)
                            ("path", path, true)
                            ("sharing", sharing, true)
                            ("size", size, true)
                            ("type", type, false);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, true),
                     "Failed to parse cluster in VM volume.\n") &&
           load_part(load_item_in_object(obj, "lun", lun, false),
                     "Failed to parse lun in VM volume.\n") &&
           load_part(load_items_in_object(obj, "vm_disks", vm_disks, false),
                     "Failed to parse VM disks in VM volume.\n");
}

json_spirit::Object VM_Volume::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("cluster", cluster.dump())
        ("description", description)
        ("elf_storage_policy", elf_storage_policy)
        ("id", id)
        ("local_id", local_id)
        ("lun", lun.dump())
        ("mounting", mounting)
        ("name", name)
        ("path", path)
        ("sharing", sharing)
        ("size", size)
        ("type", type)
        ("vm_disks", dump_items(vm_disks));
    // clang-format on
    return obj;
}

ELF_Storage_Policy VM_Volume::get_elf_storage_policy() const {
    return elf_storage_policy_name_to_type(elf_storage_policy.c_str());
}

VM_Volume_Type VM_Volume::get_type() const {
    return vm_volume_type_name_to_type(type.c_str());
}

}  // namespace smartx
