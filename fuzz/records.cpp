// Every record load of outside answers and requests, each given the same
// value: CloudTower answers through their responses, the servant's request
// records, backup sets and rate limits. Records that dump what they load
// must load their own dump back to the same dump.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/json_spirit/json_io.h"
#include "host/rate_limits.h"
#include "host/smartx_backup_set.h"
#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/error.h"
#include "smartx/common/folder.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/host.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/label.h"
#include "smartx/common/login_info.h"
#include "smartx/common/message.h"
#include "smartx/common/param.h"
#include "smartx/common/role.h"
#include "smartx/common/storage_policy.h"
#include "smartx/common/task.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/user.h"
#include "smartx/common/vds.h"
#include "smartx/common/version.h"
#include "smartx/common/vlan.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/restore_source_entry.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

template <class T>
void many(const Value& body) {
    std::vector<T> items;
    smartx::Multi_Item_Response<T>(smartx::Version(), smartx::Message::QUERY_VMS, items).load(body);
}

template <class T>
void one(const Value& body) {
    T item;
    smartx::Single_Item_Response<T>(smartx::Version(), smartx::Message::GET_MY_INFO, item)
        .load(body);
}

// load(dump()) gives the same dump, for records of load(Value).
template <class T>
void round_trip(const Value& v) {
    T first;
    if (!first.load(v))
        return;
    const Value dumped(first.dump());
    T second;
    FUZZ_CHECK(second.load(dumped));
    FUZZ_CHECK(Value(second.dump()) == dumped);
}

// The same for the host's records of load(Object, error).
template <class T>
void round_trip_object(const Value& v) {
    T first;
    std::string error;
    if (v.type() != json_spirit::obj_type || !first.load(v.get_obj(), &error))
        return;
    const Value dumped(first.dump());
    T second;
    FUZZ_CHECK(second.load(dumped.get_obj(), &error));
    FUZZ_CHECK(Value(second.dump()) == dumped);
}

void (*const loads[])(const Value&) = {
    many<smartx::Datacenter>,
    many<smartx::Cluster>,
    many<smartx::Host>,
    many<smartx::Folder>,
    many<smartx::VM>,
    many<smartx::VM_Snapshot>,
    many<smartx::VM_Disk>,
    many<smartx::VM_NIC>,
    many<smartx::VM_Volume>,
    many<smartx::VM_Volume_Snapshot>,
    many<smartx::ISCSI_LUN>,
    many<smartx::ISCSI_LUN_Snapshot>,
    many<smartx::Label>,
    many<smartx::Data_Storage>,
    many<smartx::VLAN>,
    many<smartx::VDS>,
    many<smartx::GPU_Device>,
    many<smartx::USB_Device>,
    many<smartx::Storage_Policy>,
    many<smartx::Task>,
    many<smartx::Role>,
    many<smartx::Async_Task<smartx::VM>>,
    many<smartx::Async_Task<smartx::VM_Snapshot>>,
    many<smartx::Async_Task<smartx::VM_Volume>>,
    many<smartx::Async_Task<smartx::VM_Volume_Snapshot>>,
    many<smartx::Async_Task<smartx::Identity>>,
    many<smartx::Async_Task<smartx::Item_Label>>,
    one<smartx::Error>,
    one<smartx::User>,
    one<smartx::Version>,
    one<smartx::Async_Task<smartx::Login_Info>>,
    round_trip<smartx::Backup_Param>,
    round_trip<smartx::Restore_Param>,
    round_trip<smartx::Control_Param>,
    round_trip<smartx::Backup_Source_Entry>,
    [](const Value& v) { smartx::Restore_Source_Entry().load(v); },
    [](const Value& v) {
        if (v.type() == json_spirit::obj_type)
            smartx::Login_Info().load(v.get_obj());
    },
    round_trip_object<SmartX_Backup_Set>,
    round_trip_object<Rate_Limits>,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (quiet_logs(), true);
    (void)quiet;
    Value v;
    if (!json_spirit::read(std::string(reinterpret_cast<const char*>(data), size), v))
        return 0;
    for (auto load : loads)
        load(v);
    // An answer's records one by one, as their loads meet them.
    if (v.type() == json_spirit::obj_type)
        for (const auto& member : v.get_obj())
            if (member.second.type() == json_spirit::array_type)
                for (const Value& record : member.second.get_array())
                    for (auto load : loads)
                        load(record);
    return 0;
}
