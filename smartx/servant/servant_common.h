// What the backup and the restore servant handlers do alike: taking a
// JSON-RPC request apart, answering it, containing what is thrown, the job's
// records, the ZBS connection of a cluster, alerts and the stop test.
#ifndef SMARTX_SERVANT_SERVANT_COMMON_H
#define SMARTX_SERVANT_SERVANT_COMMON_H

#include <ctime>
#include <functional>
#include <string>

#include "host/backupd_client.h"
#include "host/job/activity_map.h"
#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"
#include "smartx/common/error.h"
#include "smartx/common/param.h"
#include "smartx/common/progress_info.h"
#include "smartx/common/restful_client.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {

// Runs handle for one object; whatever it throws is logged, then
// on_abandon cleans up and the requester, if still there, is answered
// -32603 ("Internal error, out of memory." for bad_alloc). what names the
// request in the log.
int handle_guarded(const JSON_RPC_Channel_Weak_Ptr& channel, const JSON_RPC_Object_Ptr& obj,
                   const char* what, const std::function<int()>& handle,
                   const std::function<void()>& on_abandon);

// The strong channel and the request of obj; null (logged) when the
// requester has gone or obj is no request.
std::shared_ptr<JSON_RPC_Channel> requester_of(const JSON_RPC_Channel_Weak_Ptr& channel,
                                               const JSON_RPC_Object_Ptr& obj);

// "param" and "entry" of the request's params, both required; false (logged
// with log_format, one %s for the reason) when either is missing.
bool take_request_params(const JSON_RPC_Request& request, json_spirit::Value& param,
                         json_spirit::Value& entry, const char* log_format);

int send_invalid_params(JSON_RPC_Channel& channel, const JSON_RPC_Request& request);
int send_internal_error(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                        const char* message);
// Moves result into the response; -32603 when the response cannot be made.
int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                json_spirit::Object& result);

// Opens the job's activity record and the VM's progress record.
// progress_failure: the log format, job id then VM id.
bool open_job_records(Job_Activity_Map& job_act, VM_Progress_Handle& progress,
                      const std::string& def_id, const std::string& vm_id,
                      const char* progress_failure);

// Zeroes the counters and sets the start time.
void reset_progress(VM_Progress_Info& progress, time_t start_time);

// Loads the ZBS library, logs in to CloudTower, finds the cluster's ip and
// opens a ZBS handle on it; each failure is logged.
bool open_cluster(RESTful_Client& client, Control_Param& control, const std::string& cluster_id,
                  std::string& cluster_ip, Zbs_Handle& zbs, Error& error);

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
