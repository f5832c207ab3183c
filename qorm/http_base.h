// Typed accessors of the common HTTP headers: shared with the host libraries, which keep it.
#ifndef QORM_HTTP_BASE_H
#define QORM_HTTP_BASE_H

#include "host/http_base.h"

#endif
