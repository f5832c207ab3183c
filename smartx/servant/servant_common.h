// What the backup and the restore servant handlers do alike: taking a
// JSON-RPC request apart, answering it, containing what is thrown, the job's
// records, the ZBS connection of a cluster, alerts and the stop test.
#ifndef SMARTX_SERVANT_SERVANT_COMMON_H
#define SMARTX_SERVANT_SERVANT_COMMON_H

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>

#include "host/backupd_client.h"
#include "host/job/activity_map.h"
#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"
#include "models/task/thread_task_scheduler.h"
#include "qorm/check.h"
#include "smartx/common/error.h"
#include "smartx/common/param.h"
#include "smartx/common/progress_info.h"
#include "smartx/common/restful_client.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {

// One JSON-RPC request at a time, answered once: what both servant handlers
// do alike around their own work. A request's "param" and "entry" are
// required; the job's records and the CloudTower client belong to the
// request and are let go once it is answered.
class Servant_Handler : public JSON_RPC_Handler {
public:
    // No exception leaves it: one thrown half-way fails the request and is
    // answered with -32603 when the requester can still be reached.
    int handle_object(const JSON_RPC_Channel_Weak_Ptr& channel,
                      const JSON_RPC_Object_Ptr& obj) final;

protected:
    // what names the request in the log ("backup", "restore");
    // params_failure is the servant's own log format for a request without
    // its "param" or "entry" (one %C: the reason).
    Servant_Handler(const char* what, const ACE_TCHAR* params_failure)
        : what_(what), params_failure_(params_failure) {}

    // Forgets everything of the previous request; a new client_ included.
    virtual void reset_request() = 0;
    // Loads the request's "param" and "entry"; false answers -32602.
    virtual bool load_params(const json_spirit::Value& param, const json_spirit::Value& entry) = 0;
    // What of the loaded request lies outside what the servant can honour
    // (empty: nothing); answered -32602 naming it, before anything is made.
    virtual std::string params_out_of_range() const = 0;
    // The request's job records, then its connections; each false is
    // answered -32603 ("Failed to initialize job." / "... members.").
    virtual bool job_init() = 0;
    virtual bool init() = 0;
    // The work of the request, once set up: its outcome into result_.
    virtual void run() = 0;
    // Lets go of what the ZBS library handed out, before it is unloaded.
    virtual void release_zbs() { zbs_.reset(); }

    // Lets go of the request's client and records.
    void close_request();
    void set_progress_state(VM_Job_Progress::VM_State state);
    // A request that ends without its state: failed, now.
    void fail_progress(time_t now);

    Zbs_Handle zbs_;
    json_spirit::Object result_;
    Job_Activity_Map job_act_;
    VM_Progress_Handle progress_;
    std::unique_ptr<RESTful_Client> client_;
    // Guards progress updates from worker threads.
    std::mutex mutex_;
    RESTful_Alert_Client alert_client_;

private:
    int handle_request(const JSON_RPC_Channel_Weak_Ptr& channel, const JSON_RPC_Object_Ptr& obj);
    int handle_loaded(JSON_RPC_Channel& channel, const JSON_RPC_Request& request);

    const char* what_;
    const ACE_TCHAR* params_failure_;
};

int send_internal_error(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                        const char* message);
// Moves result into the response; -32603 when the response cannot be made.
int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                json_spirit::Object& result);

// Runs one task per disk (named by name) on up to workers threads with the
// job's retries, stopped by stopped(); false when the scheduler cannot be
// set up, a task is refused or the wait fails (each logged).
template <class Chunk>
bool run_disk_tasks(const std::vector<std::shared_ptr<Chunk>>& chunks,
                    const std::function<std::string(const Chunk&)>& name, const Retry_Param& retry,
                    int workers, const std::function<bool()>& stopped,
                    const typename Thread_Task_Scheduler<Chunk>::Worker_Function& body) {
    // Disk tasks one request may have waiting at once.
    enum { DISK_TASK_LIMIT = 1024 };
    Thread_Task_Scheduler<Chunk> scheduler(DISK_TASK_LIMIT);
    if (!scheduler.register_stop_callback(stopped) ||
        !scheduler.enable_retry(retry.max_retries, retry.max_internal))
        return false;
    for (const std::shared_ptr<Chunk>& i : chunks) {
        QORM_CHECK_NOT_NULL_RETURN(i, false);
        const std::string task = name(*i);
        if (!scheduler.enqueue_task(i, nullptr, 0, task.c_str(), nullptr)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to enqueue task of backup volume[%C].\n"),
                       task.c_str()));
            return false;
        }
    }
    if (!scheduler.activate(workers, body)) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT("Failed to activate disk scheduler, limit of disk parallelism is '%d'.\n"),
             workers));
        return false;
    }
    return scheduler.wait();
}

// Opens the job's activity record and the VM's progress record.
// progress_failure: the log format, job id then VM id.
bool open_job_records(Job_Activity_Map& job_act, VM_Progress_Handle& progress,
                      const std::string& def_id, const std::string& vm_id,
                      const char* progress_failure);

// Zeroes the counters and sets the start time.
void reset_progress(VM_Progress_Info& progress, time_t start_time);

// Loads the ZBS library, logs in to CloudTower, finds the cluster's ip and
// opens a ZBS handle on it; each failure is logged. login_failure: the log
// format of a failed login, given the error's message.
bool open_cluster(RESTful_Client& client, Control_Param& control, const std::string& cluster_id,
                  std::string& cluster_ip, Zbs_Handle& zbs, Error& error,
                  const ACE_TCHAR* login_failure);

// A ZBS handle on the cluster's data addresses; null (logged) on failure.
Zbs_Handle open_zbs_handle(RESTful_Client& client, const std::string& cluster_id);

// Raises a SmartX alert for the VM; a failed send is logged as a warning.
void raise_vm_alert(RESTful_Alert_Client& client, const Control_Param& control,
                    const Job_Activity* activity, unsigned level, unsigned code, unsigned extra,
                    const json_spirit::Object& detail);

// The job is being cancelled or aborted; false when the record is not open.
bool job_stopping(const Job_Activity_Map& job_act);

}  // namespace smartx

#endif
