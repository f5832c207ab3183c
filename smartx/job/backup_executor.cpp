#include "smartx/job/backup_executor.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <vector>

#include "host/backupd_client.h"
#include "host/pool_service.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/wildcard_filter.h"
#include "qorm/check.h"
#include "qorm/client_io_options_helper.h"
#include "qorm/snprintf.h"
#include "smartx/common/alert_codes.h"
#include "smartx/common/param.h"
#include "smartx/common/vm.h"
#include "smartx/job/progress_reporter.h"
#include "smartx/job/utils.h"

namespace smartx {
const char* const Backup_Executor::DEFAULT_NAME = "Smartx_Backup_VM_Servant";

namespace {
const char* const SCHEDULER_NAME = "smartx.servant.backup";
const size_t SCHEDULER_CAPACITY = 1024;
const size_t TASK_NAME_INLINE = 64;
const int DEFAULT_COMPRESSION_LEVEL = 1;
// Pool compression method when the job names none the pool knows.
const int FALLBACK_COMPRESSION = 1;

const unsigned ALERT_EXTRA = 0;
const int ALERT_COUNT = 1;

// Reads key into out when the options hold it with a fitting type.
template <class T>
void read_option(const json_spirit::Object& opts, const char* key, T& out) {
    json_spirit::object_get(opts, key, out);
}
}  // namespace

bool set_io_options(int channels, const std::string& compression, int compression_level,
                    const Job_Definition& def, const Pool_Info& pool,
                    Client_IO_Base::Options& options) {
    options.compression = compression_name_to_value(compression.c_str(), compression.size());
    if (options.compression == 0)
        options.compression = FALLBACK_COMPRESSION;
    options.overwrite = true;
    options.compression_level = compression_level;
    set_options_by_job_def(options, def, channels);
    set_options_by_host(options);
    if (!set_options_by_pool(options, pool))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to set IO options by pool.\n")), false);
    return true;
}

Backup_Executor::Backup_Executor(Job& job) : VM_Job_Executor_T(job) {}
Backup_Executor::~Backup_Executor() = default;

bool Backup_Executor::get_vms() {
    QORM_CHECK_NOT_NULL_RETURN(src_, false);
    QORM_CHECK_SHAPE_RETURN(src_->value().type() == json_spirit::obj_type,
                            "src_->value() is not object", false);
    const json_spirit::Object& source = src_->value().get_obj();
    const json_spirit::Array* entries = json_spirit::object_get_array(source, "entries");
    if (entries == nullptr) {
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Entries not found in backup source, job_uuid: %C, name: %C.\n"),
             def_.id.c_str(), def_.name.c_str()),
            false);
    }

    std::vector<VM> found;
    Backup_Source_Entry entry;
    for (const json_spirit::Value& element : *entries) {
        entry.clear();
        if (!entry.load(element)) {
            ACE_ERROR(
                (LM_ERROR,
                 ACE_TEXT("Failed to parse entry in backup source, job_uuid: %C, name: %C.\n"),
                 def_.id.c_str(), def_.name.c_str()));
            continue;
        }
        bool ok = false;
        if (entry.type == "HostSystem") {
            ok = client_.query_vms_in_host(entry.id, found);
        } else if (entry.type == "Cluster") {
            ok = client_.query_vms_in_cluster(entry.id, found);
        } else if (entry.type == "Folder") {
            ok = client_.query_vms_in_folder(entry.id, found);
        } else if (entry.type == "VirtualMachine") {
            VM vm;
            ok = client_.query_vm(entry.id, vm);
            if (ok) {
                entry_map_.emplace(vm.id, entry);
                found.push_back(std::move(vm));
            }
        } else {
            ACE_ERROR(
                (LM_ERROR,
                 ACE_TEXT("Unknown entry type '%C' in backup source, job_uuid: %C, name: %C.\n"),
                 entry.type.c_str(), def_.id.c_str(), def_.name.c_str()));
        }
        if (!ok) {
            json_spirit::Array props;
            props.push_back(entry.id);
            props.push_back(entry.name);
            props.push_back(entry.type);
            write_job_alert(job_, Error_ID::LV_ERROR, ALERT_ENTRY_NOT_FOUND, ALERT_EXTRA,
                            json_spirit::Value(props), ALERT_COUNT);
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query VM by entry(%C)."), entry.id.c_str()));
        }
    }

    std::vector<std::string> patterns;
    if (opts_ != nullptr && opts_->value().type() == json_spirit::obj_type) {
        const json_spirit::Array* exclusion =
            json_spirit::object_get_array(opts_->value().get_obj(), "exclusion");
        if (exclusion != nullptr)
            for (const json_spirit::Value& p : *exclusion)
                if (p.type() == json_spirit::str_type)
                    patterns.push_back(p.get_str());
    }
    const MTF::Wildcard_Filter filter(patterns, std::vector<std::string>(), '/', true);
    for (const VM& vm : found) {
        if (!filter.is_include(vm.name, false)) {
            ACE_DEBUG((LM_INFO, ACE_TEXT("Excluded VM %C.\n"), vm.name.c_str()));
            continue;
        }
        vms_.insert(VM_Simple{vm.id, vm.name, vm.cluster.id, vm.host.id});
    }
    ACE_DEBUG(
        (LM_DEBUG, ACE_TEXT("There are %d VM ready for backup.\n"), static_cast<int>(vms_.size())));
    return !vms_.empty();
}

