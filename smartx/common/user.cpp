#include "smartx/common/user.h"

namespace smartx {

const Key2_Value_T<User::Role_Type> User::ROLE_TABLE[] = {
    key2_value_row("ADMIN", Role_Type::ADMIN),
    key2_value_row("READ_ONLY", Role_Type::READ_ONLY),
    key2_value_row("ROOT", Role_Type::ROOT),
    key2_value_end(Role_Type::UNKNOWN),
};

bool User::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse user, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("display_username", display_username, true)
                            ("email_address", email_address, false)
                            ("id", id, true)
                            ("internal", internal, true)
                            ("mobile_phone", mobile_phone, false)
                            ("name", name, true)
                            ("role", role, false)
                            ("source", source, true)
                            ("username", username, true);
                        // clang-format on
                    }) &&
           load_part(load_items_or_ids_in_object(obj, "roles", "platform", roles, false),
                     "Failed to parse roles in user.\n");
}

User::Role_Type User::get_role() const {
    return get_value_by_key(ROLE_TABLE, role.c_str());
}

}  // namespace smartx
