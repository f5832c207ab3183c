#ifndef SMARTX_COMMON_VM_H
#define SMARTX_COMMON_VM_H

#include <cstdint>
#include <string>
#include <vector>

#include "qorm/key2_value.h"
#include "smartx/common/defs.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/item.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"

namespace smartx {

// An unlisted status text is NONE; the text "UNKNOWN" is UNKNOWN.
enum class VM_Status : int32_t {
    UNKNOWN = 0,
    NONE = 1,
    DELETED = 2,
    RUNNING = 3,
    STOPPED = 4,
    SUSPENDED = 5
};

enum class Video_Type : int32_t { UNKNOWN = 0, CIRRUS = 1, QXL = 2, VGA = 3, VIRTIO = 4 };

enum class Clock_Offset : int32_t { UNKNOWN = 0, LOCALTIME = 1, UTC = 2 };

extern const Key2_Value_T<VM_Status> VM_STATUS_TABLE[];
extern const Key2_Value_T<Video_Type> VIDEO_TYPE_TABLE[];
extern const Key2_Value_T<Clock_Offset> CLOCK_OFFSET_TABLE[];

// Value to name gives null for a value without a row (VM_Status::NONE among them).
VM_Status vm_status_name_to_type(const char* name);
const char* vm_status_type_to_name(VM_Status type);
Video_Type video_type_name_to_type(const char* name);
const char* video_type_type_to_name(Video_Type type);
Clock_Offset clock_offset_name_to_type(const char* name);
const char* clock_offset_type_to_name(Clock_Offset type);

struct CPU {
    int cores = -1;
    int sockets = -1;

    // From a value holding {"cores", "sockets"}, both required.
    bool load(const json_spirit::Value& value);
    json_spirit::Object dump() const;
};

struct VM {
    std::string clock_offset;
    Item_Identity cluster;
    CPU cpu;
    std::string cpu_model;
    std::string description;
    std::string firmware;
    Item_Identity folder;
    std::vector<GPU_Device> gpu_devices;
    std::string guest_cpu_model;
    std::string guest_os_type;
    bool ha = true;
    Host_Identity host;
    std::string hostname;
    std::string id;
    bool in_recycle_bin = false;
    std::vector<Item_Label> labels;
    // When CloudTower made it; empty when not told. Read for the restore
    // clean-up only: the dump leaves it out.
    std::string local_created_at;
    std::string local_id;
    int64_t memory = -1;  // bytes
    std::string name;
    std::string node_ip;
    // Not from CloudTower: the lister sums the VM's volume sizes into it.
    int64_t size = 0;
    std::vector<Item_Identity> snapshots;
    std::string status;
    std::vector<USB_Device> usb_devices;
    int vcpu = -1;
    std::string video_type;
    std::vector<VM_Disk> vm_disks;
    std::vector<VM_NIC> vm_nics;
    std::vector<Item_Identity> vm_placement_group;
    std::string vm_tools_status;
    std::string vm_tools_version;
    std::string vm_usage;
    bool win_opt = true;

    bool load(const json_spirit::Object& obj);
    // Every field but size and local_created_at, always: the VM description
    // every backup set stores, whose keys stay those of older sets.
    json_spirit::Object dump() const;

    VM_Status get_status() const;
    VM_Firmware get_firmware() const;
};

}  // namespace smartx

#endif
