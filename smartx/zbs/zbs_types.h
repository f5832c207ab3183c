// Types of the ZBS client library (libzbs.so.1) as the module passes them:
// the library's interface header, which the host keeps.
#ifndef SMARTX_ZBS_ZBS_TYPES_H
#define SMARTX_ZBS_ZBS_TYPES_H

#include "host/zbs/libzbs.h"

#endif
