#ifndef SMARTX_COMMON_DATACENTER_H
#define SMARTX_COMMON_DATACENTER_H

#include <string>
#include <vector>

#include "smartx/common/item.h"

namespace smartx {

struct Datacenter {
    int cluster_num = -1;
    std::vector<Item_Identity> clusters;
    std::string id;
    std::vector<Item_Label> labels;
    std::string name;
    Item_Identity organization;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
