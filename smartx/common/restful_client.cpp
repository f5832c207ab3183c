#include "smartx/common/restful_client.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "ace/Log_Msg.h"
#include "ace/Message_Block.h"
#include "ace/OS_NS_unistd.h"
#include "host/http_client.h"
#include "qorm/backoff.h"
#include "qorm/make_unique_nothrow.h"
#include "qorm/snprintf.h"
#include "smartx/common/restful_client_templates.h"
#include "smartx/common/task.h"

static_assert(HTTP_METHOD_GET == 3 && HTTP_METHOD_POST == 9, "the host's method numbers");

namespace smartx {

namespace {
const int HEAD_AUTHORIZATION = 6;
const int HEAD_CONTENT_TYPE = 16;

// The version answer is a short JSON string; anything longer is not one.
const size_t VERSION_BLOCK_SIZE = 4096;
const size_t VERSION_MAX_SIZE = 64 * 1024;

// The answers of a request CloudTower refused (the request's fault).
const int HTTP_CLIENT_ERROR_FIRST = 400;
const int HTTP_CLIENT_ERROR_LAST = 499;

const char* const TASK_SUCCEEDED = "SUCCESSED";
const char* const TASK_FAILED = "FAILED";

// Task polling: pauses from 1 s doubling up to 60 s, each in short steps so
// that a stop or the bound is seen soon.
const unsigned TASK_POLL_FIRST_DELAY_S = 1;
const unsigned TASK_POLL_MAX_DELAY_S = 60;
const unsigned TASK_POLL_ATTEMPTS = UINT32_MAX;
const unsigned TASK_POLL_STEPS_PER_S = 10;
// No task is waited for longer: one that never ends must not hold its caller
// for ever. The variable shortens it, for tests only.
const unsigned TASK_WAIT_LIMIT_S = 3600;
const char* const TASK_WAIT_LIMIT_VARIABLE = "SMARTX_TASK_WAIT_SECONDS";

unsigned task_wait_limit() {
    const char* text = std::getenv(TASK_WAIT_LIMIT_VARIABLE);
    char* end = nullptr;
    const unsigned long n = text != nullptr ? std::strtoul(text, &end, 10) : 0;
    return text != nullptr && *text >= '0' && *text <= '9' && *end == 0 && n > 0 &&
                   n < TASK_WAIT_LIMIT_S
               ? static_cast<unsigned>(n)
               : TASK_WAIT_LIMIT_S;
}

// The session of a version request: the host's protocol selector as the
// product passes it, and its connect, read and write time-outs.
const int VERSION_SESSION_PROTOCOL = 3;
const int VERSION_SESSION_TIMEOUT_S = 120;
}  // namespace

namespace restful_client_detail {
void log_not_found(int type, const char* details) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to send request, type %d, details: %C"), type, details));
}
}  // namespace restful_client_detail

void add_smartx_http_headers(HTTP_Headers& headers, const secure_string& token) {
    headers.put(HEAD_CONTENT_TYPE, "application/json; charset=utf-8", true);
    if (!token.empty())
        headers.put(HEAD_AUTHORIZATION, token, true);
}

RESTful_Client::RESTful_Client() = default;

RESTful_Client::~RESTful_Client() = default;

void RESTful_Client::report_error(Error* error, int status, const std::string& message) {
    if (error != nullptr) {
        error->reset(status, message);
        return;
    }
    const bool has_line_end = !message.empty() && message.back() == '\n';
    ACE_ERROR((LM_ERROR, ACE_TEXT("%C%C"), message.c_str(), has_line_end ? "" : "\n"));
}

// ---- login ----

bool RESTful_Client::login(Login_Info& info, Error* error) {
    if (!reset_client(info.host, info.port, info.ssl, error))
        return false;
    login_info_ = info;
    if (!reset_version(error))
        return false;
    // A token that came with the login is trusted as it is.
    if (!login_info_.secure_token.empty())
        return true;
    Async_Task<Login_Info> answer;
    if (!send_ss_request(login_info_, Message::LOGIN, answer, error, METHOD_POST))
        return false;
    login_info_.secure_token = std::move(answer.data.secure_token);
    info.secure_token = login_info_.secure_token;
    return true;
}

bool RESTful_Client::reset_client(const std::string& host, uint16_t port, bool ssl, Error* error) {
    bool done;
    if (client_) {
        done = client_->reset(host, port, ssl);
    } else {
        client_ = make_unique_nothrow<JSON_RESTful_Client>(host, port, ssl, true);
        done = client_ != nullptr;
    }
    if (!done)
        report_error(
            error, -1,
            snprintf_t<1024>("Failed to reset JSON RESTful client, host: %s:%d, ssl: %s.\n",
                             host.c_str(), static_cast<int>(port), ssl ? "true" : "false")
                .c_str());
    return done;
}

