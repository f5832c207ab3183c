#include "smartx/common/vm_disk.h"

namespace smartx {

bool VM_Disk::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM disk, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("boot", boot, true)
                            ("bus", bus, true)
                            ("device", device, false)
                            ("disabled", disabled, false)
                            ("id", id, true)
                            ("serial", serial, false)
                            ("type", type, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "elf_image", elf_image, false),
                     "Failed to parse ELF image in VM disk.\n") &&
           load_part(load_item_in_object(obj, "vm", vm, true),
                     "Failed to parse VM in VM disk.\n") &&
           load_part(load_item_or_id_in_object(obj, "vm_volume", "local_id", vm_volume, false),
                     "Failed to parse VM volume in VM disk.\n");
}

json_spirit::Object VM_Disk::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("boot", boot)
        ("bus", bus)
        ("device", device)
        ("disabled", disabled)
        ("elf_image", elf_image.dump())
        ("id", id)
        ("serial", serial)
        ("type", type)
        ("vm", vm.dump())
        ("vm_volume", vm_volume.dump());
    // clang-format on
    return obj;
}

Bus VM_Disk::get_bus() const {
    return bus_name_to_type(bus.c_str());
}

VM_Disk_Type VM_Disk::get_type() const {
    return vm_disk_type_name_to_type(type.c_str());
}

}  // namespace smartx
