#include "host/http_client.h"

#include <cstring>
#include <mutex>

#include <ace/Message_Block.h>

#include "host/curl_transfer.h"
#include "host/json_spirit/json_io.h"

namespace {

std::string make_base_url(const std::string& host, uint16_t port, bool ssl) {
    // A bare IPv6 address needs brackets in a URL.
    std::string h =
        host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
    return std::string(ssl ? "https://" : "http://") + h + ":" + std::to_string(port);
}

std::string join_path(const std::string& base, const std::string& path) {
    if (path.empty() || path[0] != '/')
        return base + "/" + path;
    return base + path;
}

void add_headers(const HTTP_Request& request, Http_Exchange& x) {
    for (const auto& h : request.headers()) {
        const char* name = http_head_string(h.first, 0);
        if (name)
            x.headers.push_back(http_header_line(name, h.second));
    }
}

// Fills the response head from the exchange.
void fill_response(const Http_Exchange& x, HTTP_Response& response) {
    response.status(static_cast<int>(x.status));
    for (const auto& line : x.response_headers) {
        if (line.compare(0, 5, "HTTP/") == 0) {
            // "HTTP/1.1 200 OK": the minor version for keep-alive rules.
            if (line.size() > 7 && line[5] == '1' && line[6] == '.')
                response.minor_version(line[7] - '0');
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        int id = http_head_id(line.substr(0, colon).c_str());
        if (id < 0)
            continue;
        size_t v = line.find_first_not_of(" \t", colon + 1);
        response.head(id, v == std::string::npos ? "" : line.c_str() + v);
    }
}

}  // namespace

// A keep-alive client's connection (in its libcurl handle), and the server
// it goes to.
struct HTTP_Kept_Connection {
    explicit HTTP_Kept_Connection(std::string url) : base_url(std::move(url)) {}

    const std::string base_url;
    std::mutex mutex;  // one request at a time
    Curl_Handle handle;
};

namespace {

// The connection of the latest keep-alive client of this thread, which
// sessions for its server borrow.
thread_local std::weak_ptr<HTTP_Kept_Connection> latest_kept;

std::shared_ptr<HTTP_Kept_Connection> kept_for(const std::string& base_url) {
    std::shared_ptr<HTTP_Kept_Connection> kept = latest_kept.lock();
    return kept && kept->base_url == base_url ? kept : std::shared_ptr<HTTP_Kept_Connection>();
}

// One exchange over the kept connection, or over one of its own without.
bool transfer(Http_Exchange& x, const std::shared_ptr<HTTP_Kept_Connection>& kept) {
    if (!kept)
        return curl_transfer(x);
    std::lock_guard<std::mutex> lock(kept->mutex);
    return curl_transfer(x, &kept->handle);
}

}  // namespace

bool HTTP_Headers::put(int id, const secure_string& value, bool replace) {
    if (!http_head_string(id, 0))
        return false;
    if (value.find_first_of("\r\n") != secure_string::npos)
        return false;
    auto it = heads_.find(id);
    if (it != heads_.end()) {
        if (replace)
            it->second = value;
        return true;
    }
    heads_.emplace(id, value);
    return true;
}

bool HTTP_Headers::put(int id, const char* value, bool replace) {
    return put(id, secure_string(value ? value : ""), replace);
}

const secure_string* HTTP_Headers::get(int id) const {
    auto it = heads_.find(id);
    return it == heads_.end() ? nullptr : &it->second;
}

bool is_status_ok(int status) {
    return status > 0 && status < 400;
}

JSON_RESTful_Client::JSON_RESTful_Client(const std::string& host, uint16_t port, bool ssl,
                                         bool keep_alive)
    : base_url_(make_base_url(host, port, ssl)), keep_alive_(keep_alive) {
    keep();
}

JSON_RESTful_Client::~JSON_RESTful_Client() = default;

bool JSON_RESTful_Client::reset(const std::string& host, uint16_t port, bool ssl) {
    if (host.empty())
        return false;
    base_url_ = make_base_url(host, port, ssl);
    keep();  // the connection to the old server goes
    return true;
}

void JSON_RESTful_Client::keep() {
    if (!keep_alive_)
        return;
    // Not std::make_shared: its type tag is a unique symbol, and one defined
    // here would take the place of the module's own copy, which is what keeps
    // dlclose from unmapping the module (and its singletons) at exit.
    kept_.reset(new HTTP_Kept_Connection(base_url_));
    latest_kept = kept_;
}

bool JSON_RESTful_Client::post(HTTP_Request& request, const json_spirit::Value& body,
                               HTTP_Response& response, json_spirit::Value& reply) {
    std::string text = json_spirit::write(body);
    if (text.empty()) {
        response.status(0);
        response.status_string("the request body cannot be written as JSON");
        return false;
    }
    bool ok = exchange("POST", request, &text, response, reply);
    secure_memset(&text[0], 0, text.size());  // bodies may carry passwords
    return ok;
}

bool JSON_RESTful_Client::get(HTTP_Request& request, HTTP_Response& response,
                              json_spirit::Value& reply) {
    return exchange("GET", request, nullptr, response, reply);
}

bool JSON_RESTful_Client::exchange(const char* method, HTTP_Request& request,
                                   const std::string* body, HTTP_Response& response,
                                   json_spirit::Value& reply) {
    Http_Exchange x;
    x.method = method;
    x.url = join_path(base_url_, request.path());
    x.connect_timeout_ms = timeouts_.connect_ms;
    x.timeout_ms = timeouts_.transfer_ms;
    add_headers(request, x);
    if (body)
        x.body = *body;
    if (kept_)
        latest_kept = kept_;
    bool answered = transfer(x, kept_);
    if (body)
        secure_memset(&x.body[0], 0, x.body.size());
    reply = json_spirit::Value();
    if (!answered) {
        response.status(0);
        response.status_string(x.error);
        return false;
    }
    fill_response(x, response);
    bool parsed = x.response.empty() || json_spirit::read(x.response, reply);
    if (!is_status_ok(static_cast<int>(x.status))) {
        response.status_string("HTTP " + std::to_string(x.status));
        return false;
    }
    if (!parsed) {
        response.status_string("the answer is not JSON");
        return false;
    }
    response.status_string("OK");
    return true;
}

HTTP_Connection::HTTP_Connection(std::string body)
    : ACE_Intrusive_Refcountable_T(0), body_(std::move(body)), state_(SS_CONNECTED) {}

HTTP_Connection::~HTTP_Connection() = default;

long HTTP_Connection::read(ACE_Message_Block* block, size_t, int) {
    if (!block)
        return -1;
    if (pos_ >= body_.size()) {
        state_ = SS_CONTENT_RECEIVED;
        return 0;
    }
    size_t n = std::min(block->space(), body_.size() - pos_);
    if (n == 0)
        return -1;  // no room: the caller would loop for ever
    block->copy(body_.data() + pos_, n);
    pos_ += n;
    if (pos_ >= body_.size())
        state_ = SS_CONTENT_RECEIVED;
    return static_cast<long>(n);
}

namespace {

class Curl_Session : public HTTP_Session {
public:
    Curl_Session(std::string base_url, long connect_ms, long transfer_ms)
        : base_url_(std::move(base_url)),
          connect_ms_(connect_ms),
          transfer_ms_(transfer_ms),
          kept_(kept_for(base_url_)) {}

