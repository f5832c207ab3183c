#ifndef SMARTX_COMMON_VLAN_H
#define SMARTX_COMMON_VLAN_H

#include <cstdint>
#include <string>

#include "qorm/key2_value.h"
#include "smartx/common/item.h"

namespace smartx {

// A network on a virtual switch.
struct VLAN {
    enum class Type : int32_t {
        UNKNOWN = 0,
        ACCESS = 1,
        MANAGEMENT = 2,
        MIGRATION = 3,
        STORAGE = 4,
        VM = 5
    };

    enum class Mode_Type : int32_t {
        UNKNOWN = 0,
        GENEVE = 1,
        VLAN_ACCESS = 2,
        VLAN_TRUNK = 3,
        VXLAN = 4
    };

    static const Key2_Value_T<Type> TYPE_TABLE[];
    static const Key2_Value_T<Mode_Type> MODE_TYPE_TABLE[];

    std::string gateway_ip;
    std::string gateway_subnetmask;
    std::string id;
    std::string local_id;
    std::string mode_type;
    std::string name;
    std::string subnetmask;
    std::string type;
    Item_Identity vds;
    int vlan_id = -1;

    bool load(const json_spirit::Object& obj);

    Type get_type() const;
    Mode_Type get_mode_type() const;
};

}  // namespace smartx

#endif
