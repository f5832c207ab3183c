// An HTTP response: status, headers and version over the header container.
#ifndef HOST_HTTP_RESPONSE_H
#define HOST_HTTP_RESPONSE_H

#include "host/cgi_response.h"
#include "qorm/http_base.h"

class HTTP_Response : public HTTP_Base<CGI_Response> {
 public:
  HTTP_Response() {}
  ~HTTP_Response() override {}

  // False for statuses that never carry a body (1xx, 204, 304).
  virtual bool has_body() const;
};

#endif
