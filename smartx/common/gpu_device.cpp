#include "smartx/common/gpu_device.h"

namespace smartx {

bool GPU_Device::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse GPU device, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("brand", brand, true)
                            ("bus_location", bus_location, true)
                            ("description", description, true)
                            ("id", id, true)
                            ("local_created_at", local_created_at, true)
                            ("local_id", local_id, true)
                            ("model", model, true)
                            ("name", name, true)
                            ("status", status, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "host", host, true),
                     "Failed to parse host in GPU device.\n") &&
           load_part(load_items_in_object(obj, "vms", vms, false),
                     "Failed to parse vms in GPU device.\n");
}

json_spirit::Object GPU_Device::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("brand", brand)
        ("bus_location", bus_location)
        ("description", description)
        ("host", host.dump())
        ("id", id)
        ("local_created_at", local_created_at)
        ("local_id", local_id)
        ("model", model)
        ("name", name)
        ("status", status)
        ("vms", dump_items(vms));
    // clang-format on
    return obj;
}

}  // namespace smartx
