#include "smartx/common/history.h"

#include "json_spirit/json_spirit_helper.h"

namespace smartx {

json_spirit::Object VM_History::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("uuid", uuid)
        ("name", name)
        ("host", host)
        ("cluster_id", cluster_id)
        ("start_time", start_time)
        ("end_time", end_time)
        ("set_size", set_size)
        ("size", size)
        ("storaged_size", storaged_size)
        ("succeed", succeed);
    // clang-format on
    return obj;
}

}  // namespace smartx
