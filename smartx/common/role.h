#ifndef SMARTX_COMMON_ROLE_H
#define SMARTX_COMMON_ROLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"

namespace smartx {

struct Role {
    enum class Preset : int32_t {
        UNKNOWN = 0,
        ADMIN = 1,
        AUDITOR = 2,
        READ_ONLY = 3,
        ROOT = 4,
        USER_ADMIN = 5
    };

    static const Key2_Value_T<Preset> PRESET_TABLE[];

    std::vector<std::string> actions;  // "*" grants everything
    std::string id;
    std::string name;
    std::string platform;
    std::string preset;

    bool load(const json_spirit::Object& obj);

    // An empty or unlisted preset gives UNKNOWN.
    Preset get_preset() const;
};

}  // namespace smartx

#endif
