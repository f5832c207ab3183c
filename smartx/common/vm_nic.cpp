#include "smartx/common/vm_nic.h"

namespace smartx {

bool VM_NIC::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM NIC, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("enabled", enabled, false)
                            ("gateway", gateway, false)
                            ("id", id, true)
                            ("interface_id", interface_id, false)
                            ("ip_address", ip_address, false)
                            ("local_id", local_id, true)
                            ("mac_address", mac_address, false)
                            ("mirror", mirror, false)
                            ("model", model, false)
                            ("subnet_mask", subnet_mask, false);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "vlan", vlan, false),
                     "Failed to parse vlan in VM NIC.\n") &&
           load_part(load_item_in_object(obj, "vm", vm, true), "Failed to parse VM in VM NIC.\n");
}

json_spirit::Object VM_NIC::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("enabled", enabled)
        ("gateway", gateway)
        ("id", id)
        ("interface_id", interface_id)
        ("ip_address", ip_address)
        ("local_id", local_id)
        ("mac_address", mac_address)
        ("mirror", mirror)
        ("model", model)
        ("subnet_mask", subnet_mask)
        ("vlan", vlan.dump())
        ("vm", vm.dump());
    // clang-format on
    return obj;
}

}  // namespace smartx
