#ifndef SMARTX_COMMON_ORGANIZATION_H
#define SMARTX_COMMON_ORGANIZATION_H

#include <string>
#include <vector>

#include "smartx/common/item.h"

namespace smartx {

struct Organization {
    std::vector<Item_Identity> datacenters;
    std::string id;
    std::string name;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
