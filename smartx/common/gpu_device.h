#ifndef SMARTX_COMMON_GPU_DEVICE_H
#define SMARTX_COMMON_GPU_DEVICE_H

#include <string>
#include <vector>

#include "smartx/common/item.h"

namespace smartx {

// A pass-through GPU of a host.
struct GPU_Device {
    std::string brand;
    std::string bus_location;
    std::string description;
    Host_Identity host;
    std::string id;
    std::string local_created_at;
    std::string local_id;
    std::string model;
    std::string name;
    std::string status;
    std::vector<Item_Identity> vms;

    bool load(const json_spirit::Object& obj);
    // The keys load reads, so a dump loads back.
    json_spirit::Object dump() const;
};

}  // namespace smartx

#endif
