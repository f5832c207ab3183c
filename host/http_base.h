// Typed accessors of the common HTTP headers over a header container Base
// (the host's CGI_Response: head(id) / head(id, value), ids 8, 12, 16, 41).
#ifndef HOST_HTTP_BASE_H
#define HOST_HTTP_BASE_H

#include <strings.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "host/natoi.h"

namespace qorm_detail {
// True when the comma-separated list holds token (case-insensitive, blanks
// around items ignored). Match only the last item with last_only.
inline bool http_list_has(const char* list, const char* token, bool last_only = false) {
    if (!list)
        return false;
    const size_t tlen = std::strlen(token);
    bool found = false;
    for (const char* p = list;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        const char* item = p;
        while (*p && *p != ',')
            ++p;
        const char* item_end = p;
        while (item_end > item && (item_end[-1] == ' ' || item_end[-1] == '\t'))
            --item_end;
        bool match =
            static_cast<size_t>(item_end - item) == tlen && ::strncasecmp(item, token, tlen) == 0;
        found = last_only ? match : (found || match);
        if (!*p)
            return found;
        ++p;
    }
}
}  // namespace qorm_detail

template <class Base>
class HTTP_Base : public Base {
public:
    enum {
        HEAD_CONNECTION = 8,
        HEAD_CONTENT_LENGTH = 12,
        HEAD_CONTENT_TYPE = 16,
        HEAD_TRANSFER_ENCODING = 41
    };

    HTTP_Base() : minor_version_(1) {}
    virtual ~HTTP_Base() {}

    // The declared body length; 0 when absent. A value that is not plain
    // decimal digits within range also reads 0 and makes malformed() true:
    // such a message cannot be framed and must not be trusted.
    virtual unsigned long content_length() const {
        unsigned long n = 0;
        return parse_content_length(n) ? n : 0;
    }
    virtual void content_length(unsigned long n) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%lu", n);
        this->head(HEAD_CONTENT_LENGTH, buf);
    }

    virtual const char* content_type() const { return this->head(HEAD_CONTENT_TYPE); }
    virtual void content_type(const char* type) { this->head(HEAD_CONTENT_TYPE, type); }

    // "close" wins over "Keep-Alive"; without either HTTP/1.1 and later
    // keep the connection, HTTP/1.0 does not.
    virtual bool keep_alive() const {
        const char* conn = this->head(HEAD_CONNECTION);
        if (conn) {
            if (qorm_detail::http_list_has(conn, "close"))
                return false;
            if (qorm_detail::http_list_has(conn, "Keep-Alive"))
                return true;
        }
        return minor_version_ > 0;
    }
    virtual void keep_alive(bool on) { this->head(HEAD_CONNECTION, on ? "Keep-Alive" : "close"); }

    // Chunked when "chunked" is the final transfer coding (as in
    // "gzip, chunked"), which is what decides the framing.
    virtual bool chunked_transfer_encoding() const {
        return qorm_detail::http_list_has(this->head(HEAD_TRANSFER_ENCODING), "chunked", true);
    }
    virtual void chunked_transfer_encoding(bool on) {
        this->head(HEAD_TRANSFER_ENCODING, on ? "chunked" : nullptr);
    }

    // True when a Content-Length header is present but unusable.
    bool malformed() const {
        unsigned long n;
        return !parse_content_length(n);
    }

    int minor_version() const { return minor_version_; }
    void minor_version(int v) { minor_version_ = v; }

protected:
    // True with n set (0 when absent); false for anything but digits in range.
    bool parse_content_length(unsigned long& n) const {
        n = 0;
        const char* text = this->head(HEAD_CONTENT_LENGTH);
        if (!text)
            return true;
        if (*text < '0' || *text > '9')
            return false;
        const int saved = errno;
        const char* stop = nullptr;
        unsigned long v = natoi<unsigned long>(text, nullptr, &stop);
        const bool ok = errno == 0 && *stop == 0;
        errno = saved;
        if (ok)
            n = v;
        return ok;
    }

    int minor_version_;
};

#endif
