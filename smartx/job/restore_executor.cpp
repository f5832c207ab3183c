#include "smartx/job/restore_executor.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <utility>

#include "host/backupd_client.h"
#include "host/job_definition_subtype.h"
#include "host/loose_version.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/smartx_backup_set.h"
#include "qorm/check.h"
#include "qorm/client_io_options_helper.h"
#include "qorm/key2_value.h"
#include "smartx/common/alert_codes.h"
#include "smartx/common/version.h"
#include "smartx/common/vm.h"
#include "smartx/job/progress_reporter.h"
#include "smartx/job/utils.h"
#include "smartx/servant/restore_leftovers.h"

namespace smartx {
const char* const Restore_Executor::DEFAULT_NAME = "Smartx_Restore_VM_Servant";

namespace {
const char* const SCHEDULER_NAME = "smartx.servant.restore";
const size_t SCHEDULER_CAPACITY = 1024;
const char* const MINIMUM_VERSION = "3.0.0";
// Alerts of what the start-up sweep keeps: no extra code, sent once.
const unsigned ALERT_EXTRA = 0;
const int ALERT_COUNT = 1;
// Storage I/O of a restore reads images: no pool decides the compression.
const int RESTORE_COMPRESSION = 1;
// Retries of the catalog reads: the catalog operator's own (none).
const int CATALOG_RETRIES = -1;

const Key2_Value_T<Duplicate_VM_Type> DUPLICATE_TYPE_TABLE[] = {
    key2_value_row("ignore", Duplicate_VM_Type::IGNORE),
    key2_value_row("timestamp", Duplicate_VM_Type::TIMESTAMP),
    key2_value_row("overwrite", Duplicate_VM_Type::OVERWRITE),
    key2_value_row("recycle", Duplicate_VM_Type::RECYCLE),
    key2_value_end(Duplicate_VM_Type::UNKNOWN),
};

template <class T>
void read_option(const json_spirit::Object& opts, const char* key, T& out) {
    json_spirit::object_get(opts, key, out);
}

// VMs the platform runs for itself (the CloudTower VM, the backup
// controller, ...): never powered off, replaced or restored into.
bool is_system_vm(const VM& vm) {
    return !vm.vm_usage.empty();
}
}  // namespace

Duplicate_VM_Type duplicate_vm_type(const std::string& name) {
    return get_value_by_key(DUPLICATE_TYPE_TABLE, name.c_str());
}

bool check_version(RESTful_Client& client, const char* minimum) {
    Version version;
    Error error;
    if (!client.query_version(version, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get system version, SmartX Error (%C).\n"),
                          error.message.c_str()),
                         false);
    Loose_Version min;
    if (minimum == nullptr || !min.parse(minimum))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to parse version min(%C).\n"),
                          minimum != nullptr ? minimum : "(null)"),
                         false);
    if (!version.version || version.version.compare(min) < 0)
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Not meeting the minimum requirement version %C, current(%C).\n"),
             minimum, version.version.str().c_str()),
            false);
    return true;
}

Restore_Executor::Restore_Executor(Job& job) : VM_Job_Executor_T(job) {}
Restore_Executor::~Restore_Executor() = default;

bool Restore_Executor::resolve_param(int vm_count, Restore_Param& param) {
    const json_spirit::Object* options = job_options();
    if (options == nullptr)
        return false;
    const json_spirit::Object& opts = *options;
    Control_Param& control = param.control;
    Parallelism_Param& parallelism = control.parallelism;
    fill_control(control);

    const int channels = resolve_parallelism(opts, vm_count, parallelism, "restore");
    read_option(opts, "zbs_version", control.zbs_version);
    read_option(opts, "reserve_mac", param.reserve_mac);
    read_option(opts, "start_vm", param.start_vm);
    read_option(opts, "stop_vm_op", param.stop_vm_op);
    read_option(opts, "original_restore", param.original_restore);
    read_option(opts, "restore_cdroms", param.restore_cdroms);
    read_option(opts, "restore_nics", param.restore_nics);
    read_option(opts, "restore_tags", param.restore_tags);
    read_option(opts, "retain_vm_version", param.retain_vm_version);
    read_option(opts, "overwrite_bootable", param.overwrite_bootable);
    read_option(opts, "retain_id", param.retain_id);
    read_option(opts, "write_buffer_size", param.write_buffer_size);
    read_option(opts, "duplicate_vm", param.duplicate_vm);

    param.restore_type = static_cast<Job_Definition_Subtype>(def_.subtype);
    control.io_opts.compression = RESTORE_COMPRESSION;
    set_options_by_host(control.io_opts);
    set_options_by_job_def(control.io_opts, def_, channels);

    return true;
}

