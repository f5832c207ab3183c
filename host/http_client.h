// The host's HTTP clients, over libcurl: a JSON-over-HTTP connection object
// for ordinary requests, and sessions that hand out a raw answer body.
#ifndef HOST_HTTP_CLIENT_H
#define HOST_HTTP_CLIENT_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <ace/Intrusive_Auto_Ptr.h>

#include "host/http_response.h"
#include "host/http_session.h"
#include "host/intrusive_refcountable.h"
#include "host/json_spirit/value.h"
#include "host/secure_memory.h"

class ACE_Message_Block;
struct HTTP_Kept_Connection;

// The host's method numbers.
enum HTTP_Method { HTTP_METHOD_GET = 3, HTTP_METHOD_POST = 9 };

// Request headers by the ids of http_head_string. Values are kept in wiping
// strings: an Authorization token is a secret.
class HTTP_Headers {
public:
    // replace false keeps an existing value. False for an id without a name or
    // a value holding CR or LF.
    bool put(int id, const secure_string& value, bool replace);
    bool put(int id, const char* value, bool replace);
    const secure_string* get(int id) const;
    std::map<int, secure_string>::const_iterator begin() const { return heads_.begin(); }
    std::map<int, secure_string>::const_iterator end() const { return heads_.end(); }

private:
    std::map<int, secure_string> heads_;
};

class HTTP_Request {
public:
    // flag: kept for the host's signature; connections are kept by the client.
    HTTP_Request(int method, const std::string& path, bool flag)
        : method_(method), path_(path), flag_(flag) {}
    int method() const { return method_; }
    const std::string& path() const { return path_; }
    bool flag() const { return flag_; }
    HTTP_Headers& headers() { return headers_; }
    const HTTP_Headers& headers() const { return headers_; }

private:
    int method_;
    std::string path_;
    bool flag_;
    HTTP_Headers headers_;
};

// Statuses that are not errors (below 400).
bool is_status_ok(int status);

// Time-outs of every JSON exchange; finite by design.
struct HTTP_Timeouts {
    long connect_ms = 10000;
    long transfer_ms = 120000;
};

// A JSON client with keep-alive owns one connection to its server for its
// life: every request goes over it (made again when the server closed it),
// and so does a session made on the same thread for the same server while
// the client is the latest of that thread to send or be pointed there (see
// HTTP_Session_Factory).
class JSON_RESTful_Client {
public:
    JSON_RESTful_Client(const std::string& host, uint16_t port, bool ssl, bool keep_alive);
    virtual ~JSON_RESTful_Client();
    JSON_RESTful_Client(const JSON_RESTful_Client&) = delete;
    JSON_RESTful_Client& operator=(const JSON_RESTful_Client&) = delete;

    // Points the client at another server.
    virtual bool reset(const std::string& host, uint16_t port, bool ssl);
    // True when the server answered a non-error status with JSON (or nothing);
    // the reply holds the parsed answer, also for error statuses whose body is
    // JSON. The response holds the status; status_string() says what failed.
    virtual bool post(HTTP_Request& request, const json_spirit::Value& body,
                      HTTP_Response& response, json_spirit::Value& reply);
    virtual bool get(HTTP_Request& request, HTTP_Response& response, json_spirit::Value& reply);

    void timeouts(const HTTP_Timeouts& t) { timeouts_ = t; }

private:
    bool exchange(const char* method, HTTP_Request& request, const std::string* body,
                  HTTP_Response& response, json_spirit::Value& reply);
    // A new connection for base_url_, this thread's latest.
    void keep();

    std::string base_url_;
    bool keep_alive_;
    HTTP_Timeouts timeouts_;
    // Made anew for each server; null without keep-alive.
    std::shared_ptr<HTTP_Kept_Connection> kept_;
};

// A connection's answer body, read in blocks.
class HTTP_Connection : public ACE_Intrusive_Refcountable_T<HTTP_Connection, ACE_Thread_Mutex> {
public:
    enum Socket_State { SS_CLOSED = 1, SS_CONNECTED = 4, SS_CONTENT_RECEIVED = 12 };

    explicit HTTP_Connection(std::string body);
    ~HTTP_Connection() override;

    int socket_state() const { return state_; }
    // Copies what is left of the body into the block's free space; the count,
    // 0 at the end (the state is then content received), -1 on failure.
    // mode: 2 reads all there is room for.
    long read(ACE_Message_Block* block, size_t offset, int mode);

private:
    std::string body_;
    size_t pos_ = 0;
    int state_;
};

class HTTP_Session_Factory {
public:
    // A session for the server of the latest keep-alive JSON client of the
    // calling thread sends over that client's connection (one at a time);
    // any other opens its own for each request.
    // host, port, ssl, then (proxy, protocol, SSL context, verify, connect,
    // read and write time-outs in seconds, flags): proxy, protocol, context,
    // verify and flags are not used (the TLS policy is the host's). Null for
    // an empty host.
    static ACE_Intrusive_Auto_Ptr<HTTP_Session> create(const std::string& host, uint16_t port,
                                                       bool ssl, const char* proxy, int protocol,
                                                       void* ssl_ctx, bool verify,
                                                       int connect_timeout_s, int read_timeout_s,
                                                       int write_timeout_s, int flags);
};

#endif
