// Invariant checks. A failed check logs at LM_EMERGENCY
//   "Unexpected error in %N:%l, <what>:\n%?\n"
// (file, line, call stack) and yields false; the _RETURN forms return ret
// from the calling function instead (leave ret empty in a void function).
// The file is always the one the check is written in.
//
//   QORM_CHECK_NOT_NULL(p)              "p is NULL"
//   QORM_CHECK_NOT_EMPTY(v)             "v is empty"             (v.empty())
//   QORM_CHECK_NOT_NULL_OR_EMPTY(s)     "s is NULL or \"\""      (C string or std::string)
//   QORM_CHECK_TRUE(c)                  "c is false"
//   QORM_CHECK_FALSE(c)                 "c is true"
//   QORM_CHECK_EQ/NE/LT/LE/GT/GE(a, b)  "a(1) != b" - the failed relation; a
//                                       value is shown only when it says more
//                                       than its expression's text
//   QORM_CHECK(c, what)                 what, a string literal
//
// The short form, for a value of the wrong shape (a JSON reply that is not
// an object, say), has no call stack:
//   QORM_CHECK_SHAPE(c, what)           "Unexpected error in <file>:<line>, what!\n"
// e.g. QORM_CHECK_SHAPE(v.type() == json_spirit::obj_type, "v is not object").
// Each expression is evaluated once.
#ifndef QORM_CHECK_H
#define QORM_CHECK_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace qorm {
namespace check_detail {
template <class T, class = void>
struct is_iterator : std::false_type {};
template <class T>
struct is_iterator<T, std::void_t<typename std::iterator_traits<T>::iterator_category>>
    : std::bool_constant<std::is_class_v<T>> {};

inline std::string hex_address(const void* p) {
    char buf[2 + 2 * sizeof(void*) + 1];
    std::snprintf(buf, sizeof buf, "0x%jx", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

// Signedness-safe comparisons for the check macros.
template <class A, class B>
constexpr bool equal(const A& a, const B& b) {
    if constexpr (std::is_integral_v<A> && std::is_integral_v<B> &&
                  std::is_signed_v<A> != std::is_signed_v<B>) {
        if constexpr (std::is_signed_v<A>)
            return a >= 0 && static_cast<std::make_unsigned_t<A>>(a) == b;
        else
            return b >= 0 && a == static_cast<std::make_unsigned_t<B>>(b);
    } else {
        return a == b;
    }
}
template <class A, class B>
constexpr bool less(const A& a, const B& b) {
    if constexpr (std::is_integral_v<A> && std::is_integral_v<B> &&
                  std::is_signed_v<A> != std::is_signed_v<B>) {
        if constexpr (std::is_signed_v<A>)
            return a < 0 || static_cast<std::make_unsigned_t<A>>(a) < b;
        else
            return b >= 0 && a < static_cast<std::make_unsigned_t<B>>(b);
    } else {
        return a < b;
    }
}
}  // namespace check_detail

// Text of a value for invariant messages: integers in decimal, characters and
// strings as themselves, pointers in hex, iterators as their type name and
// the address they hold (never dereferenced: a failed check often holds end()).
template <class T>
std::string to_string(const T& v) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, std::string>) {
        return v;
    } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
        return v ? std::string(v) : std::string("NULL");
    } else if constexpr (std::is_same_v<D, char>) {
        return std::string(1, v);
    } else if constexpr (std::is_same_v<D, bool>) {
        return v ? "1" : "0";
    } else if constexpr (std::is_integral_v<D>) {
        return std::to_string(v);
    } else if constexpr (std::is_enum_v<D>) {
        return std::to_string(static_cast<std::underlying_type_t<D>>(v));
    } else if constexpr (std::is_floating_point_v<D>) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", static_cast<double>(v));
        return buf;
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        return "0x0";
    } else if constexpr (std::is_pointer_v<D>) {
        return check_detail::hex_address(reinterpret_cast<const void*>(v));
    } else if constexpr (check_detail::is_iterator<D>::value) {
        const void* held = nullptr;
        if constexpr (sizeof(D) >= sizeof(void*) && std::is_trivially_copyable_v<D>)
            std::memcpy(&held, &v, sizeof held);
        return std::string(typeid(D).name()) + "(" + check_detail::hex_address(held) + ")";
    } else {
        return typeid(D).name();
    }
}

// prefix + to_string(v) + suffix, or "" when that text equals text (so a
// literal adds nothing). A null prefix or suffix counts as empty.
template <class T>
std::string to_string_if_ne(const T& v, const char* text, const char* prefix, const char* suffix) {
    std::string s = to_string(v);
    if (text && s == text)
        return std::string();
    return (prefix ? prefix : "") + s + (suffix ? suffix : "");
}

inline bool is_null_or_empty(const char* s) {
    return s == nullptr || *s == 0;
}
inline bool is_null_or_empty(const std::string& s) {
    return s.empty();
}

// Logs the invariant message for what at file:line; always false.
bool check_failed(const char* file, int line, const char* what);
// The short form: "Unexpected error in file:line, what!\n"; always false.
bool shape_check_failed(const char* file, int line, const char* what);

