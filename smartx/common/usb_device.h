#ifndef SMARTX_COMMON_USB_DEVICE_H
#define SMARTX_COMMON_USB_DEVICE_H

#include <cstdint>
#include <string>
#include <vector>

#include "smartx/common/item.h"

namespace smartx {

// A pass-through USB device of a host.
struct USB_Device {
    bool binded = false;
    std::string description;
    Host_Identity host;
    std::string id;
    std::string local_created_at;
    std::string local_id;
    std::string manufacturer;
    std::string name;
    int64_t size = -1;
    std::string status;
    std::string usb_type;
    std::vector<Item_Identity> vms;

    bool load(const json_spirit::Object& obj);
    // The keys load reads, so a dump loads back.
    json_spirit::Object dump() const;
};

}  // namespace smartx

#endif
