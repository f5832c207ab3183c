#include "smartx/common/vlan.h"

namespace smartx {

const Key2_Value_T<VLAN::Type> VLAN::TYPE_TABLE[] = {
    key2_value_row("ACCESS", Type::ACCESS),
    key2_value_row("MANAGEMENT", Type::MANAGEMENT),
    key2_value_row("MIGRATION", Type::MIGRATION),
    key2_value_row("STORAGE", Type::STORAGE),
    key2_value_row("VM", Type::VM),
    key2_value_end(Type::UNKNOWN),
};

const Key2_Value_T<VLAN::Mode_Type> VLAN::MODE_TYPE_TABLE[] = {
    key2_value_row("GENEVE", Mode_Type::GENEVE),
    key2_value_row("VLAN_ACCESS", Mode_Type::VLAN_ACCESS),
    key2_value_row("VLAN_TRUNK", Mode_Type::VLAN_TRUNK),
    key2_value_row("VXLAN", Mode_Type::VXLAN),
    key2_value_end(Mode_Type::UNKNOWN),
};

bool VLAN::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VLAN, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("gateway_ip", gateway_ip, false)
                            ("gateway_subnetmask", gateway_subnetmask, false)
                            ("id", id, true)
                            ("local_id", local_id, true)
                            ("mode_type", mode_type, false)
                            ("name", name, true)
                            ("subnetmask", subnetmask, false)
                            ("type", type, true)
                            ("vlan_id", vlan_id, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "vds", vds, true), "Failed to parse vds in VLAN.\n");
}

VLAN::Type VLAN::get_type() const {
    return get_value_by_key(TYPE_TABLE, type.c_str());
}

VLAN::Mode_Type VLAN::get_mode_type() const {
    return get_value_by_key(MODE_TYPE_TABLE, mode_type.c_str());
}

}  // namespace smartx