bool RESTful_Client::reset_version(Error* error) {
    // A number found at an earlier login must not outlive a failed detection.
    version_ = Version();
    version_.platform = Version::CLOUDTOWER;
    if (query_version(version_, error))
        return true;
    // FishEye has no paths of its own: this attempt ends in path resolution
    // and leaves that failure in the record.
    version_.platform = Version::FISHEYE;
    if (query_version(version_, error))
        return true;
    version_.platform = Version::NONE;
    return false;
}

bool RESTful_Client::query_version(Version& version, Error* error) {
    Query_Params none;
    return send_ss_request(none, Message::QUERY_VERSION, version, error, METHOD_GET);
}

bool RESTful_Client::query_task(const std::string& id, Task& task, Error* error) {
    Query_Params params;
    params.where("id", id);
    return send_sm_request_and_get_one(params, Message::QUERY_TASKS, task, error, METHOD_POST);
}

// ---- sending ----

bool RESTful_Client::send_request(int method, const Request& request, Response& response,
                                  Single_Item_Response<Error>& error_channel) {
    Error& record = error_channel.item;
    const bool own_record = &record == &error_;
    std::string uri;
    json_spirit::Value body;
    bool decoded_error = false;
    bool done = false;

    if (!message_generator_.generate(request, uri, body)) {
        record.reset(-1, snprintf_t<1024>("Failed to generate SmartX request, type: %d, url: %s.",
                                          static_cast<int>(request.type), uri.c_str())
                             .c_str());
    } else {
        int status = 200;
        json_spirit::Value reply;
        bool exchanged = false;
        bool sent = true;
        if (method == METHOD_GET)
            exchanged = request.type == Message::QUERY_VERSION ? get_version(uri, status, reply)
                                                               : get(uri, status, reply);
        else if (method == METHOD_POST)
            exchanged = post(uri, body, status, reply);
        else
            sent = false;

        if (!sent) {
            record.reset(-1, snprintf_t<1024>(
                                 "Failed to send SmartX request, type: %d, url: %s, method: %d.",
                                 static_cast<int>(request.type), uri.c_str(), method)
                                 .c_str());
        } else if (exchanged) {
            done = message_generator_.generate(status, reply, response);
            if (!done)
                record.reset(status, snprintf_t<1024>(
                                         "Failed to generate SmartX response, type: %d, url: %s, "
                                         "status: %d.",
                                         static_cast<int>(response.type), uri.c_str(), status)
                                         .c_str());
        } else if (is_status_ok(status) || status <= 0) {
            // No error status to explain it (a failed GET, or no answer at all).
            record.reset(
                status > 0 ? status : -1,
                snprintf_t<1024>("Failed to send SmartX request, type: %d, url: %s, status: %d.",
                                 static_cast<int>(request.type), uri.c_str(), status)
                    .c_str());
        } else {
            // A stale detail of an earlier failure must not mix into this one.
            record.clear();
            if (message_generator_.generate(status, reply, error_channel)) {
                decoded_error = true;
                // An error body that says nothing still is an error.
                if (record.status == 0)
                    record.status = status;
                if (record.message.empty())
                    record.message = snprintf_t<1024>(
                                         "Failed to send SmartX request, type: %d, url: %s, "
                                         "status: %d.",
                                         static_cast<int>(request.type), uri.c_str(), status)
                                         .c_str();
            } else {
                record.reset(status,
                             snprintf_t<1024>("Failed to generate SmartX error, type: %d, url: %s, "
                                              "status: %d.",
                                              static_cast<int>(response.type), uri.c_str(), status)
                                 .c_str());
            }
        }
    }

    if (!done && own_record) {
        if (decoded_error)
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to send request, url: %C, status: %d, details: %C.\n"),
                       uri.c_str(), error_.status, error_.message.c_str()));
        else
            ACE_ERROR((LM_ERROR, ACE_TEXT("%C\n"), error_.message.c_str()));
        error_.clear();
    }
    return done;
}

bool RESTful_Client::post(const std::string& uri, const json_spirit::Value& body, int& status,
                          json_spirit::Value& reply) {
    return exchange(METHOD_POST, uri, &body, status, reply);
}

bool RESTful_Client::get(const std::string& uri, int& status, json_spirit::Value& reply) {
    return exchange(METHOD_GET, uri, nullptr, status, reply);
}

bool RESTful_Client::exchange(int method, const std::string& uri, const json_spirit::Value* body,
                              int& status, json_spirit::Value& reply) {
    const char* const verb = method == METHOD_POST ? "post" : "get";
    if (!client_) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C SmartX HTTP request because of %C.\n"), verb,
                   "no connection"));
        return false;
    }
    HTTP_Request request(method, uri, false);
    add_smartx_http_headers(request.headers(), login_info_.secure_token);
    HTTP_Response response;
    const bool done = method == METHOD_POST ? client_->post(request, *body, response, reply)
                                            : client_->get(request, response, reply);
    // A failed GET leaves the status alone (it then reads as a failure
    // without an error status).
    if (done || method == METHOD_POST)
        status = response.status();
    if (!done)
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C SmartX HTTP request because of %C.\n"), verb,
                   response.status_string()));
    return done;
}

