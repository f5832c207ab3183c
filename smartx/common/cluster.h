#ifndef SMARTX_COMMON_CLUSTER_H
#define SMARTX_COMMON_CLUSTER_H

#include <cstdint>
#include <string>
#include <vector>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"

namespace smartx {

struct Cluster {
    enum class Connect_State : int32_t {
        UNKNOWN = 0,
        CONNECTED = 1,
        DISCONNECTED = 2,
        INITIALIZING = 3,
        REMOVING = 4
    };

    // Stored and converted only; nothing is decided on it.
    enum class Software_Edition : int32_t {
        UNKNOWN = 0,
        COMMUNITY = 1,
        ENTERPRISE = 2,
        ESSENTIAL = 3,
        STANDARD = 4,
        TRIAL = 5
    };

    enum class Type : int32_t { UNKNOWN = 0, BLUESHARK = 1, SMTX_OS = 2, SMTX_ZBS = 3 };

    static const Key2_Value_T<Connect_State> CONNECT_STATE_TABLE[];
    static const Key2_Value_T<Software_Edition> SOFTWARE_EDITION_TABLE[];
    static const Key2_Value_T<Type> TYPE_TABLE[];

    std::string connect_state;
    std::vector<Item_Identity> datacenters;
    int host_num = -1;
    std::vector<Host_Identity> hosts;
    std::string id;
    std::string ip;
    std::vector<Item_Label> labels;
    std::string local_id;
    std::string name;
    std::string software_edition;
    int total_cpu_cores = -1;
    int64_t total_cpu_hz = -1;
    int total_cpu_sockets = -1;
    int64_t total_data_capacity = -1;
    int64_t total_memory_bytes = -1;
    std::string type;
    double used_cpu_hz = -1.0;
    int64_t used_data_space = -1;
    int64_t used_memory_bytes = -1;
    int64_t valid_data_space = -1;
    std::vector<Item_Identity> vm_folders;
    int vm_num = -1;
    std::vector<Item_Identity> vm_templates;
    std::vector<Item_Identity> vms;

    bool load(const json_spirit::Object& obj);

    // Unlisted names give UNKNOWN.
    Connect_State get_connect_state() const;
    Software_Edition get_software_edition() const;
    Type get_type() const;
};

}  // namespace smartx

#endif