void Restore_Executor::handle_duplicate_vm(const VM& existing, Plan& plan) {
    std::string& name = plan.entry.vm_tgt_name;
    plan.rule = duplicate_vm_type(param_.duplicate_vm);
    switch (plan.rule) {
        case Duplicate_VM_Type::IGNORE:
            ACE_DEBUG(
                (LM_WARNING, ACE_TEXT("Skip restoring VM %C, already exists.\n"), name.c_str()));
            plan.step = Plan::SKIP;
            return;
        case Duplicate_VM_Type::TIMESTAMP:
            name += local_time_now("_%Y%m%d_%H%M%S");
            plan.step = Plan::RESTORE;
            return;
        case Duplicate_VM_Type::OVERWRITE:
        case Duplicate_VM_Type::RECYCLE:
            if (protected_flag_) {
                ACE_DEBUG((LM_WARNING, ACE_TEXT("Skip restoring VM %C, VM is protected.\n"),
                           name.c_str()));
                plan.step = Plan::SKIP;
                return;
            }
            if (is_system_vm(existing)) {
                ACE_DEBUG((LM_WARNING,
                           ACE_TEXT("Skip restoring VM %C, the VM of that name is the platform's "
                                    "own (%C) and is never replaced.\n"),
                           name.c_str(), existing.vm_usage.c_str()));
                plan.step = Plan::SKIP;
                return;
            }
            plan.existing_vm_id = existing.id;
            plan.existing_running = existing.status == "RUNNING";
            plan.step = Plan::REPLACE;
            return;
        case Duplicate_VM_Type::UNKNOWN:
            break;
    }
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("Unknown duplicate_vm type, skip restoring VM %C.\n"), name.c_str()));
    plan.step = Plan::SKIP;
}

bool Restore_Executor::plan_entries(const json_spirit::Array& entries, Progress_Reporter& reporter,
                                    std::vector<Plan>& plans) {
    if (!get_vm_protected_flags(tgt_.id, protected_flag_))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get target protected flag.\n")), false);
    const bool disk_restore = def_.subtype == JOB_DEFINITION_SUBTYPE_DISK;
    if (disk_restore && protected_flag_)
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to restore disks to VMs, VMs are protected.\n")), false);
    const std::string resource_uuid = src_->id();

    plans.clear();
    plans.reserve(entries.size());
    for (const json_spirit::Value& element : entries) {
        plans.emplace_back();
        Plan& plan = plans.back();
        Restore_Source_Entry& entry = plan.entry;
        if (element.type() != json_spirit::obj_type || !entry.load(element) ||
            entry.catalog_uuid.empty() || entry.vm_src_id.empty())
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Invalid job entries.\n")), false);
        // A VM's progress file, history and reply are keyed by its source id.
        for (size_t i = 0; i + 1 < plans.size(); ++i)
            if (plans[i].entry.vm_src_id == entry.vm_src_id)
                ACE_ERROR_RETURN(
                    (LM_ERROR, ACE_TEXT("Invalid job entries: VM %C is restored twice.\n"),
                     entry.vm_src_id.c_str()),
                    false);
        if (!param_.original_restore && !disk_restore && entry.vm_tgt_name.empty())
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to create VM, vm name is needed.\n")),
                             false);

        // Each entry reads its own set: nothing of another entry's row stays.
        SmartX_Backup_Set set;
        if (!get_catalog_by_uuid(entry.catalog_uuid, resource_uuid, set, CATALOG_RETRIES,
                                 CATALOG_RETRIES))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get catalog by uuid %C.\n"),
                              entry.catalog_uuid.c_str()),
                             false);
        if (def_.subtype == JOB_DEFINITION_SUBTYPE_VM && set.vm_id != entry.vm_src_id)
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to check the VM_id [%C] in backup set.\n"),
                              set.vm_id.c_str()),
                             false);
        if (!set.storages.empty())
            plan.pool_uuid = set.storages.back().pool_uuid;
        else
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to record pool_uuid, catalog uuid: %C.\n"),
                       entry.catalog_uuid.c_str()));

        Error error;
        if (disk_restore || param_.original_restore) {
            VM source;
            if (!client_.query_vm(entry.vm_src_id, source, &error)) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to find VM, VM_id [%C] is not exist.\n"),
                           entry.vm_src_id.c_str()));
                plan.step = Plan::FAIL;
            } else if (is_system_vm(source)) {
                ACE_DEBUG((LM_WARNING,
                           ACE_TEXT("Skip restoring into VM %C, it is the platform's own (%C).\n"),
                           source.name.c_str(), source.vm_usage.c_str()));
                plan.step = Plan::SKIP;
            } else {
                entry.vm_tgt_id = set.vm_id;
                plan.step = Plan::INTO_VM;
            }
        } else if (entry.vm_tgt_name == CLOUDTOWER_VM_NAME) {
            // No listing shows the management VM: a VM of its name would be
            // made beside it, and neither replaced nor renamed by any rule.
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Refused to restore VM %C as %C: the name is the CloudTower "
                                "VM's.\n"),
                       entry.vm_src_name.c_str(), entry.vm_tgt_name.c_str()));
            plan.step = Plan::FAIL;
        } else {
            // Only a clean answer without the name makes the target absent; a
            // failed query says nothing about it.
            std::vector<VM> named;
            if (!client_.query_vms_by_name_contains(entry.vm_tgt_name, named, &error)) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to check VM[%C] existence, details: %C.\n"),
                           entry.vm_tgt_name.c_str(), error.message.c_str()));
                plan.step = Plan::FAIL;
            } else {
                // A VM in the recycle bin no longer holds its name.
                const auto same = std::find_if(named.begin(), named.end(), [&entry](const VM& vm) {
                    return vm.name == entry.vm_tgt_name && !vm.in_recycle_bin;
                });
                if (same != named.end())
                    handle_duplicate_vm(*same, plan);
            }
        }
        if (plan.step == Plan::SKIP || plan.step == Plan::FAIL)
            continue;
        if (!reporter.add_vm(entry.vm_src_id, entry.vm_src_name))
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to add target VM[%C] to reporter of progress.\n"),
                 entry.vm_src_name.c_str()),
                false);
    }
    return true;
}

