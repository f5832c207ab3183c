#ifndef SMARTX_COMMON_VM_SNAPSHOT_H
#define SMARTX_COMMON_VM_SNAPSHOT_H

#include <cstdint>
#include <string>
#include <vector>

#include "smartx/common/defs.h"
#include "smartx/common/item.h"

namespace smartx {

struct VM_Snapshot {
    // One disk of the snapshot: the ZBS snapshot to read and the volume it
    // belongs to. Stored with each backup piece and loaded back on restore.
    struct Snapshot_VM_Disk {
        int boot = 0;
        std::string bus;
        bool disabled = false;
        std::string disk_name;
        int index = 0;
        int key = 0;
        std::string path;  // ZBS path of the snapshot
        int64_t size = 0;
        std::string snapshot_local_id;
        std::string storage_policy_uuid;
        std::string elf_storage_policy;  // neither loaded nor dumped
        std::string type;
        std::string vm_volume_local_id;
        std::string vm_volume_snapshot_uuid;
        std::string vm_volume_template_uuid;
        // Set by the snapshot query from the policy of storage_policy_uuid;
        // dumped, never loaded.
        std::string vm_volume_storage_policy;

        bool load(const json_spirit::Object& obj);
        json_spirit::Object dump() const;

        VM_Disk_Type get_type() const;
    };

    Item_Identity cluster;
    std::string consistent_type;
    std::string id;
    std::vector<Item_Label> labels;
    std::string local_id;
    std::string name;
    Item_Identity snapshot_group;
    Item_Identity vm;
    std::vector<Snapshot_VM_Disk> vm_disks;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
