#include "host/backupd_client.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <ace/Log_Msg.h>

#include "host/cgi_response.h"
#include "host/curl_transfer.h"
#include "host/host_manager.h"
#include "host/job/job.h"
#include "host/json_spirit/json_io.h"
#include "host/uuid.h"

namespace {

const char* type_name(json_spirit::Value_type t) {
    switch (t) {
        case json_spirit::obj_type:
            return "object";
        case json_spirit::array_type:
            return "array";
        case json_spirit::str_type:
        case json_spirit::secure_str_type:
            return "string";
        case json_spirit::bool_type:
            return "boolean";
        case json_spirit::int_type:
            return "integer";
        case json_spirit::real_type:
            return "real";
        case json_spirit::null_type:
            return "null";
    }
    return "unknown";
}

std::string backupd_url(const std::string& path) {
    Host_Manager* hm = Host_Manager::instance();
    std::string host = hm->backupd_host();
    if (host.empty() || hm->backupd_port() <= 0)
        return std::string();
    return std::string(hm->backupd_ssl() ? "https://" : "http://") + host + ":" +
           std::to_string(hm->backupd_port()) + path;
}

// The host keeps its connections to the backup server open between calls,
// as a long-lived channel to its server: each idle libcurl handle here holds
// one. A call takes a handle (a new one when none is idle), so calls at the
// same time never share a connection, and gives it back once it has an
// answer; one whose call failed is dropped with its connection. libcurl
// makes a connection again when the server closed the kept one.
class Backupd_Handles {
public:
    // Handles kept idle at most: more only while that many calls run at once.
    static constexpr size_t MAX_IDLE = 8;

    std::unique_ptr<Curl_Handle> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<Curl_Handle> h = std::move(idle_.back());
                idle_.pop_back();
                return h;
            }
        }
        return std::unique_ptr<Curl_Handle>(new Curl_Handle());
    }

    void give_back(std::unique_ptr<Curl_Handle> h) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < MAX_IDLE)
            idle_.push_back(std::move(h));
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Curl_Handle>> idle_;
};

Backupd_Handles& backupd_handles() {
    // Never destroyed: threads may still call at exit.
    static Backupd_Handles* const handles = new Backupd_Handles();
    return *handles;
}

// POSTs a JSON body to the backup server; the answer's text in x.response.
bool post_json(const std::string& path, const std::string& body, long timeout_ms, int retries,
               Http_Exchange& x) {
    x.url = backupd_url(path);
    if (x.url.empty()) {
        x.error = "no backup server address in the host settings";
        return false;
    }
    x.method = "POST";
    x.body = body;
    x.timeout_ms = timeout_ms;
    x.headers = {"Content-Type: application/json", "Accept: application/json"};
    Host_Manager* hm = Host_Manager::instance();
    const secure_string key = hm->on_backupd() ? hm->node_access_key() : hm->access_key();
    if (!key.empty())
        x.headers.push_back(http_header_line(http_head_string(HTTP_HEAD_ACCESS_KEY, 0), key));
    for (int attempt = 0;; ++attempt) {
        std::unique_ptr<Curl_Handle> handle = backupd_handles().take();
        if (curl_transfer(x, handle.get())) {
            backupd_handles().give_back(std::move(handle));
            return true;
        }
        if (attempt >= retries)
            return false;
    }
}

std::atomic<long> next_rpc_id{1};

}  // namespace

bool global_json_rpc(const char* method, const json_spirit::Value& params, int timeout_ms,
                     json_spirit::Value& result, json_spirit::Value_type expected, int retries) {
    json_spirit::Object request;
    request["jsonrpc"] = "2.0";
    request["id"] = json_spirit::Value(next_rpc_id++);
    request["method"] = method ? method : "";
    request["params"] = params;
    Http_Exchange x;
    if (!post_json("/jsonrpc", json_spirit::write(request),
                   timeout_ms < 0 ? JSON_RPC_DEFAULT_TIMEOUT_MS : timeout_ms,
                   retries < 0 ? 0 : retries, x)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to call %C on the backup server: %C.\n"), method,
                   x.error.c_str()));
        return false;
    }
    json_spirit::Value reply;
    if (x.status != 200 || !json_spirit::read(x.response, reply) ||
        reply.type() != json_spirit::obj_type) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to call %C on the backup server: HTTP status %d.\n"),
                   method, static_cast<int>(x.status)));
        return false;
    }
    const json_spirit::Object& obj = reply.get_obj();
    if (const json_spirit::Object* err = json_spirit::object_get_object(obj, "error")) {
        int code = 0;
        std::string message;
        json_spirit::object_get(*err, "code", code);
        json_spirit::object_get(*err, "message", message);
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to call %C on the backup server: %d %C.\n"), method,
                   code, message.c_str()));
        return false;
    }
    const json_spirit::Value* r = json_spirit::object_get_value(obj, "result");
    if (!r) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Failed to call %C on the backup server: no result.\n"), method));
        return false;
    }
    if (expected != json_spirit::null_type && r->type() != expected) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to call %C on the backup server: the result is not %C.\n"),
                   method, type_name(expected)));
        return false;
    }
    result = *r;
    return true;
}

struct RESTful_Alert_Client::Client {
    long timeout_ms = TIMEOUT_MS;
};

RESTful_Alert_Client::RESTful_Alert_Client() = default;
RESTful_Alert_Client::~RESTful_Alert_Client() = default;

bool RESTful_Alert_Client::send_alert(uint64_t code, const json_spirit::Value& detail,
                                      int job_revision, const std::string& host_id,
                                      const std::string& resource_uuid, const std::string& def_id,
                                      const std::string& job_id, const time_t* start_time,
                                      const time_t* last_run_time, int count) {
    if (!client_)
        client_.reset(new Client());
    json_spirit::Object alert;
    alert["code"] = json_spirit::Value(static_cast<unsigned long long>(code));
    alert["level"] = static_cast<int>(code >> 60);
    alert["detail"] = detail;
    alert["job_revision"] = job_revision;
    alert["host_id"] = host_id;
    alert["resource_uuid"] = resource_uuid;
    alert["def_id"] = def_id;
    alert["job_id"] = job_id;
    alert["start_time"] = json_spirit::Value(static_cast<long long>(start_time ? *start_time : 0));
    alert["last_run_time"] =
        json_spirit::Value(static_cast<long long>(last_run_time ? *last_run_time : 0));
    alert["count"] = count;
    Http_Exchange x;
    if (!post_json("/alerts", json_spirit::write(alert), client_->timeout_ms, 0, x) ||
        x.status != 200) {
        ACE_DEBUG((LM_DEBUG, ACE_TEXT("The backup server did not take an alert: %C (HTTP %d).\n"),
                   x.error.c_str(), static_cast<int>(x.status)));
        return false;
    }
    return true;
}

bool write_job_alert(Job& job, const Error_ID& id, const json_spirit::Value& props, int count) {
    const Job_Definition& def = job.definition();
    const Job_Activity& act = job.activity();
    time_t start = act.start_time, last = act.last_run_time;
    RESTful_Alert_Client client;
    return client.send_alert(id.value(), props, def.job_revision, def.host_id, def.target.id,
                             def.id, uuid_to_string(act.id), &start, &last, count);
}

bool write_job_alert(Job& job, unsigned level, unsigned code, unsigned extra,
                     const json_spirit::Value& props, int count) {
    return write_job_alert(job, Error_ID::smartx(level, code, extra), props, count);
}
