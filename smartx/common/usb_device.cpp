#include "smartx/common/usb_device.h"

namespace smartx {

bool USB_Device::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse USB device, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("binded", binded, true)
                            ("description", description, true)
                            ("id", id, true)
                            ("local_created_at", local_created_at, true)
                            ("local_id", local_id, true)
                            ("manufacturer", manufacturer, true)
                            ("name", name, true)
                            ("size", size, true)
                            ("status", status, true)
                            ("usb_type", usb_type, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "host", host, true),
                     "Failed to parse host in USB device.\n") &&
           load_part(load_items_in_object(obj, "vms", vms, false),
                     "Failed to parse vms in USB device.\n");
}

json_spirit::Object USB_Device::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("binded", binded)
        ("description", description)
        ("host", host.dump())
        ("id", id)
        ("local_created_at", local_created_at)
        ("local_id", local_id)
        ("manufacturer", manufacturer)
        ("name", name)
        ("size", size)
        ("status", status)
        ("usb_type", usb_type)
        ("vms", dump_items(vms));
    // clang-format on
    return obj;
}

}  // namespace smartx
