#ifndef SMARTX_COMMON_HISTORY_H
#define SMARTX_COMMON_HISTORY_H

#include <cstdint>
#include <string>

#include "host/json_spirit/value.h"

namespace smartx {

// One VM's line in a job's result.
struct VM_History {
    std::string uuid;
    std::string name;
    std::string host;
    std::string cluster_id;
    std::string start_time;
    std::string end_time;
    uint64_t set_size = 0;
    uint64_t size = 0;
    uint64_t storaged_size = 0;
    bool succeed = false;

    json_spirit::Object dump() const;
};

}  // namespace smartx

#endif
