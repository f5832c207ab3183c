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
#include "qorm/scoped_deleter.h"
#include "smartx/common/cluster.h"
#include "smartx/common/connect_params.h"
#include "smartx/common/login_info.h"

namespace smartx {

int Servant_Handler::handle_object(const JSON_RPC_Channel_Weak_Ptr& channel,
                                   const JSON_RPC_Object_Ptr& obj) {
    const std::string what = std::string("handle SmartX ") + what_ + " request";
    const char* answer = "Internal error.";
    try {
        return handle_request(channel, obj);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc& e) {
        qorm::log_caught(what.c_str(), &e);
        answer = "Internal error, out of memory.";
    } catch (const std::exception& e) {
        qorm::log_caught(what.c_str(), &e);
    } catch (...) {
        qorm::log_caught(what.c_str(), nullptr);
    }
    // Thrown half-way: the library went with the unwinding; a request that
    // had not ended is failed, the records are let go, and the requester
    // hears of it if it can.
    qorm::guarded_void("close the SmartX servant request", [this] {
        fail_progress(::time(nullptr));
        close_request();
    });
    const std::shared_ptr<JSON_RPC_Channel> requester = channel.lock();
    if (!requester || obj.get() == nullptr || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
        return -1;
    return qorm::guarded("answer SmartX servant request", -1, [&] {
        return requester->send_error(JSON_RPC_INTERNAL_ERROR, obj->id, answer,
                                     json_spirit::Value());
    });
}

int Servant_Handler::handle_request(const JSON_RPC_Channel_Weak_Ptr& channel,
                                    const JSON_RPC_Object_Ptr& obj) {
    const std::shared_ptr<JSON_RPC_Channel> requester = channel.lock();
    if (!requester) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Abort handling JSON-RPC request, requester has gone.\n")));
        return -1;
    }
    QORM_CHECK_SHAPE_RETURN(obj.get() != nullptr && obj->type() == JSON_RPC_Object::TYPE_REQUEST,
                            "obj is not JSON-RPC request", -1);
    const JSON_RPC_Request& request = static_cast<const JSON_RPC_Request&>(*obj);

    reset_request();
    json_spirit::Value param;
    json_spirit::Value entry;
    try {
        // clang-format off
        json_spirit::extract_or_throw(request.params.get_obj())
            ("param", param, true)
            ("entry", entry, true);
        // clang-format on
    } catch (const std::exception& e) {
        ACE_ERROR((LM_ERROR, params_failure_, e.what()));
        return requester->send_error(JSON_RPC_INVALID_PARAMS, request.id, nullptr,
                                     json_spirit::Value());
    }
    if (!load_params(param, entry))
        return requester->send_error(JSON_RPC_INVALID_PARAMS, request.id, nullptr,
                                     json_spirit::Value());
    const std::string bad = params_out_of_range();
    if (!bad.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Refused %C request: %C.\n"), what_, bad.c_str()));
        return requester->send_error(JSON_RPC_INVALID_PARAMS, request.id,
                                     ("Invalid params: " + bad + ".").c_str(),
                                     json_spirit::Value());
    }
    if (!client_) {
        errno = ENOMEM;
        return send_internal_error(*requester, request, "Internal error, out of memory.");
    }
    const int sent = handle_loaded(*requester, request);
    // Nothing of an answered request stays open: its connections and records.
    close_request();
    return sent;
}

int Servant_Handler::handle_loaded(JSON_RPC_Channel& channel, const JSON_RPC_Request& request) {
    if (!job_init())
        return send_internal_error(channel, request, "Failed to initialize job.");
    // The library goes with the request, whatever happens from here on;
    // what it handed out goes first.
    auto unload = make_deleter([this] {
        release_zbs();
        zbs_finalize();
    });
    if (!init()) {
        set_progress_state(VM_Job_Progress::STATE_FAILED);
        progress_->end_time = ::time(nullptr);
        return send_internal_error(channel, request, "Failed to initialize members.");
    }
    run();
    return send_result(channel, request, result_);
}

void Servant_Handler::close_request() {
    client_.reset();
    job_act_.close();
    progress_.close();
}

void Servant_Handler::set_progress_state(VM_Job_Progress::VM_State state) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_->state = state;
}

void Servant_Handler::fail_progress(time_t now) {
    if (!progress_)
        return;
    const int32_t state = progress_->state;
    if (state != VM_Job_Progress::STATE_COMPLETED && state != VM_Job_Progress::STATE_FAILED) {
        set_progress_state(VM_Job_Progress::STATE_FAILED);
        progress_->end_time = now;
    }
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
                  std::string& cluster_ip, Zbs_Handle& zbs, Error& error,
                  const ACE_TCHAR* login_failure) {
    if (zbs_init(control.zbs_version.c_str()) != 1) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to init zbs[%C].\n"), control.zbs_version.c_str()));
        return false;
    }
    if (!client.login(control.login_info, &error)) {
        ACE_ERROR((LM_ERROR, login_failure, error.message.c_str()));
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
