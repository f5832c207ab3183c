#ifndef SMARTX_COMMON_VM_VOLUME_SNAPSHOT_H
#define SMARTX_COMMON_VM_VOLUME_SNAPSHOT_H

#include <cstdint>
#include <string>

#include "smartx/common/item.h"

namespace smartx {

struct VM_Volume_Snapshot {
    Item_Identity cluster;
    std::string create_time;  // "createAt"
    std::string description;
    std::string elf_storage_policy;
    std::string id;
    std::string local_id;
    std::string name;
    int64_t size = -1;
    std::string type;
    Item_Identity vm_volume;
    bool volume_sharing = false;
    double volume_size = -1.0;  // an integer on the wire
    std::string zbs_snapshot_uuid;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
