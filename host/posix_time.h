// Local time as "YYYY-MM-DD HH:MM:SS".
#ifndef HOST_POSIX_TIME_H
#define HOST_POSIX_TIME_H

#include <ctime>

#include "host/time_format.h"

class POSIX_Time_To_ISO8601 : public POSIX_Time_Format<32, true> {
public:
    explicit POSIX_Time_To_ISO8601(time_t t = ::time(nullptr)) { format(t, "%Y-%m-%d %H:%M:%S"); }
};

#endif
