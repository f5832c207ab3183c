#ifndef SMARTX_COMMON_HOST_H
#define SMARTX_COMMON_HOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"

namespace smartx {

// A cluster node.
struct Host {
    enum class State : int32_t { UNKNOWN = 0, IDLE = 1, IN_USE = 2, REMOVING = 3 };

    enum class Status : int32_t {
        UNKNOWN = 0,
        CONNECTED_ERROR = 1,
        CONNECTED_HEALTHY = 2,
        CONNECTED_WARNING = 3,
        CONNECTING = 4,
        INITIALIZING = 5,
        SESSION_EXPIRED = 6
    };

    static const Key2_Value_T<State> STATE_TABLE[];
    static const Key2_Value_T<Status> STATUS_TABLE[];

    std::string chunk_id;
    Item_Identity cluster;
    int cpu_cores = -1;    // "total_cpu_cores"
    int64_t cpu_hz = -1;   // "total_cpu_hz"
    int cpu_sockets = -1;  // "total_cpu_sockets"
    double used_cpu_hz = -1.0;
    std::string management_ip;
    int64_t memory_bytes = -1;  // "total_memory_bytes"
    int64_t used_memory_bytes = -1;
    // The storage-network address the ZBS data addresses are built from.
    std::string data_ip;
    std::string id;
    std::vector<Item_Label> labels;
    std::string local_id;
    std::string name;
    std::string serial;
    std::string state;
    std::string status;
    std::vector<Item_Identity> vms;

    bool load(const json_spirit::Object& obj);

    // Unlisted names give UNKNOWN.
    State get_state() const;
    Status get_status() const;
};

}  // namespace smartx

#endif
