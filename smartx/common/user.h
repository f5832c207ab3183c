#ifndef SMARTX_COMMON_USER_H
#define SMARTX_COMMON_USER_H

#include <cstdint>
#include <string>
#include <vector>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"
#include "smartx/common/role.h"

namespace smartx {

struct User {
    // The same names as Role::Preset, other values ("ROOT" is 3 here, 4 there).
    enum class Role_Type : int32_t { UNKNOWN = 0, ADMIN = 1, READ_ONLY = 2, ROOT = 3 };

    static const Key2_Value_T<Role_Type> ROLE_TABLE[];

    std::string display_username;
    std::string email_address;
    std::string id;
    bool internal = false;
    std::string mobile_phone;
    std::string name;
    std::string role;
    // Whole roles, or roles holding only an id where CloudTower sent a reference.
    std::vector<Role> roles;
    std::string source;
    std::string username;

    bool load(const json_spirit::Object& obj);

    // An empty or unlisted role gives UNKNOWN.
    Role_Type get_role() const;
};

}  // namespace smartx

#endif
