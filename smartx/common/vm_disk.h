#ifndef SMARTX_COMMON_VM_DISK_H
#define SMARTX_COMMON_VM_DISK_H

#include <string>

#include "smartx/common/defs.h"
#include "smartx/common/item.h"
#include "smartx/common/vm_volume.h"

namespace smartx {

// A bus slot of a VM: a CD-ROM image or a VM volume.
struct VM_Disk {
    int boot = -1;  // boot order
    std::string bus;
    std::string device;
    bool disabled = false;
    Item_Identity elf_image;  // the CD-ROM image
    std::string id;
    std::string serial;
    std::string type;
    Item_Identity vm;
    // The whole volume, or only its id when CloudTower sent a bare reference.
    VM_Volume vm_volume;

    bool load(const json_spirit::Object& obj);
    // Every field, always; the volume nested whole.
    json_spirit::Object dump() const;

    Bus get_bus() const;
    VM_Disk_Type get_type() const;
};

}  // namespace smartx

#endif
