#include "smartx/common/label.h"

namespace smartx {

bool Label::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse label, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("id", id, true)
                            ("key", key, true)
                            ("value", value, false);
                        // clang-format on
                    }) &&
           load_part(
               load_items_or_ids_in_object(obj, "datacenters", "organization", datacenters, false),
               "Failed to parse datacenters in label.\n") &&
           load_part(load_items_or_ids_in_object(obj, "clusters", "local_id", clusters, false),
                     "Failed to parse clusters in label.\n") &&
           load_part(load_items_or_ids_in_object(obj, "hosts", "local_id", hosts, false),
                     "Failed to parse hosts in label.\n") &&
           load_part(load_items_or_ids_in_object(obj, "vms", "local_id", vms, false),
                     "Failed to parse VMs in label.\n") &&
           load_part(load_items_or_ids_in_object(obj, "vm_volumes", "local_id", vm_volumes, false),
                     "Failed to parse VM volumes in label.\n");
}

json_spirit::Object Label_Setting::dump() const {
    json_spirit::Object obj;
    if (!vms.empty())
        json_spirit::insert(obj)("vms", json_spirit::Object_Maker()("id_in", dump_item_ids(vms)));
    return obj;
}

}  // namespace smartx
