#include "host/catalog.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include <ace/Log_Msg.h>

#include "host/backoff.h"
#include "host/backup_set.h"
#include "host/cgi_response.h"
#include "host/curl_transfer.h"
#include "host/host_manager.h"
#include "host/json_spirit/json_io.h"

namespace {

// Catalog and view names go into the path as they are.
bool plain_name(const char* s) {
    if (!s || !*s)
        return false;
    for (; *s; ++s) {
        char c = *s;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.'))
            return false;
    }
    return true;
}

std::string answer_message(const Http_Exchange& x) {
    if (!x.error.empty())
        return x.error;
    std::string text = "HTTP " + std::to_string(x.status);
    json_spirit::Value v;
    if (json_spirit::read(x.response, v) && v.type() == json_spirit::obj_type) {
        if (const std::string* m = json_spirit::object_get_str(v.get_obj(), "message"))
            text += " " + *m;
    }
    return text;
}

}  // namespace

RESTful_Catalog_Operator::RESTful_Catalog_Operator(const std::string& host, uint16_t port, bool ssl,
                                                   const secure_string& access_key, int max_retries,
                                                   int max_seconds)
    : access_key_(access_key),
      max_retries_(max_retries),
      max_seconds_(max_seconds),
      handle_(new Curl_Handle()) {
    if (!host.empty() && port > 0)
        base_url_ = std::string(ssl ? "https://" : "http://") + host + ":" + std::to_string(port);
}

RESTful_Catalog_Operator::~RESTful_Catalog_Operator() = default;

void RESTful_Catalog_Operator::set_timeouts(long connect_ms, long transfer_ms) {
    connect_ms_ = connect_ms;
    transfer_ms_ = transfer_ms;
}

RESTful_Catalog_Operator::Post_Result RESTful_Catalog_Operator::post(const std::string& path,
                                                                     const std::string& body,
                                                                     const char* what,
                                                                     json_spirit::Value* reply) {
    if (base_url_.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C: no backup server address.\n"), what));
        return NOT_DONE;
    }
    // Whether some attempt may have been carried out, its answer lost.
    bool maybe_done = false;
    const auto start = std::chrono::steady_clock::now();
    Exponential_Backoff_Iterator delay(
        FIRST_RETRY_DELAY_S, max_retries_ < 0 ? UINT32_MAX : static_cast<unsigned>(max_retries_),
        MAX_RETRY_DELAY_S, false);
    const Exponential_Backoff_Iterator end;
    for (int attempt = 0;; ++attempt) {
        Http_Exchange x;
        x.method = "POST";
        x.url = base_url_ + path;
        x.body = body;
        x.connect_timeout_ms = connect_ms_;
        x.timeout_ms = transfer_ms_;
        x.headers = {"Content-Type: application/json", "Accept: application/json"};
        if (!access_key_.empty())
            x.headers.push_back(
                http_header_line(http_head_string(HTTP_HEAD_ACCESS_KEY, 0), access_key_));
        bool answered = curl_transfer(x, handle_.get());
        if (!x.body.empty())
            secure_memset(&x.body[0], 0, x.body.size());
        if (answered && x.status >= 200 && x.status < 300) {
            std::string why;
            if (!reply || json_spirit::read(x.response, *reply, &why))
                return ANSWERED;
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C: the answer is not JSON (%C).\n"), what,
                       why.c_str()));
            return MAYBE_DONE;
        }
        // A refusal, or a request that never left, did nothing.
        if (answered ? !(x.status >= 400 && x.status < 500) : !x.never_sent)
            maybe_done = true;
        std::string message = answer_message(x);
        bool retryable = !answered || x.status >= 500;
        bool bounded = max_retries_ >= 0 || max_seconds_ >= 0;
        bool more =
            retryable && bounded && (max_retries_ < 0 || attempt < max_retries_) && delay != end;
        unsigned wait_s = more ? *delay : 0;
        if (more && max_seconds_ >= 0) {
            auto spent = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - start);
            more = spent.count() + static_cast<long long>(wait_s) <= max_seconds_;
        }
        if (!more) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C: %C.\n"), what, message.c_str()));
            return maybe_done ? MAYBE_DONE : NOT_DONE;
        }
        ACE_DEBUG((LM_WARNING, ACE_TEXT("Failed to %C: %C, try again after %u second.\n"), what,
                   message.c_str(), wait_s));
        ++delay;
        std::this_thread::sleep_for(std::chrono::seconds(wait_s));
    }
}

