// Fixed-size strftime of a time_t: shared with the host libraries, which keep it.
#ifndef QORM_TIME_FORMAT_H
#define QORM_TIME_FORMAT_H

#include "host/time_format.h"

#endif
