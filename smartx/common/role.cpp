#include "smartx/common/role.h"

namespace smartx {

const Key2_Value_T<Role::Preset> Role::PRESET_TABLE[] = {
    key2_value_row("ADMIN", Preset::ADMIN),           key2_value_row("AUDITOR", Preset::AUDITOR),
    key2_value_row("READ_ONLY", Preset::READ_ONLY),   key2_value_row("ROOT", Preset::ROOT),
    key2_value_row("USER_ADMIN", Preset::USER_ADMIN), key2_value_end(Preset::UNKNOWN),
};

bool Role::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse role, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("id", id, true)
            ("name", name, true)
            ("platform", platform, true)
            ("preset", preset, false);
        // clang-format on
        for (const json_spirit::Value& action :
             json_spirit::object_get_array_or_throw(obj, "actions")) {
            if (action.type() != json_spirit::str_type &&
                action.type() != json_spirit::secure_str_type)
                throw json_spirit::Json_Error("actions", "array of strings");
            actions.push_back(action.get_str());
        }
    });
}

Role::Preset Role::get_preset() const {
    return get_value_by_key(PRESET_TABLE, preset.c_str());
}

}  // namespace smartx