    ACE_Intrusive_Auto_Ptr<HTTP_Connection> send(HTTP_Request& request,
                                                 HTTP_Response& response) override {
        Http_Exchange x;
        x.method = request.method() == HTTP_METHOD_POST ? "POST" : "GET";
        x.url = join_path(base_url_, request.path());
        x.connect_timeout_ms = connect_ms_;
        x.timeout_ms = transfer_ms_;
        x.max_response_bytes = 64 * 1024;
        add_headers(request, x);
        bool answered = transfer(x, kept_);
        if (!answered) {
            response.status(0);
            response.status_string(x.error);
            return ACE_Intrusive_Auto_Ptr<HTTP_Connection>();
        }
        fill_response(x, response);
        response.status_string(
            is_status_ok(static_cast<int>(x.status)) ? "OK" : "HTTP " + std::to_string(x.status));
        return ACE_Intrusive_Auto_Ptr<HTTP_Connection>(new HTTP_Connection(std::move(x.response)));
    }

private:
    std::string base_url_;
    long connect_ms_;
    long transfer_ms_;
    std::shared_ptr<HTTP_Kept_Connection> kept_;  // a client's, or null
};

}  // namespace

HTTP_Session::~HTTP_Session() = default;

ACE_Intrusive_Auto_Ptr<HTTP_Connection> HTTP_Session::send(HTTP_Request&, HTTP_Response& response) {
    response.status(0);
    response.status_string("this session cannot send");
    return ACE_Intrusive_Auto_Ptr<HTTP_Connection>();
}

ACE_Intrusive_Auto_Ptr<HTTP_Session> HTTP_Session_Factory::create(const std::string& host,
                                                                  uint16_t port, bool ssl,
                                                                  const char*, int, void*, bool,
                                                                  int connect_timeout_s,
                                                                  int read_timeout_s, int, int) {
    if (host.empty())
        return ACE_Intrusive_Auto_Ptr<HTTP_Session>();
    const HTTP_Timeouts defaults;
    long connect_ms = connect_timeout_s > 0 ? connect_timeout_s * 1000L : defaults.connect_ms;
    long transfer_ms = read_timeout_s > 0 ? read_timeout_s * 1000L : defaults.transfer_ms;
    return ACE_Intrusive_Auto_Ptr<HTTP_Session>(
        new Curl_Session(make_base_url(host, port, ssl), connect_ms, transfer_ms));
}
