// What the backup and the restore executor share around their servants:
// the CloudTower login, the stop test, the wait for the servants with
// progress readings, the decoding of each servant's reply into the VM's
// history and the run's sizes, and the run's record at the end.
#ifndef SMARTX_JOB_VM_JOB_EXECUTOR_T_H
#define SMARTX_JOB_VM_JOB_EXECUTOR_T_H

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Time_Value.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <exception>
#include <string>
#include <thread>
#include <unordered_map>

#include "host/host_manager.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant_task_scheduler.h"
#include "job/job_executor_t.h"
#include "models/task/task_base.h"
#include "qorm/check.h"
#include "smartx/common/history.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "smartx/common/restful_client.h"
#include "smartx/job/progress_reporter.h"
#include "smartx/job/utils.h"

namespace smartx {

template <class Source, class Options>
class VM_Job_Executor_T : public Job_Executor_T<Source, Options> {
public:
    typedef std::unordered_map<std::string, VM_History> VM_Histories;

    explicit VM_Job_Executor_T(Job& job) : Job_Executor_T<Source, Options>(job) {}

protected:
    typedef Job_Executor_T<Source, Options> Base;

    bool is_canceled() const { return job_state_is_stopping(load_job_state(this->act_)); }

    bool login_cluster() {
        const std::string& host_id = this->def_.host_id;
        if (!get_login_info(host_id, login_info_))
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to get login info of %C.\n"), host_id.c_str()), false);
        Error error;
        if (!client_.login(login_info_, &error))
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to login smartx %C.\n"), error.message.c_str()), false);
        return true;
    }

    // The job's options; a text without any option leaves them null, which
    // means every default. Null (logged) for options of another shape.
    const json_spirit::Object* job_options() const {
        static const json_spirit::Object none;
        QORM_CHECK_NOT_NULL_RETURN(this->opts_, nullptr);
        const json_spirit::Value& value = this->opts_->value();
        if (value.type() == json_spirit::null_type)
            return &none;
        QORM_CHECK_SHAPE_RETURN(value.type() == json_spirit::obj_type,
                                "opts_->value() is not object", nullptr);
        return &value.get_obj();
    }

    // What every servant request carries of the job: the definition, the
    // backup server and the CloudTower login.
    void fill_control(Control_Param& control) const {
        const Host_Manager* host = Host_Manager::instance();
        control.def_id = this->def_.id;
        control.host_id = this->def_.host_id;
        control.job_revision = this->def_.job_revision;
        control.resource_uuid = this->src_ != nullptr ? this->src_->id() : std::string();
        control.target_device_id = this->tgt_.device_id;
        control.access_key = host->access_key();
        control.backupd_host = host->backupd_host();
        control.backupd_port = static_cast<uint16_t>(host->backupd_port());
        control.backupd_ssl = host->backupd_ssl();
        control.max_seconds_retry = this->def_.max_seconds_retry;
        control.login_info = login_info_;
    }

    // The options' channel count (default 2) and parallelism, bounded by the
    // VM count (at least 1) and the channels; logged as "SmartX <kind> options".
    static int resolve_parallelism(const json_spirit::Object& opts, int vm_count,
                                   Parallelism_Param& parallelism, const char* kind) {
        int channels = DEFAULT_CHANNELS;
        json_spirit::object_get(opts, "channels", channels);
        json_spirit::object_get(opts, "parallel_vms", parallelism.vms);
        json_spirit::object_get(opts, "parallel_vms_per_host", parallelism.vms_per_host);
        json_spirit::object_get(opts, "parallel_disks_per_vm", parallelism.disks_per_vm);
        // No VM still makes a valid scheduler: the run ends on its own check.
        const int vms = std::max(vm_count, 1);
        parallelism.vms = std::min({parallelism.vms, vms, channels});
        parallelism.vms_per_host = std::min({parallelism.vms_per_host, vms, channels});
        parallelism.disks_per_vm = std::min(parallelism.disks_per_vm, channels);
        ACE_DEBUG((LM_INFO,
                   ACE_TEXT("SmartX %C options:\n  channels = %d\n  parallel_vms = %d\n  "
                            "parallel_vms_per_host = %d\n  parallel_disks_per_vm = %d\n"),
                   kind, channels, parallelism.vms, parallelism.vms_per_host,
                   parallelism.disks_per_vm));
        return channels;
    }

