#ifndef SMARTX_COMMON_FOLDER_H
#define SMARTX_COMMON_FOLDER_H

#include <string>
#include <vector>

#include "smartx/common/item.h"

namespace smartx {

// A VM folder.
struct Folder {
    Item_Identity cluster;
    std::string id;
    std::string local_id;
    std::string name;
    int vm_num = -1;
    std::vector<Item_Identity> vms;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
