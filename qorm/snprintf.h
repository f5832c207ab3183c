// printf-style formatting into a small inline buffer that moves to the heap
// when the text does not fit, and into std::string.
#ifndef QORM_SNPRINTF_H
#define QORM_SNPRINTF_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#define QORM_PRINTF_FORMAT(fmt_index, first_arg) \
    __attribute__((format(printf, fmt_index, first_arg)))

// The text is always NUL terminated: empty before the first format and after
// any failure (a failed format never leaves a truncated text behind, callers
// build paths and file names from it).
template <size_t N, class C = char>
class snprintf_t {
    static_assert(std::is_same_v<C, char>, "only char formatting is supported");
    static_assert(N > 0 && N < INT32_MAX, "inline capacity out of range");

public:
    explicit snprintf_t(const char* fmt, ...) QORM_PRINTF_FORMAT(2, 3) {
        buf_[0] = 0;
        va_list ap;
        va_start(ap, fmt);
        vset(fmt, ap);
        va_end(ap);
    }

    ~snprintf_t() { std::free(ptr_); }

    snprintf_t(const snprintf_t&) = delete;
    snprintf_t& operator=(const snprintf_t&) = delete;

    // Final length, or -1 (the text is then empty).
    int vset(const char* fmt, va_list ap) QORM_PRINTF_FORMAT(2, 0) {
        if (fmt == nullptr)
            return fail();
        for (;;) {
            C* target = ptr_ ? ptr_ : buf_;
            size_t capacity = ptr_ ? size_ : N;
            va_list aq;
            va_copy(aq, ap);
            len_ = std::vsnprintf(target, capacity, fmt, aq);
            va_end(aq);
            if (len_ < 0)
                return fail();
            if (static_cast<size_t>(len_) < capacity)
                return len_;
            size_t need = static_cast<size_t>(len_);
            // A formatter that cannot tell the needed length reports one past
            // the capacity: guess bigger instead of crawling.
            if (need == capacity + 1)
                need *= 2;
            if (need >= static_cast<size_t>(INT32_MAX))
                return fail();
            C* grown = static_cast<C*>(std::realloc(ptr_, (need + 1) * sizeof(C)));
            if (grown == nullptr)
                return fail();
            ptr_ = grown;
            size_ = need + 1;
        }
    }

    int set(const char* fmt, ...) QORM_PRINTF_FORMAT(2, 3) {
        va_list ap;
        va_start(ap, fmt);
        int rc = vset(fmt, ap);
        va_end(ap);
        return rc;
    }

    const C* c_str() const { return ptr_ ? ptr_ : buf_; }
    // Length of the text (0 after a failure).
    int length() const { return len_; }

private:
    int fail() {
        len_ = 0;
        buf_[0] = 0;
        if (ptr_)
            ptr_[0] = 0;
        return -1;
    }

    C buf_[N];
    int32_t len_ = 0;
    C* ptr_ = nullptr;
    size_t size_ = 0;
};

// Replaces (append false) or extends (append true) the string; returns its
// new size, or a negative value when formatting failed. On failure the string
// is empty when it was replaced and back to its old content when appended to.
int string_vsprintf(std::string& s, const char* fmt, va_list ap, bool append)
    QORM_PRINTF_FORMAT(2, 0);

std::string string_sprintf(const char* fmt, ...) QORM_PRINTF_FORMAT(1, 2);
int string_sprintf(std::string& s, const char* fmt, ...) QORM_PRINTF_FORMAT(2, 3);
// Returns the total size of the string, not the count appended.
int string_sprintf_append(std::string& s, const char* fmt, ...) QORM_PRINTF_FORMAT(2, 3);

#endif