bool RESTful_Client::get_version(const std::string& uri, int& status, json_spirit::Value& reply) {
    const std::string& host = login_info_.host;
    ACE_Intrusive_Auto_Ptr<HTTP_Session> session = HTTP_Session_Factory::create(
        host, login_info_.port, login_info_.ssl, nullptr, VERSION_SESSION_PROTOCOL, nullptr, false,
        VERSION_SESSION_TIMEOUT_S, VERSION_SESSION_TIMEOUT_S, VERSION_SESSION_TIMEOUT_S, 0);
    if (session.get() == nullptr) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create http session to '%C'\n"), host.c_str()));
        return false;
    }
    HTTP_Request request(HTTP_METHOD_GET, uri, false);
    add_smartx_http_headers(request.headers(), login_info_.secure_token);
    HTTP_Response response;
    ACE_Intrusive_Auto_Ptr<HTTP_Connection> connection = session->send(request, response);
    if (connection.get() == nullptr) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to connect to '%C'\n"), host.c_str()));
        return false;
    }
    if (response.status() != 200 || !response.has_body()) {
        status = response.status();
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get SmartX version.\n")));
        return false;
    }
    reply = std::string();
    return read_version_text(*connection, reply.get_str());
}

bool RESTful_Client::read_version_text(HTTP_Connection& connection, std::string& text) {
    // A body that has already arrived in full is still there to be read.
    if (connection.socket_state() == HTTP_Connection::SS_CLOSED) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid connect state response.\n")));
        return false;
    }
    text.reserve(VERSION_BLOCK_SIZE);
    ACE_Message_Block block(VERSION_BLOCK_SIZE);
    for (;;) {
        const long n = connection.read(&block, 0, 2);
        if (n < 0) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read SmartX version.\n")));
            return false;
        }
        if (n == 0)
            return true;
        text.append(block.rd_ptr(), block.length());
        block.reset();
        if (text.size() > VERSION_MAX_SIZE) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to read SmartX version, the answer exceeds %u bytes.\n"),
                       static_cast<unsigned>(VERSION_MAX_SIZE)));
            return false;
        }
        if (connection.socket_state() == HTTP_Connection::SS_CLOSED)
            return true;
    }
}

// ---- tasks ----

bool task_ended(const std::string& status) {
    return status == TASK_SUCCEEDED || status == TASK_FAILED;
}

const char* const NOT_FOUND_MESSAGE = "not found.";

bool is_not_found(const Error& error) {
    return error.status == -1 && error.message == NOT_FOUND_MESSAGE;
}

bool is_refusal(const Error& error) {
    return error.status >= HTTP_CLIENT_ERROR_FIRST && error.status <= HTTP_CLIENT_ERROR_LAST;
}

bool RESTful_Client::wait_task_finish(const std::string& task_id, Error* error) {
    const unsigned limit = task_wait_limit_s_ > 0 ? std::min(task_wait_limit_s_, task_wait_limit())
                                                  : task_wait_limit();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    Task task;
    for (unsigned delay : exponential_backoff(TASK_POLL_FIRST_DELAY_S, TASK_POLL_ATTEMPTS,
                                              TASK_POLL_MAX_DELAY_S, false)) {
        if (!query_task(task_id, task, error))
            return false;
        if (task.status == TASK_SUCCEEDED)
            return true;
        if (task.status == TASK_FAILED) {
            // A failure without its own text still needs one.
            const std::string message =
                !task.error_message.empty()
                    ? task.error_message
                    : snprintf_t<1024>("task %s failed, code: %s", task_id.c_str(),
                                       task.error_code.c_str())
                          .c_str();
            if (error != nullptr)
                error->reset(-1, message);
            else
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to wait task finish, details: %C.\n"),
                           message.c_str()));
            return false;
        }
        for (unsigned step = 0; step < delay * TASK_POLL_STEPS_PER_S; ++step) {
            if (stopped_ && stopped_()) {
                report_error(
                    error, -1,
                    snprintf_t<1024>("Stopped waiting for task %s.", task_id.c_str()).c_str());
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                report_error(error, -1,
                             snprintf_t<1024>("Failed to wait task finish, details: task %s did "
                                              "not end within %u s.",
                                              task_id.c_str(), limit)
                                 .c_str());
                return false;
            }
            ACE_OS::sleep(ACE_Time_Value(0, 1000000 / TASK_POLL_STEPS_PER_S));
        }
    }
    report_error(error, -1,
                 snprintf_t<1024>("Failed to wait task finish, details: task %s did not end.",
                                  task_id.c_str())
                     .c_str());
    return false;
}

}  // namespace smartx
