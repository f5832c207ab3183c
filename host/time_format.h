// Fixed-size strftime of a time_t, read with c_str.
#ifndef HOST_TIME_FORMAT_H
#define HOST_TIME_FORMAT_H

#include <cstddef>
#include <ctime>

template <size_t N, bool Local = true>
class POSIX_Time_Format {
    static_assert(N > 0, "buffer size must be positive");

public:
    // Empty text for a null format, a time that does not convert or a
    // result that does not fit N (strftime leaves the buffer undefined then).
    POSIX_Time_Format(time_t t, const char* fmt) { format(t, fmt); }

    const char* c_str() const { return buf_; }

protected:
    POSIX_Time_Format() { buf_[0] = 0; }

    void format(time_t t, const char* fmt) {
        buf_[0] = 0;
        if (fmt == nullptr)
            return;
        struct tm tm_buf;
        if ((Local ? localtime_r(&t, &tm_buf) : gmtime_r(&t, &tm_buf)) == nullptr)
            return;
        if (std::strftime(buf_, N, fmt, &tm_buf) == 0)
            buf_[0] = 0;
    }

    char buf_[N];
};

#endif
