// Fixed-size strftime of a time_t, read with c_str; and the reading of a
// civil UTC date and time whose fields are each in range.
#ifndef HOST_TIME_FORMAT_H
#define HOST_TIME_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace time_format_detail {
constexpr unsigned MONTHS_PER_YEAR = 12;
constexpr unsigned FEBRUARY = 2;
constexpr unsigned HOURS_PER_DAY = 24;
constexpr unsigned MINUTES_PER_HOUR = 60;
constexpr unsigned SECONDS_PER_MINUTE = 60;
constexpr int64_t SECONDS_PER_DAY = 86400;

// Days since 1970-01-01 in the proleptic Gregorian calendar.
inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= FEBRUARY;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > FEBRUARY ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline unsigned days_in_month(unsigned year, unsigned month) {
    static const unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return DAYS[month - 1] + (month == FEBRUARY && leap ? 1 : 0);
}
}  // namespace time_format_detail

// The count characters of s at pos, all digits, as a number; false when one
// is no digit or s is shorter.
inline bool read_time_digits(const std::string& s, size_t pos, size_t count, unsigned& out) {
    if (pos > s.size() || s.size() - pos < count)
        return false;
    out = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

// The UTC time of a civil date and time of day. A field out of its range (a
// month past 12, a day its month has not, leap years counted, hour 24,
// minute or second 60) is refused, not carried into the next as timegm
// does.
inline bool civil_utc_time(unsigned year, unsigned month, unsigned day, unsigned hour,
                           unsigned minute, unsigned second, time_t& out) {
    using namespace time_format_detail;
    if (month < 1 || month > MONTHS_PER_YEAR || day < 1 || day > days_in_month(year, month) ||
        hour >= HOURS_PER_DAY || minute >= MINUTES_PER_HOUR || second >= SECONDS_PER_MINUTE)
        return false;
    out = static_cast<time_t>(days_from_civil(year, month, day) * SECONDS_PER_DAY +
                              (int64_t{hour} * MINUTES_PER_HOUR + minute) * SECONDS_PER_MINUTE +
                              second);
    return true;
}

// Characters in "YYYY-MM-DD HH:MM:SS".
constexpr size_t CIVIL_TIME_SIZE = 19;

// Reads "YYYY-MM-DD<separator>HH:MM:SS" at the start of s as a UTC time, as
// civil_utc_time does; what follows it is the caller's to read.
inline bool read_civil_utc(const std::string& s, char separator, time_t& out) {
    unsigned year, month, day, hour, minute, second;
    return s.size() >= CIVIL_TIME_SIZE && s[4] == '-' && s[7] == '-' && s[10] == separator &&
           s[13] == ':' && s[16] == ':' && read_time_digits(s, 0, 4, year) &&
           read_time_digits(s, 5, 2, month) && read_time_digits(s, 8, 2, day) &&
           read_time_digits(s, 11, 2, hour) && read_time_digits(s, 14, 2, minute) &&
           read_time_digits(s, 17, 2, second) &&
           civil_utc_time(year, month, day, hour, minute, second, out);
}

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
