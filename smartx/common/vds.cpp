#include "smartx/common/vds.h"

namespace smartx {

const Key2_Value_T<VDS::Type> VDS::TYPE_TABLE[] = {
    key2_value_row("ACCESS", Type::ACCESS),
    key2_value_row("MANAGEMENT", Type::MANAGEMENT),
    key2_value_row("MIGRATION", Type::MIGRATION),
    key2_value_row("STORAGE", Type::STORAGE),
    key2_value_row("VM", Type::VM),
    key2_value_end(Type::UNKNOWN),
};

bool VDS::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VDS, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("bond_mode", bond_mode, true)
                            ("id", id, true)
                            ("internal", internal, true)
                            ("local_id", local_id, true)
                            ("name", name, true)
                            ("ovsbr_name", ovsbr_name, true)
                            ("type", type, true)
                            ("vlans_num", vlans_num, true)
                            ("work_mode", work_mode, false);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, true),
                     "Failed to parse cluster in VDS.\n");
}

VDS::Type VDS::get_type() const {
    return get_value_by_key(TYPE_TABLE, type.c_str());
}

}  // namespace smartx
