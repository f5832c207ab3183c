#ifndef SMARTX_COMMON_ISCSI_LUN_H
#define SMARTX_COMMON_ISCSI_LUN_H

#include <cstdint>
#include <string>

#include "smartx/common/item.h"

namespace smartx {

// A LUN of an iSCSI target, with the ZBS volume behind it.
struct ISCSI_LUN {
    double assigned_size = -1.0;
    std::string entity_async_status;  // never filled from CloudTower
    std::string id;
    Item_Identity iscsi_target;
    std::string local_id;
    int lun_id = -1;
    std::string name;
    int replica_num = -1;
    double shared_size = -1.0;
    bool thin_provision = true;
    double unique_size = -1.0;
    std::string zbs_volume_id;

    bool load(const json_spirit::Object& obj);
    // Back to the construction defaults.
    void clear();
};

struct ISCSI_LUN_Snapshot {
    std::string id;
    Item_Identity iscsi_lun;
    Item_Identity iscsi_target;
    std::string local_created_at;
    std::string local_id;
    std::string name;
    int64_t unique_size = 0;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
