#include "qorm/snprintf.h"

#include <cerrno>
#include <climits>

int string_vsprintf(std::string& s, const char* fmt, va_list ap, bool append) {
    const size_t base = append ? s.size() : 0;
    if (fmt == nullptr) {
        errno = EINVAL;
        if (base == 0)
            std::string().swap(s);
        return -1;
    }
    for (;;) {
        size_t room = s.size() - base;
        if (room < 128) {
            room = 128;
            s.resize(base + room);
        }
        va_list aq;
        va_copy(aq, ap);
        int n = std::vsnprintf(&s[base], room, fmt, aq);
        va_end(aq);
        if (n < 0 || base + static_cast<size_t>(n) >= static_cast<size_t>(INT_MAX)) {
            if (base == 0)
                std::string().swap(s);
            else
                s.resize(base);
            return n < 0 ? n : -1;
        }
        size_t len = static_cast<size_t>(n);
        if (len < room) {
            s.resize(base + len);
            return static_cast<int>(s.size());
        }
        // One past the room: the formatter could not tell the length.
        if (len == room + 1)
            len += 128;
        s.resize(base + len + 1);
    }
}

std::string string_sprintf(const char* fmt, ...) {
    std::string s;
    va_list ap;
    va_start(ap, fmt);
    string_vsprintf(s, fmt, ap, false);
    va_end(ap);
    return s;
}

int string_sprintf(std::string& s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = string_vsprintf(s, fmt, ap, false);
    va_end(ap);
    return rc;
}

int string_sprintf_append(std::string& s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = string_vsprintf(s, fmt, ap, true);
    va_end(ap);
    return rc;
}
