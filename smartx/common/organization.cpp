#include "smartx/common/organization.h"

namespace smartx {

bool Organization::load(const json_spirit::Object& obj) {
    return try_load(
               "Failed to load organization, details: %s.\n",
               [&] { json_spirit::extract_or_throw(obj)("id", id, true)("name", name, true); }) &&
           load_part(load_items_in_object(obj, "datacenters", datacenters, false),
                     "Failed to load datacenters in organization.\n");
}

}  // namespace smartx
