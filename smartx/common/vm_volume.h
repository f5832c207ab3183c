#ifndef SMARTX_COMMON_VM_VOLUME_H
#define SMARTX_COMMON_VM_VOLUME_H

#include <cstdint>
#include <string>
#include <vector>

#include "smartx/common/defs.h"
#include "smartx/common/item.h"

namespace smartx {

// A VM volume: the ZBS-backed block device a VM disk mounts.
struct VM_Volume {
    Item_Identity cluster;
    std::string description;
    std::string elf_storage_policy;
    std::string id;
    // When CloudTower made it; empty when not told. Read for the restore
    // clean-up only: the dump leaves it out.
    std::string local_created_at;
    std::string local_id;
    Item_Identity lun;
    bool mounting = true;
    std::string name;
    std::string path;
    bool sharing = false;
    int64_t size = -1;
    std::string type;
    std::vector<Item_Label> vm_disks;  // ids only

    bool load(const json_spirit::Object& obj);
    // Every field but local_created_at, always: it is part of the VM
    // description a backup set stores.
    json_spirit::Object dump() const;

    ELF_Storage_Policy get_elf_storage_policy() const;
    VM_Volume_Type get_type() const;
};

}  // namespace smartx

#endif
