#include "smartx/common/task.h"

namespace smartx {

bool Task::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse task, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("error_code", error_code, false)
                            ("error_message", error_message, false)
                            ("id", id, true)
                            ("status", status, true)
                            ("type", type, false);
                        // clang-format on
                        progress = json_spirit::object_get_num_or_throw(obj, "progress");
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, false),
                     "Failed to parse cluster in task.\n") &&
           load_part(load_item_in_object(obj, "user", user, false),
                     "Failed to parse user in task.\n");
}

}  // namespace smartx
