#ifndef SMARTX_COMMON_TASK_H
#define SMARTX_COMMON_TASK_H

#include <string>

#include "smartx/common/item.h"

namespace smartx {

// An asynchronous CloudTower task; its status ends as "SUCCESSED" or "FAILED".
struct Task {
    Item_Identity cluster;
    std::string error_code;
    std::string error_message;
    std::string id;
    double progress = -1.0;
    std::string status;
    std::string type;
    Item_Identity user;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
