#include "host/http_response.h"

bool HTTP_Response::has_body() const {
    const int s = status();
    return !(s >= 100 && s < 200) && s != 204 && s != 304;
}
