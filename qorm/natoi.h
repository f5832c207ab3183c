// Strict decimal parsing: shared with the host libraries, which keep it.
#ifndef QORM_NATOI_H
#define QORM_NATOI_H

#include "host/natoi.h"

#endif
