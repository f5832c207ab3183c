#include "host/http_session.h"

HTTP_Session::~HTTP_Session() = default;