bool Backup_Executor::resolve_param(Backup_Param& param) {
    const json_spirit::Object* options = job_options();
    if (options == nullptr)
        return false;
    const json_spirit::Object& opts = *options;
    std::string compression;
    int compression_level = DEFAULT_COMPRESSION_LEVEL;
    Control_Param& control = param.control;
    Parallelism_Param& parallelism = control.parallelism;
    read_option(opts, "compression", compression);
    read_option(opts, "compression_level", compression_level);
    read_option(opts, "zbs_version", control.zbs_version);
    read_option(opts, "allocated_blocks", control.allocated_blocks);
    read_option(opts, "zbs_block_size", control.zbs_block_size);
    read_option(opts, "read_buffer_size", param.read_buffer_size);
    read_option(opts, "storage_reserved_bytes", param.storage_reserved_bytes);
    read_option(opts, "storage_reserved_percent", param.storage_reserved_percent);
    read_option(opts, "restart_vm", param.restart_vm);
    read_option(opts, "reserve_snapshot", param.reserve_snapshot);
    read_option(opts, "snapshot", param.snapshot);
    read_option(opts, "dirty_snapshot_op", param.dirty_snapshot_op);

    const int vm_count = static_cast<int>(std::min<size_t>(vms_.size(), INT32_MAX));
    const int channels = resolve_parallelism(opts, vm_count, parallelism, "backup");

    if (!get_pool_info(tgt_.id, tgt_.device_id, pool_info_, false, def_.max_seconds_retry, nullptr,
                       true, nullptr, nullptr, false)) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get storage pool[%C]'s information.\n"),
                          tgt_.id.c_str()),
                         false);
    }
    if (!set_io_options(channels, compression, compression_level, def_, pool_info_,
                        control.io_opts))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to set io options.\n")), false);

    fill_control(control);
    param.pool_url = pool_info_.url + "/" + control.resource_uuid;
    param.backup_type = static_cast<Job_Definition_Subtype>(def_.subtype);
    param.catalog.name = def_.name;
    param.catalog.host_uuid = def_.host_id;
    param.catalog.agent = def_.agent;
    param.catalog.instance_version.clear();
    param.catalog.pool_uuid = tgt_.id;

    return true;
}

bool Backup_Executor::run_servants(Backup_Param& param) {
    Progress_Reporter reporter(evt_handler_, act_);
    Servant_Task_Scheduler scheduler(SCHEDULER_NAME, SCHEDULER_CAPACITY);
    const Parallelism_Param& parallelism = param.control.parallelism;
    if (!scheduler.register_stop_callback([this] { return is_canceled(); }) ||
        !scheduler.enable_owner_limit(parallelism.vms_per_host) ||
        !scheduler.enable_retry(def_.retry_count, def_.retry_interval) ||
        !scheduler.enable_global_mutex()) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to set strategy for scheduler.\n")), false);
    }

    for (const VM_Simple& vm : vms_) {
        VM_History& history = histories_[vm.id];
        history.uuid = vm.id;
        history.name = vm.name;
        history.cluster_id = vm.cluster_id;
        history.start_time = local_time_now();
        if (!reporter.add_vm(vm.id, vm.name)) {
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to add VM to reporter, id: %C, name: %C.\n"),
                 vm.id.c_str(), vm.name.c_str()),
                false);
        }
        param.vm_id = vm.id;
        param.vm_name = vm.name;
        param.cluster_id = vm.cluster_id;
        const snprintf_t<TASK_NAME_INLINE> task_name("backup_vm_%s", vm.name.c_str());
        json_spirit::Object params;
        params["param"] = param.dump();
        params["entry"] = entry_map_[vm.id].dump();
        if (!scheduler.enqueue_task(params, vm.host, 0, task_name.c_str(), vm.id.c_str()))
            return false;
    }
    if (!reporter.activate(def_.id))
        return false;

    const std::string zbs_version = param.control.zbs_version;
    const auto init = [this, &zbs_version](Servant& servant, const json_spirit::Object& params) {
        std::string name = DEFAULT_NAME;
        json_spirit::object_get(params, "vm_name", name);
        return init_servant(servant, name, zbs_version, job_.log_msg_callback());
    };
    const auto result = [this](const JSON_RPC_Object_Ptr& reply) {
        return static_cast<int>(handle_vm_result(reply));
    };
    if (!scheduler.activate(parallelism.vms, init, result))
        return false;

    wait_servants(scheduler, reporter);
    return true;
}

bool Backup_Executor::execute_i(const Action_Options*) {
    if (!login_cluster())
        return false;
    if (!get_vms())
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get VM.\n")), false);
    Backup_Param param;
    if (!resolve_param(param))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to resolve options from backup job.\n")),
                         false);
    if (!run_servants(param))
        return false;
    record_run("Smartx VM backup", vms_.size());
    // A stopped run ends as stopped, whatever its servants did before.
    if (is_canceled())
        return false;

    const uint64_t succeeded = static_cast<uint64_t>(succeeded_vm_.load());
    const uint64_t total = vms_.size();
    if (succeeded == 0)
        return false;
    if (succeeded < total) {
        json_spirit::Object props;
        props["failed_size"] = total - succeeded;
        if (!write_job_alert(
                job_, Error_ID::smartx(Error_ID::LV_ERROR, ALERT_SOME_VMS_FAILED, ALERT_EXTRA),
                json_spirit::Value(props), ALERT_COUNT)) {
            ACE_DEBUG(
                (LM_WARNING, ACE_TEXT("Failed to send smartx backup alert level %d, code %d.\n"),
                 static_cast<int>(Error_ID::LV_ERROR), static_cast<int>(ALERT_SOME_VMS_FAILED)));
        }
    }
    return true;
}
}  // namespace smartx
