// One HTTP exchange over libcurl, with the host's single TLS policy: the
// peer's certificate and host name are verified against the system's CA
// store, or against the CA file the host settings name ("ca_file") instead.
// Only "tls_verify": false in the host settings turns verification off, and
// then each TLS connection made is logged as a warning.
#ifndef HOST_CURL_TRANSFER_H
#define HOST_CURL_TRANSFER_H

#include <memory>
#include <string>
#include <vector>

#include "host/secure_memory.h"

struct Http_Exchange {
    std::string method = "GET";  // GET, POST, PUT, DELETE
    std::string url;
    // "Name: value"; wiping strings, since heads carry access keys and tokens.
    std::vector<secure_string> headers;
    std::string body;  // sent for POST and PUT
    long connect_timeout_ms = 10000;
    long timeout_ms = 60000;  // whole transfer; never unbounded
    size_t max_response_bytes = 64u << 20;

    long status = 0;  // HTTP status, 0 when no answer
    std::string response;
    std::vector<std::string> response_headers;
    std::string error;  // transport failure, empty otherwise
    // The transport failed before any of the request could leave: no server
    // to connect to, or the connection refused. Such a request did nothing.
    bool never_sent = false;
};

// "Name: value" of a head whose value is a secret, never in a plain string.
inline secure_string http_header_line(const char* name, const secure_string& value) {
    secure_string line(name);
    line += ": ";
    line += value;
    return line;
}

// A libcurl handle kept across exchanges so connections are reused.
class Curl_Handle {
public:
    Curl_Handle();
    ~Curl_Handle();
    Curl_Handle(const Curl_Handle&) = delete;
    Curl_Handle& operator=(const Curl_Handle&) = delete;
    void* get() const { return handle_; }

private:
    void* handle_;
};

// True when an HTTP answer arrived (whatever its status). With a handle, the
// connection stays open for the next exchange.
bool curl_transfer(Http_Exchange& x, Curl_Handle* reuse = nullptr);

#endif
