#ifndef SMARTX_COMMON_STORAGE_POLICY_H
#define SMARTX_COMMON_STORAGE_POLICY_H

#include <string>

#include "host/json_spirit/value.h"

namespace smartx {

// A named replica and provisioning policy.
struct Storage_Policy {
    std::string id;
    std::string local_id;
    std::string name;
    int replica_num = -1;
    bool thin_provision = true;

    // From a value holding an object; every key required.
    bool load(const json_spirit::Value& value);
    json_spirit::Object dump() const;

    // "REPLICA_<n>_THIN_PROVISION" or "_THICK_PROVISION"; "" for a replica
    // count outside 1 to 3, which names no policy.
    std::string elf_storage_policy() const;
};

}  // namespace smartx

#endif
