#ifndef SMARTX_COMMON_VDS_H
#define SMARTX_COMMON_VDS_H

#include <cstdint>
#include <string>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"

namespace smartx {

// A virtual distributed switch.
struct VDS {
    enum class Type : int32_t {
        UNKNOWN = 0,
        ACCESS = 1,
        MANAGEMENT = 2,
        MIGRATION = 3,
        STORAGE = 4,
        VM = 5
    };

    static const Key2_Value_T<Type> TYPE_TABLE[];

    Item_Identity cluster;
    std::string bond_mode;
    std::string id;
    std::string local_id;
    std::string name;
    std::string ovsbr_name;
    std::string type;
    std::string work_mode;
    // Both required on load; a record that never loaded still reads as "unknown".
    int vlans_num = -1;
    bool internal = false;

    bool load(const json_spirit::Object& obj);

    Type get_type() const;
};

}  // namespace smartx

#endif
