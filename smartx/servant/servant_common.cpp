#include "smartx/servant/servant_common.h"

#include <cxxabi.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include <ace/Log_Msg.h>

#include "json_spirit/extract.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "smartx/common/cluster.h"
#include "smartx/common/connect_params.h"
#include "smartx/common/login_info.h"

namespace smartx {

int handle_guarded(const JSON_RPC_Channel_Weak_Ptr& channel, const JSON_RPC_Object_Ptr& obj,
                   const char* what, const std::function<int()>& handle,
                   const std::function<void()>& on_abandon) {
    const char* answer = "Internal error.";
    try {
        return handle();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc& e) {
        qorm::log_caught(what, &e);
        answer = "Internal error, out of memory.";
    } catch (const std::exception& e) {
        qorm::log_caught(what, &e);
    } catch (...) {
        qorm::log_caught(what, nullptr);
    }
    qorm::guarded_void("close the SmartX servant request", on_abandon);
    const std::shared_ptr<JSON_RPC_Channel> requester = channel.lock();
    if (!requester || obj.get() == nullptr || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
        return -1;
    return qorm::guarded("answer SmartX servant request", -1, [&] {
        return requester->send_error(JSON_RPC_INTERNAL_ERROR, obj->id, answer,
                                     json_spirit::Value());
    });
}

std::shared_ptr<JSON_RPC_Channel> requester_of(const JSON_RPC_Channel_Weak_Ptr& channel,
                                               const JSON_RPC_Object_Ptr& obj) {
    std::shared_ptr<JSON_RPC_Channel> requester = channel.lock();
    if (!requester) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Abort handling JSON-RPC request, requester has gone.\n")));
        return nullptr;
    }
    QORM_CHECK_SHAPE_RETURN(obj.get() != nullptr && obj->type() == JSON_RPC_Object::TYPE_REQUEST,
                            "obj is not JSON-RPC request", nullptr);
    return requester;
}

bool take_request_params(const JSON_RPC_Request& request, json_spirit::Value& param,
                         json_spirit::Value& entry, const char* log_format) {
    try {
        json_spirit::extract_or_throw(request.params.get_obj())("param", param, true)("entry",
                                                                                      entry, true);
    } catch (const std::exception& e) {
        ACE_ERROR((LM_ERROR, log_format, e.what()));
        return false;
    }
    return true;
}

int send_invalid_params(JSON_RPC_Channel& channel, const JSON_RPC_Request& request) {
    return channel.send_error(JSON_RPC_INVALID_PARAMS, request.id, nullptr, json_spirit::Value());
}

int send_internal_error(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                        const char* message) {
    return channel.send_error(JSON_RPC_INTERNAL_ERROR, request.id, message, json_spirit::Value());
}

int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                json_spirit::Object& result) {
    std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(request));
    if (!response) {
        errno = ENOMEM;
        return send_internal_error(channel, request, "Internal error, out of memory.");
    }
    response->result = json_spirit::Value(std::move(result));
    result.clear();
    return channel.send(*response);
}

bool open_job_records(Job_Activity_Map& job_act, VM_Progress_Handle& progress,
                      const std::string& def_id, const std::string& vm_id,
                      const char* progress_failure) {
    if (job_act.open(def_id, false) != 0) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Failed to open activity object of job %C.\n"), def_id.c_str()));
        return false;
    }
    QORM_CHECK_RETURN(job_act, "job_act_ is NULL", false);
    if (progress.open(def_id, vm_id, false, true, 0750) != 0) {
        ACE_ERROR((LM_ERROR, progress_failure, def_id.c_str(), vm_id.c_str()));
        return false;
    }
    QORM_CHECK_RETURN(progress, "progress_ is NULL", false);
    return true;
}

void reset_progress(VM_Progress_Info& progress, time_t start_time) {
    progress.state = VM_Job_Progress::STATE_PENDING;
    progress.processed_virtual_disk_count = 0;
    progress.processed_bytes = 0;
    progress.total_bytes = 0;
    progress.virtual_disk_count = 0;
    progress.start_time = start_time;
    progress.end_time = 0;
}

bool open_cluster(RESTful_Client& client, Control_Param& control, const std::string& cluster_id,
                  std::string& cluster_ip, Zbs_Handle& zbs, Error& error) {
    if (zbs_init(control.zbs_version.c_str()) != 1) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to init zbs[%C].\n"), control.zbs_version.c_str()));
        return false;
    }
    if (!client.login(control.login_info, &error)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to login SmartX %C.\n"), error.message.c_str()));
        return false;
    }
    std::vector<Cluster> clusters;
    if (!client.query_clusters(clusters, &error)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query clusters %C.\n"), error.message.c_str()));
        return false;
    }
    const auto cluster = std::find_if(clusters.begin(), clusters.end(),
                                      [&](const Cluster& c) { return c.id == cluster_id; });
    if (cluster == clusters.end()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to find cluster ip.\n")));
        return false;
    }
    cluster_ip = cluster->ip;
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("the cluster ip is %C.\n"), cluster_ip.c_str()));
    zbs = open_zbs_handle(client, cluster_id);
    return static_cast<bool>(zbs);
}

Zbs_Handle open_zbs_handle(RESTful_Client& client, const std::string& cluster_id) {
    std::string zbs_data_ip;
    if (!client.get_zbs_data_ip(cluster_id, zbs_data_ip)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get zbs data ip.\n")));
        return Zbs_Handle();
    }
    const Smartx_Connect_Params* connect = Smartx_Connect_Params::instance();
    char* zbs_error = nullptr;
    Zbs_Handle zbs(zbs_create_external_with_timeout(
        zbs_data_ip.c_str(),
        connect != nullptr ? connect->timeout_ms() : Smartx_Connect_Params().timeout_ms(),
        &zbs_error));
    if (!zbs)
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create zbs handle, error: %C.\n"),
                   zbs_error != nullptr ? zbs_error : ""));
    return zbs;
}

void raise_vm_alert(RESTful_Alert_Client& client, const Control_Param& control,
                    const Job_Activity* activity, unsigned level, unsigned code, unsigned extra,
                    const json_spirit::Object& detail) {
    const Error_ID id = Error_ID::smartx(level, code, extra);
    if (!send_alert(client, id.value(), detail, control, activity))
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to send smartx backup alert level %d, code %d.\n"),
                   static_cast<int>(level), static_cast<int>(code)));
}

bool job_stopping(const Job_Activity_Map& job_act) {
    if (!job_act)
        return false;
    // Written by the job engine in another process.
    const Job_State state = load_job_state(*job_act.get());
    return state == JOB_STATE_CANCELING || state == JOB_STATE_CANCELED ||
           state == JOB_STATE_ABORTING;
}

}  // namespace smartx
