// Strict decimal parsing: no white space, an optional sign, digits. Reports
// through errno: 0, EINVAL (no digit) or ERANGE (clamped to the type's range).
#ifndef HOST_NATOI_H
#define HOST_NATOI_H

#include <cerrno>
#include <limits>
#include <type_traits>

// Parses [begin, end); with a null end the text ends at the first non-digit
// (the NUL included). *stop gets the first character not consumed (begin
// when no digit was read). Overflow gives the type's maximum, or its minimum
// for a negative text, with ERANGE. An unsigned T refuses a leading "-".
namespace qorm_detail {
// Keeps end and stop out of deduction so natoi<int>(p, nullptr, &stop) works.
template <class P>
struct natoi_same {
    using type = P;
};
}  // namespace qorm_detail

template <class T, class P>
T natoi(P begin, typename qorm_detail::natoi_same<P>::type end = nullptr,
        typename qorm_detail::natoi_same<P>::type* stop = nullptr) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>, "integer result only");
    using U = std::make_unsigned_t<T>;

    if (stop)
        *stop = begin;
    auto at_end = [end](P p) { return end ? p == end : *p == 0; };
    if (begin == nullptr || at_end(begin)) {
        errno = EINVAL;
        return 0;
    }

    P p = begin;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        if (negative && !std::is_signed_v<T>) {
            errno = EINVAL;
            return 0;
        }
        ++p;
    }

    const U limit = negative ? static_cast<U>(static_cast<U>(std::numeric_limits<T>::max()) + 1u)
                             : static_cast<U>(std::numeric_limits<T>::max());
    U acc = 0;
    bool any = false;
    bool overflow = false;
    for (; !at_end(p); ++p) {
        const char c = static_cast<char>(*p);
        if (c < '0' || c > '9')
            break;
        const U digit = static_cast<U>(c - '0');
        if (acc > limit / 10 || (acc == limit / 10 && digit > limit % 10)) {
            overflow = true;
            break;
        }
        acc = static_cast<U>(acc * 10 + digit);
        any = true;
    }

    if (overflow) {
        if (stop)
            *stop = p;
        errno = ERANGE;
        return negative ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
    }
    if (!any) {
        errno = EINVAL;
        return 0;
    }
    if (stop)
        *stop = p;
    errno = 0;
    if (negative)
        return acc == limit ? std::numeric_limits<T>::min() : static_cast<T>(-static_cast<T>(acc));
    return static_cast<T>(acc);
}

#endif