    // A servant's reply into its VM's history and the run's sizes (on the
    // scheduler's threads). kind names the job in the log ("backup"); vm_id
    // gets the reply's VM when it succeeded.
    Task_Base::Error take_vm_result(const JSON_RPC_Object_Ptr& reply, const char* kind,
                                    std::string* vm_id = nullptr) {
        json_spirit::Object result;
        if (!get_servant_result(reply, result))
            return Task_Base::CODE_FAILED;
        uint64_t storage_size = 0, source_size = 0, set_size = 0;
        std::string id;
        try {
            const int code = json_spirit::object_get_int_or_throw(result, "code");
            if (code != Task_Base::CODE_SUCCESS)
                return static_cast<Task_Base::Error>(code);
            storage_size = json_spirit::object_get_uint64_or_throw(result, "storage_size");
            source_size = json_spirit::object_get_uint64_or_throw(result, "source_size");
            set_size = json_spirit::object_get_uint64_or_throw(result, "set_size");
            id = json_spirit::object_get_str_or_throw(result, "vm_id");
        } catch (const std::exception& e) {
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Unrecognized Smartx VM %C response: %C.\n"), kind, e.what()),
                Task_Base::CODE_FAILED);
        }
        // Entries were all made before the scheduler started: look up, never insert.
        const typename VM_Histories::iterator history = histories_.find(id);
        if (history == histories_.end()) {
            ACE_ERROR_RETURN((LM_ERROR,
                              ACE_TEXT("Smartx VM %C response names VM %C, which this run did not "
                                       "%C.\n"),
                              kind, id.c_str(), kind),
                             Task_Base::CODE_FAILED);
        }
        storage_size_ += storage_size;
        source_size_ += source_size;
        set_size_ += set_size;
        history->second.set_size = set_size;
        history->second.size = source_size;
        history->second.storaged_size = storage_size;
        history->second.succeed = true;
        history->second.end_time = local_time_now();
        ++succeeded_vm_;
        if (vm_id != nullptr)
            *vm_id = id;
        return Task_Base::CODE_SUCCESS;
    }

    // Reads progress until the servants have ended or the job is stopped,
    // then waits for the last ones and sends the final reading.
    void wait_servants(Servant_Task_Scheduler& scheduler, Progress_Reporter& reporter) {
        // The loop sleeps up to the progress interval between readings; the
        // end of the last servant wakes it at once instead.
        std::thread finished([this, &scheduler] {
            scheduler.wait();
            this->job_.state_event().signal();
        });
        while (scheduler.is_running() && !is_canceled()) {
            reporter.update();
            ACE_Time_Value until =
                ACE_OS::gettimeofday() + ACE_Time_Value(PROGRESS_INTERVAL_SECONDS);
            this->job_.state_event().wait(&until);
        }
        scheduler.wait();
        finished.join();
        reporter.flush();
    }

    // The result line ("<label> result (succeeded/total): s/t."), the run's
    // sizes in the activity record and the histories as the job's result.
    void record_run(const char* label, size_t total) {
        ACE_DEBUG((LM_INFO, ACE_TEXT("%C result (succeeded/total): %d/%d.\n"), label,
                   succeeded_vm_.load(), static_cast<int>(total)));
        this->act_.set_storage_size = storage_size_.load();
        this->act_.set_size = set_size_.load();
        this->act_.size = source_size_.load();
        json_spirit::Array results;
        for (const auto& h : histories_)
            results.push_back(h.second.dump());
        this->job_.set_result("smartx", results);
    }

    static const int DEFAULT_CHANNELS = 2;
    // How long the run thread sleeps between progress readings when nothing wakes it.
    static const time_t PROGRESS_INTERVAL_SECONDS = 10;

    Login_Info login_info_;
    RESTful_Client client_;
    VM_Histories histories_;
    std::atomic<uint64_t> storage_size_{0};
    std::atomic<uint64_t> source_size_{0};
    std::atomic<uint64_t> set_size_{0};
    std::atomic<int> succeeded_vm_{0};
};

}  // namespace smartx

#endif
