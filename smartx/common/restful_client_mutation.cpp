// The mutations of RESTful_Client: each sends its body, waits for the task
// CloudTower starts and, for the creating ones, reads back what was made;
// and the ZBS data addresses of a cluster.
#include "smartx/common/restful_client.h"

#include "ace/Log_Msg.h"
#include "qorm/snprintf.h"
#include "smartx/common/host.h"
#include "smartx/common/label.h"
#include "smartx/common/restful_client_templates.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"

namespace smartx {

namespace {
// The ports of a ZBS data address: "ip:10201:10206".
const char* const ZBS_DATA_PORTS = ":10201:10206";

Query_Params where_id(const std::string& id) {
    Query_Params params;
    params.where("id", id);
    return params;
}

Update_Params update_where_id(const std::string& id, const json_spirit::Object& data) {
    Update_Params params;
    params.where("id", id).update(data);
    return params;
}

// {"where": {"id"}, "effect": {"include_snapshots"}} of the deletions that may take snapshots
// along.
Query_Params delete_where_id(const std::string& id, bool include_snapshots) {
    Query_Params params = where_id(id);
    params.insert("effect", json_spirit::Object{
                                {"include_snapshots", json_spirit::Value(include_snapshots)}});
    return params;
}

// A task whose created record has no id leaves nothing to refer to.
std::string no_created_id(const char* what, const std::string& task_id) {
    return snprintf_t<1024>("Failed to create %s, details: task %s gives no id.", what,
                            task_id.c_str())
        .c_str();
}
}  // namespace

// ---- creation ----

bool RESTful_Client::create_vm_snapshot(const std::string& name, const std::string& vm_id,
                                        VM_Snapshot& snapshot, bool quiesce, Error* error) {
    VM_Snapshot_Setting setting;
    setting.name = name;
    setting.vm_id = vm_id;
    if (!setting.set_consistent_type(quiesce ? Consistent_Type::FILE_SYSTEM_CONSISTENT
                                             : Consistent_Type::CRASH_CONSISTENT)) {
        report_error(error, -1, "Failed to create VM snapshot, details: no consistent type.");
        return false;
    }
    Async_Task<VM_Snapshot> task;
    return send_async_task_request_with_setting(setting, Message::CREATE_VM_SNAPSHOT, task,
                                                error) &&
           query_vm_snapshot(task.data.id, snapshot, error);
}

bool RESTful_Client::create_vm(const VM_Setting& setting, std::string& id, Error* error) {
    Async_Task<VM> task;
    if (!send_async_task_request_with_setting(setting, Message::CREATE_VM, task, error))
        return false;
    if (task.data.id.empty()) {
        report_error(error, -1, no_created_id("VM", task.task_id));
        return false;
    }
    // The create body carries no advanced options.
    if (!send_async_task_request_with_params<VM>(
            update_where_id(task.data.id, setting.vm_advanced_options.dump()),
            Message::UPDATE_VM_ADVANCED_OPTIONS, error))
        return false;
    id = task.data.id;
    return true;
}

bool RESTful_Client::create_vm(const VM& vm, std::string& id, Error* error) {
    return create_vm(VM_Setting(vm, true), id, error);
}

bool RESTful_Client::create_vm_volume(const VM_Volume_Setting& setting, std::string& id,
                                      Error* error) {
    Async_Task<VM_Volume> task;
    if (!send_async_task_request_with_setting(setting, Message::CREATE_VM_VOLUME, task, error))
        return false;
    if (task.data.id.empty()) {
        report_error(error, -1, no_created_id("VM volume", task.task_id));
        return false;
    }
    id = task.data.id;
    return true;
}

bool RESTful_Client::create_vm_volume(const VM_Volume& volume, std::string& id, Error* error) {
    return create_vm_volume(VM_Volume_Setting(volume), id, error);
}

bool RESTful_Client::create_vm_volume_snapshot(const std::string& name,
                                               const std::string& volume_id,
                                               VM_Volume_Snapshot& snapshot, Error* error) {
    VM_Volume_Snapshot_Setting setting;
    setting.volume_id = volume_id;
    setting.name = name;
    Async_Task<VM_Volume_Snapshot> task;
    return send_async_task_request_with_setting(setting, Message::CREATE_VM_VOLUME_SNAPSHOT, task,
                                                error) &&
           query_vm_volume_snapshot(task.data.id, snapshot, error);
}

// ---- disks and settings ----

bool RESTful_Client::add_vm_disks(const std::string& vm_id, const VM_Disk_Settings& settings,
                                  Error* error) {
    const json_spirit::Object data{{"vm_disks", json_spirit::Value(settings.dump())}};
    return send_async_task_request_with_params<VM>(update_where_id(vm_id, data),
                                                   Message::ADD_VM_DISK, error);
}

bool RESTful_Client::update_vm_disk(const std::string& vm_id, VM_Disk_Update_Setting& setting,
                                    Error* error) {
    if (setting.vm_disk_id.empty()) {
        VM_Disk disk;
        if (!query_vm_disk_by_serial(setting.vm_disk_serial, disk, error))
            return false;
        setting.vm_disk_id = disk.id;
    }
    return send_async_task_request_with_params<VM>(update_where_id(vm_id, setting.dump()),
                                                   Message::UPDATE_VM_DISK, error);
}

bool RESTful_Client::remove_vm_disks(const std::string& vm_id, const std::vector<std::string>& ids,
                                     Error* error) {
    json_spirit::Array disk_ids(ids.begin(), ids.end());
    const json_spirit::Object data{{"disk_ids", json_spirit::Value(std::move(disk_ids))}};
    return send_async_task_request_with_params<VM>(update_where_id(vm_id, data),
                                                   Message::REMOVE_VM_DISK, error);
}

bool RESTful_Client::remove_vm_disks_by_serials(const std::string& vm_id,
                                                const std::vector<std::string>& serials,
                                                Error* error) {
    std::vector<std::string> ids;
    ids.reserve(serials.size());
    VM_Disk disk;
    for (const std::string& serial : serials) {
        if (!query_vm_disk_by_serial(serial, disk, error))
            return false;
        ids.push_back(disk.id);
    }
    return remove_vm_disks(vm_id, ids, error);
}

bool RESTful_Client::update_vm_info(const std::string& id, const VM_Update_Setting& setting,
                                    Error* error) {
    return send_async_task_request_with_params<VM>(update_where_id(id, setting.dump()),
                                                   Message::UPDATE_VM_BASIC_INFO, error) &&
           send_async_task_request_with_params<VM>(
               update_where_id(id, setting.vm_advanced_options.dump()),
               Message::UPDATE_VM_ADVANCED_OPTIONS, error);
}

// ---- deletion ----

bool RESTful_Client::delete_vm_snapshot(const std::string& id, Error* error) {
    return send_async_task_request_with_params<Identity>(where_id(id), Message::DELETE_VM_SNAPSHOT,
                                                         error);
}

bool RESTful_Client::delete_vm(const std::string& id, bool include_snapshots, Error* error) {
    return send_async_task_request_with_params<Identity>(delete_where_id(id, include_snapshots),
                                                         Message::DELETE_VM, error);
}

bool RESTful_Client::delete_vm_volume_snapshot(const std::string& id, Error* error) {
    return send_async_task_request_with_params<Identity>(where_id(id),
                                                         Message::DELETE_VM_VOLUME_SNAPSHOT, error);
}

bool RESTful_Client::delete_vm_volume(const std::string& id, bool include_snapshots, Error* error) {
    return send_async_task_request_with_params<Identity>(delete_where_id(id, include_snapshots),
                                                         Message::DELETE_VM_VOLUME, error);
}

// ---- power ----

bool RESTful_Client::start_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::START_VM, error);
}