RESTful_Catalog_Operator::Commit_Outcome RESTful_Catalog_Operator::commit_set(const Backup_Set& set,
                                                                              bool replace) {
    if (!plain_name(set.set_type.c_str()) || set.uuid.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to commit backup set '%C': no set type or uuid.\n"),
                   set.uuid.c_str()));
        return NOT_COMMITTED;
    }
    std::string body = json_spirit::write(json_spirit::Value(set.dump()));
    if (body.empty())
        return NOT_COMMITTED;
    std::string what = "commit backup set " + set.uuid + " to catalog " + set.set_type;
    json_spirit::Value reply;
    const Post_Result posted =
        post("/zq/r/v2/catalogs/" + set.set_type + "/sets" + (replace ? "?replace=1" : ""), body,
             what.c_str(), &reply);
    secure_memset(&body[0], 0, body.size());  // rows may hold secrets (VNC password)
    if (posted != ANSWERED)
        return posted == NOT_DONE ? NOT_COMMITTED : UNSETTLED;
    // Only the catalog's own answer, naming the set, says it is recorded: a
    // proxy's or a stray server's 200 says nothing.
    const std::string* uuid = reply.type() == json_spirit::obj_type
                                  ? json_spirit::object_get_str(reply.get_obj(), "uuid")
                                  : nullptr;
    if (uuid == nullptr || *uuid != set.uuid) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C: the answer does not name the set.\n"),
                   what.c_str()));
        return UNSETTLED;
    }
    return COMMITTED;
}

bool RESTful_Catalog_Operator::find_set(const char* catalog, const std::string& uuid, bool& found) {
    found = false;
    json_spirit::Value rows;
    if (uuid.empty() || !get_view(catalog, "catalogs", json_spirit::Object{{"uuid", uuid}}, rows))
        return false;
    if (rows.type() != json_spirit::array_type) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to look up backup set %C: the answer is no list.\n"),
                   uuid.c_str()));
        return false;
    }
    // Only the filtered list says anything: a row of another set (a server
    // that ignored the filter) or one that does not name its set as text
    // makes the whole answer worthless, even when the set is among them.
    const json_spirit::Array& list = rows.get_array();
    const bool filtered = std::all_of(list.begin(), list.end(), [&](const json_spirit::Value& row) {
        const std::string* id = row.type() == json_spirit::obj_type
                                    ? json_spirit::object_get_str(row.get_obj(), "uuid")
                                    : nullptr;
        return id != nullptr && *id == uuid;
    });
    if (!filtered) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to look up backup set %C: the answer lists rows of other "
                            "sets, or rows that name none.\n"),
                   uuid.c_str()));
        return false;
    }
    found = !list.empty();
    return true;
}

bool RESTful_Catalog_Operator::get_view(const char* catalog, const char* view,
                                        const json_spirit::Object& filter,
                                        json_spirit::Value& out) {
    if (!plain_name(catalog) || !plain_name(view)) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Failed to read a catalog view: bad catalog or view name.\n")));
        return false;
    }
    std::string what = std::string("read view ") + view + " of catalog " + catalog;
    json_spirit::Value reply;
    if (post(std::string("/zq/r/v2/catalogs/") + catalog + "/views/" + view,
             json_spirit::write(json_spirit::Value(filter)), what.c_str(), &reply) != ANSWERED)
        return false;
    out.swap(reply);
    return true;
}

namespace {

uint16_t host_backupd_port() {
    int port = Host_Manager::instance()->backupd_port();
    return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

secure_string host_access_key() {
    Host_Manager* hm = Host_Manager::instance();
    return hm->on_backupd() ? hm->node_access_key() : hm->access_key();
}

}  // namespace

Catalog_Operator::Catalog_Operator(int max_retries, int max_seconds)
    : RESTful_Catalog_Operator(Host_Manager::instance()->backupd_host(), host_backupd_port(),
                               Host_Manager::instance()->backupd_ssl(), host_access_key(),
                               max_retries, max_seconds) {}