template <class A, class B, class Holds>
bool check_relation(const A& a, const B& b, Holds holds, const char* a_text, const char* failed_op,
                    const char* b_text, const char* file, int line) {
    if (holds(a, b))
        return true;
    std::string what = std::string(a_text) + to_string_if_ne(a, a_text, "(", ")") + " " +
                       failed_op + " " + b_text + to_string_if_ne(b, b_text, "(", ")");
    return check_failed(file, line, what.c_str());
}
}  // namespace qorm

template <class T>
std::string to_string_for_qorm_check_macro(const T& v, const char* text) {
    return qorm::to_string_if_ne(v, text, "(", ")");
}

#define QORM_CHECK(cond, what) \
    (static_cast<bool>(cond) || ::qorm::check_failed(__FILE__, __LINE__, what))
#define QORM_CHECK_SHAPE(cond, what) \
    (static_cast<bool>(cond) || ::qorm::shape_check_failed(__FILE__, __LINE__, what))
#define QORM_CHECK_NOT_NULL(expr) QORM_CHECK((expr) != nullptr, #expr " is NULL")
#define QORM_CHECK_NOT_EMPTY(expr) QORM_CHECK(!(expr).empty(), #expr " is empty")
#define QORM_CHECK_NOT_NULL_OR_EMPTY(expr) \
    QORM_CHECK(!::qorm::is_null_or_empty(expr), #expr " is NULL or \"\"")
#define QORM_CHECK_TRUE(expr) QORM_CHECK(expr, #expr " is false")
#define QORM_CHECK_FALSE(expr) QORM_CHECK(!(expr), #expr " is true")

#define QORM_CHECK_REL_(a, b, holds, failed_op) \
    ::qorm::check_relation((a), (b), holds, #a, failed_op, #b, __FILE__, __LINE__)
#define QORM_CHECK_EQ(a, b)                                                                   \
    QORM_CHECK_REL_(                                                                          \
        a, b, [](const auto& x, const auto& y) { return ::qorm::check_detail::equal(x, y); }, \
        "!=")
#define QORM_CHECK_NE(a, b)                                                                    \
    QORM_CHECK_REL_(                                                                           \
        a, b, [](const auto& x, const auto& y) { return !::qorm::check_detail::equal(x, y); }, \
        "==")
#define QORM_CHECK_LT(a, b) \
    QORM_CHECK_REL_(        \
        a, b, [](const auto& x, const auto& y) { return ::qorm::check_detail::less(x, y); }, ">=")
#define QORM_CHECK_LE(a, b) \
    QORM_CHECK_REL_(        \
        a, b, [](const auto& x, const auto& y) { return !::qorm::check_detail::less(y, x); }, ">")
#define QORM_CHECK_GT(a, b) \
    QORM_CHECK_REL_(        \
        a, b, [](const auto& x, const auto& y) { return ::qorm::check_detail::less(y, x); }, "<=")
#define QORM_CHECK_GE(a, b) \
    QORM_CHECK_REL_(        \
        a, b, [](const auto& x, const auto& y) { return !::qorm::check_detail::less(x, y); }, "<")

#define QORM_CHECK_RETURN_(check, ret) \
    do {                               \
        if (!(check))                  \
            return ret;                \
    } while (0)
#define QORM_CHECK_NOT_NULL_RETURN(expr, ret) QORM_CHECK_RETURN_(QORM_CHECK_NOT_NULL(expr), ret)
#define QORM_CHECK_NOT_EMPTY_RETURN(expr, ret) QORM_CHECK_RETURN_(QORM_CHECK_NOT_EMPTY(expr), ret)
#define QORM_CHECK_NOT_NULL_OR_EMPTY_RETURN(expr, ret) \
    QORM_CHECK_RETURN_(QORM_CHECK_NOT_NULL_OR_EMPTY(expr), ret)
#define QORM_CHECK_TRUE_RETURN(expr, ret) QORM_CHECK_RETURN_(QORM_CHECK_TRUE(expr), ret)
#define QORM_CHECK_FALSE_RETURN(expr, ret) QORM_CHECK_RETURN_(QORM_CHECK_FALSE(expr), ret)
#define QORM_CHECK_EQ_RETURN(a, b, ret) QORM_CHECK_RETURN_(QORM_CHECK_EQ(a, b), ret)
#define QORM_CHECK_NE_RETURN(a, b, ret) QORM_CHECK_RETURN_(QORM_CHECK_NE(a, b), ret)
#define QORM_CHECK_LT_RETURN(a, b, ret) QORM_CHECK_RETURN_(QORM_CHECK_LT(a, b), ret)
#define QORM_CHECK_LE_RETURN(a, b, ret) QORM_CHECK_RETURN_(QORM_CHECK_LE(a, b), ret)
#define QORM_CHECK_GT_RETURN(a, b, ret) QORM_CHECK_RETURN_(QORM_CHECK_GT(a, b), ret)
#define QORM_CHECK_GE_RETURN(a, b, ret) QORM_CHECK_RETURN_(QORM_CHECK_GE(a, b), ret)
#define QORM_CHECK_RETURN(cond, what, ret) QORM_CHECK_RETURN_(QORM_CHECK(cond, what), ret)
#define QORM_CHECK_SHAPE_RETURN(cond, what, ret) \
    QORM_CHECK_RETURN_(QORM_CHECK_SHAPE(cond, what), ret)

#endif