bool Restore_Executor::clear_target(Plan& plan) {
    const Restore_Source_Entry& entry = plan.entry;
    Error error;
    switch (plan.step) {
        case Plan::INTO_VM:
            if (!client_.poweroff_vm(entry.vm_src_id, &error))
                ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to power off VM_id [%C].\n"),
                                  entry.vm_src_id.c_str()),
                                 false);
            return true;
        case Plan::REPLACE: {
            const char* name = entry.vm_tgt_name.c_str();
            const bool recycle = plan.rule == Duplicate_VM_Type::RECYCLE;
            if (!client_.poweroff_vm(plan.existing_vm_id, &error))
                ACE_ERROR_RETURN(
                    (LM_ERROR,
                     ACE_TEXT("Failed to poweroff VM %C before %C, details: %C and "
                              "skip restoring it.\n"),
                     name, recycle ? "move it to recycle bin" : "delete it", error.message.c_str()),
                    false);
            bool gone;
            if (recycle)
                gone = client_.move_vm_to_recycle_bin(plan.existing_vm_id, &error);
            else
                gone = client_.delete_vm(plan.existing_vm_id, false, &error);
            if (gone)
                return true;
            if (recycle)
                ACE_ERROR((LM_ERROR,
                           ACE_TEXT("Failed to move VM %C to recycle bin, details: %Cskip "
                                    "restoring it.\n"),
                           name, error.message.c_str()));
            else
                ACE_ERROR((LM_ERROR,
                           ACE_TEXT("Failed to delete existing VM %C, details: %Cand skip "
                                    "restoring it.\n"),
                           name, error.message.c_str()));
            // The VM stays: as it was before, running again when it ran.
            if (plan.existing_running && !client_.start_vm(plan.existing_vm_id, &error))
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to power on VM %C again, details: %C.\n"),
                           name, error.message.c_str()));
            return false;
        }
        default:
            break;
    }
    return true;
}

void Restore_Executor::count_vm(const Plan& plan) {
    const Restore_Source_Entry& entry = plan.entry;
    VM_History& history = histories_[entry.vm_src_id];
    history.uuid = entry.vm_src_id;
    history.name = entry.vm_src_name;
    history.host = entry.vm_tgt_host_id;
    history.start_time = local_time_now();
    total_vms_.push_back(entry.vm_src_id);
}

void Restore_Executor::run_plans(std::vector<Plan>& plans, Servant_Task_Scheduler& scheduler) {
    for (Plan& plan : plans) {
        // A stopped job powers off, replaces and starts nothing more.
        if (is_canceled())
            return;
        if (plan.step == Plan::SKIP)
            continue;
        const Restore_Source_Entry& entry = plan.entry;
        count_vm(plan);
        if (plan.step == Plan::FAIL || !clear_target(plan))
            continue;
        if (!plan.pool_uuid.empty())
            job_.append_result(
                Job_Result::Restore_Path_Entry{entry.vm_src_id, entry.vm_src_name, plan.pool_uuid});
        json_spirit::Object params;
        params["param"] = param_.dump();
        params["entry"] = entry.dump();
        const std::string task_name = "restore_vm_" + entry.vm_src_name;
        if (!scheduler.enqueue_task(params, entry.vm_tgt_host_id, 0, task_name.c_str(), nullptr))
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to enqueue restore servant task of VM[%C].\n"),
                       entry.vm_src_name.c_str()));
    }
}

