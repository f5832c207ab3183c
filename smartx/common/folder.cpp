#include "smartx/common/folder.h"

namespace smartx {

bool Folder::load(const json_spirit::Object& obj) {
    return try_load("Failed to load folder, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("id", id, true)
                            ("local_id", local_id, false)
                            ("name", name, true)
                            ("vm_num", vm_num, false);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, false),
                     "Failed to load cluster in folder.\n") &&
           load_part(load_items_in_object(obj, "vms", vms, false),
                     "Failed to load VMs in folder.\n");
}

}  // namespace smartx
