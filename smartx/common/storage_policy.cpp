#include "smartx/common/storage_policy.h"

#include "smartx/common/item.h"

namespace smartx {

bool Storage_Policy::load(const json_spirit::Value& value) {
    return try_load("Failed to load Storage_Policy from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("id", id, true)
            ("local_id", local_id, true)
            ("name", name, true)
            ("replica_num", replica_num, true)
            ("thin_provision", thin_provision, true);
        // clang-format on
    });
}

json_spirit::Object Storage_Policy::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("id", id)
        ("local_id", local_id)
        ("name", name)
        ("replica_num", replica_num)
        ("thin_provision", thin_provision);
    // clang-format on
    return obj;
}

std::string Storage_Policy::elf_storage_policy() const {
    if (replica_num < 1 || replica_num > 3)
        return std::string();
    return "REPLICA_" + std::to_string(replica_num) +
           (thin_provision ? "_THIN_PROVISION" : "_THICK_PROVISION");
}

}  // namespace smartx