bool Restore_Executor::execute_i(const Action_Options*) {
    QORM_CHECK_NOT_NULL_RETURN(src_, false);
    QORM_CHECK_SHAPE_RETURN(src_->value().type() == json_spirit::obj_type,
                            "src_->value() is not object", false);
    if (!login_cluster()) {
        // A platform too old for the module refuses the login itself: say so.
        if (!client_.version().empty())
            check_version(client_, MINIMUM_VERSION);
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to login SmartX when restore.\n")), false);
    }
    if (!check_version(client_, MINIMUM_VERSION))
        return false;
    // What dead restores made goes before any name is checked: a VM a killed
    // servant made is no VM of the new name.
    // A cancel ends the sweep's waits; what it does not finish is left to
    // the next run.
    client_.set_stop_check([this] { return is_canceled(); });
    sweep_dead_restores(client_, journal_tower(login_info_), [this](const Leftover_Kept& kept) {
        if (!write_job_alert(job_, Error_ID::LV_WARNING, ALERT_RESTORE_LEFTOVER_KEPT, ALERT_EXTRA,
                             json_spirit::Value(leftover_alert_detail(kept)), ALERT_COUNT))
            ACE_DEBUG((LM_WARNING,
                       ACE_TEXT("Failed to send smartx restore alert level %d, code %d.\n"),
                       static_cast<int>(Error_ID::LV_WARNING),
                       static_cast<int>(ALERT_RESTORE_LEFTOVER_KEPT)));
    });
    client_.set_stop_check(nullptr);
    if (is_canceled())
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("The restore job is stopped.\n")), false);
    const json_spirit::Array* entries =
        json_spirit::object_get_array(src_->value().get_obj(), "entries");
    if (entries == nullptr)
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to parse restore source: %C.\n"),
                          "\"entries\" is missing or not an array"),
                         false);
    const int vm_count = static_cast<int>(std::min<size_t>(entries->size(), INT_MAX));
    if (!resolve_param(vm_count, param_))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to resolve param.\n")), false);

    Progress_Reporter reporter(evt_handler_, act_);
    Servant_Task_Scheduler scheduler(SCHEDULER_NAME, SCHEDULER_CAPACITY);
    const Parallelism_Param& parallelism = param_.control.parallelism;
    if (!scheduler.register_stop_callback([this] { return is_canceled(); }) ||
        !scheduler.enable_owner_limit(parallelism.vms_per_host))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to register scheduler.\n")), false);

    // Every entry is checked before anything is powered off, replaced or
    // restored: a job that cannot run changes nothing.
    std::vector<Plan> plans;
    if (!plan_entries(*entries, reporter, plans))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to prepare entries.\n")), false);
    if (std::none_of(plans.begin(), plans.end(),
                     [](const Plan& p) { return p.step != Plan::SKIP; }))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("The list of VM to be restored is empty.\n")), false);
    if (!reporter.activate(def_.id))
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to activate reporter, def_id: %C.\n"), def_.id.c_str()),
            false);
    run_plans(plans, scheduler);

    const std::string zbs_version = param_.control.zbs_version;
    const auto init = [this, &zbs_version](Servant& servant, const json_spirit::Object& params) {
        const json_spirit::Object* entry = json_spirit::object_get_object(params, "entry");
        QORM_CHECK_NOT_NULL_RETURN(entry, false);
        // Into the original VM the entry may name no target: the source's name then.
        std::string name;
        if (!json_spirit::object_get(*entry, "target_vm_name", name) || name.empty())
            json_spirit::object_get(*entry, "name", name);
        if (name.empty())
            name = DEFAULT_NAME;
        return init_servant(servant, name, zbs_version, job_.log_msg_callback());
    };
    const auto result = [this](const JSON_RPC_Object_Ptr& reply) {
        return static_cast<int>(handle_vm_result(reply));
    };
    if (!scheduler.activate(parallelism.vms, init, result))
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to activate scheduler.\n")));
    else
        wait_servants(scheduler, reporter);
    record_run("SmartX VM restore", total_vms_.size());
    if (is_canceled())
        return false;
    return static_cast<size_t>(succeeded_vm_.load()) == total_vms_.size();
}

}  // namespace smartx
