#ifndef SMARTX_COMMON_DATA_STORAGE_H
#define SMARTX_COMMON_DATA_STORAGE_H

#include <cstdint>
#include <string>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"

namespace smartx {

// A data store exported over iSCSI, NFS or NVMe.
struct Data_Storage {
    enum class Type : int32_t { UNKNOWN = 0, ISCSI = 1, NFS = 2, NVMe = 3 };

    static const Key2_Value_T<Type> TYPE_TABLE[];

    Item_Identity cluster;
    std::string description;
    bool external_use = false;
    std::string id;
    bool internal = false;
    Item_Identity iscsi_target;
    std::string local_id;
    std::string name;
    Item_Identity nfs_export;
    Item_Identity nvmf_subsystem;
    int replica_num = -1;
    bool thin_provision = false;
    std::string type;

    bool load(const json_spirit::Object& obj);

    Type get_type() const;
};

}  // namespace smartx

#endif
