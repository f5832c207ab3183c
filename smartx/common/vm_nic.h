#ifndef SMARTX_COMMON_VM_NIC_H
#define SMARTX_COMMON_VM_NIC_H

#include <string>

#include "smartx/common/item.h"

namespace smartx {

struct VM_NIC {
    bool enabled = false;
    std::string gateway;
    std::string id;
    std::string interface_id;
    std::string ip_address;
    std::string local_id;
    std::string mac_address;
    bool mirror = false;
    std::string model;  // a VM_NIC_Model name
    std::string subnet_mask;
    Item_Identity vlan;
    Item_Identity vm;

    bool load(const json_spirit::Object& obj);
    // Every field, always.
    json_spirit::Object dump() const;
};

}  // namespace smartx

#endif