bool RESTful_Client::restart_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::RESTART_VM, error);
}

bool RESTful_Client::force_restart_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::FORCE_RESTART_VM, error);
}

bool RESTful_Client::shutdown_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::SHUTDOWN_VM, error);
}

bool RESTful_Client::poweroff_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::POWEROFF_VM, error);
}

bool RESTful_Client::suspend_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::SUSPEND_VM, error);
}

bool RESTful_Client::resume_vm(const std::string& id, Error* error) {
    return send_async_task_request_with_params<VM>(where_id(id), Message::RESUME_VM, error);
}

// ---- recycle bin and labels ----

bool RESTful_Client::move_vm_to_recycle_bin(const std::string& id, Error* error) {
    return send_async_task_request_with_params<Item_Label>(where_id(id),
                                                           Message::MOVE_VM_TO_RECYCLE, error);
}

bool RESTful_Client::recover_vm_from_recycle(const std::string& id, Error* error) {
    return send_async_task_request_with_params<Item_Label>(where_id(id),
                                                           Message::RECOVER_VM_FROM_RECYCLE, error);
}

bool RESTful_Client::add_label_to_resources(const std::string& id, const Label_Setting& setting,
                                            Error* error) {
    return send_async_task_request_with_params<Item_Label>(update_where_id(id, setting.dump()),
                                                           Message::ADD_LABELS_TO_RESOURCES, error);
}

// ---- ZBS data addresses ----

bool RESTful_Client::get_zbs_data_ip(const std::string& cluster_id, std::string& zbs_data_ip) {
    // A record of its own: error_ is cleared by the sending layer once logged.
    Error error;
    std::vector<Host> hosts;
    if (!query_hosts_in_cluster(cluster_id, hosts, &error)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query hosts in cluster[%C]. %C.\n"),
                   cluster_id.c_str(), error.message.c_str()));
        return false;
    }
    std::string addresses;
    for (const Host& host : hosts) {
        // A host outside the storage network serves no data.
        if (host.data_ip.empty()) {
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("Host %C[%C] of cluster[%C] has no ZBS data address, skipped.\n"),
                       host.name.c_str(), host.id.c_str(), cluster_id.c_str()));
            continue;
        }
        if (!addresses.empty())
            addresses += ',';
        addresses += host.data_ip;
        addresses += ZBS_DATA_PORTS;
    }
    if (addresses.empty() && !hosts.empty()) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT(
                 "Failed to get ZBS data network of cluster[%C], no host has a data address.\n"),
             cluster_id.c_str()));
        return false;
    }
    zbs_data_ip = addresses;
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("ZBS data network :%C.\n"), zbs_data_ip.c_str()));
    return true;
}

}  // namespace smartx
