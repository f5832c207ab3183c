// An HTTP response: status, headers and version over the header container.
#ifndef HOST_HTTP_RESPONSE_H
#define HOST_HTTP_RESPONSE_H

#include <string>

#include "host/cgi_response.h"
#include "host/http_base.h"

class HTTP_Response : public HTTP_Base<CGI_Response> {
public:
    HTTP_Response() {}
    ~HTTP_Response() override {}

    // False for statuses that never carry a body (1xx, 204, 304).
    virtual bool has_body() const;

    // What went wrong, for logs: the transport's error or "HTTP <status>".
    const char* status_string() const { return status_string_.c_str(); }
    void status_string(const std::string& s) { status_string_ = s; }

private:
    std::string status_string_ = "OK";
};

#endif
