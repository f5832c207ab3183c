#include "smartx/common/datacenter.h"

namespace smartx {

bool Datacenter::load(const json_spirit::Object& obj) {
    return try_load("Failed to load datacenter, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("cluster_num", cluster_num, false)
                            ("id", id, true)
                            ("name", name, true);
                        // clang-format on
                    }) &&
           load_part(load_items_in_object(obj, "clusters", clusters, false),
                     "Failed to load clusters in datacenter.\n") &&
           load_part(load_items_in_object(obj, "labels", labels, false),
                     "Failed to load labels in datacenter.\n") &&
           load_part(load_item_in_object(obj, "organization", organization, true),
                     "Failed to load organization in datacenter.\n");
}

}  // namespace smartx
