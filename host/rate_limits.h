// Bandwidth limits of storage-pool I/O, by time of day.
#ifndef HOST_RATE_LIMITS_H
#define HOST_RATE_LIMITS_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

// One window of the day with its limit. JSON {"begin", "end", "rate"}.
struct Rate_Limit {
    enum : uint32_t { DAY_SECONDS = 86400 };

    // Seconds after local midnight; the window is [begin, end) and wraps past
    // midnight when end < begin.
    uint32_t begin = 0;
    uint32_t end = DAY_SECONDS;
    // Bytes per second; 0 means unlimited.
    uint64_t rate = 0;
};

// JSON {"dest": [windows], "src": [windows]}.
class Rate_Limits {
public:
    std::vector<Rate_Limit> dest_rate_limits;  // writing to the pool
    std::vector<Rate_Limit> src_rate_limits;   // reading from the source

    // Makes each limit a per-channel share, so that `channels` streams together
    // keep within it: rate / channels, rounded down but never below 1 byte/s
    // (0 would mean unlimited). Fewer than two channels change nothing.
    void set_rate_limits_by_channels(int channels);

    json_spirit::Object dump() const;
    // Absent lists are empty. Throws on a mistyped member or a window bound
    // beyond one day.
    void read(const json_spirit::Object& obj);
    // As read, but false (reason in *error) and unchanged on failure.
    bool load(const json_spirit::Object& obj, std::string* error = nullptr);
};

#endif
