#ifndef JSON_SPIRIT_ASSIGN_H
#define JSON_SPIRIT_ASSIGN_H

#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include "host/json_spirit/value.h"

namespace json_spirit {

// True when T has a size() member, so appending can reserve first.
template <class T, class = void>
struct size_method_helper : std::false_type {};

template <class T>
struct size_method_helper<T, std::void_t<decltype(std::declval<const T&>().size())>>
    : std::true_type {};

// Anything the writers accept, as a Value. Enumerations are stored as their
// integer; a Value (or a maker derived from one) is passed through.
template <class T>
Value to_value(T&& v) {
    using D = std::decay_t<T>;
    if constexpr (std::is_base_of_v<Value, D>)
        return Value(
            static_cast<std::conditional_t<std::is_lvalue_reference_v<T>, const Value&, Value&&>>(
                v));
    else if constexpr (std::is_enum_v<D>)
        return Value(static_cast<std::underlying_type_t<D>>(v));
    else
        return Value(std::forward<T>(v));
}

// Whatever the value held is discarded.
inline Object& to_new_object(Value& v) {
    v = Object();
    return v.get_obj();
}

// The value's own object when it holds one, else a new empty one.
inline Object& to_object(Value& v) {
    return v.type() == obj_type ? v.get_obj() : to_new_object(v);
}

inline Array& to_new_array(Value& v) {
    v = Array();
    return v.get_array();
}

inline Array& to_array(Value& v) {
    return v.type() == array_type ? v.get_array() : to_new_array(v);
}

inline std::string& to_new_string(Value& v) {
    v = std::string();
    return v.get_str();
}

// The appended element's object, for the caller to go on filling.
inline Object& append_object(Array& arr, const Object& obj) {
    arr.emplace_back(obj);
    return arr.back().get_obj();
}

inline Array& operator<<(Array& arr, Value v) {
    arr.push_back(std::move(v));
    return arr;
}

// Appends a range at the end, reserving first when `hint` is not 0.
template <class Container, class Range>
Container& push_back(Container& c, const Range& range, size_t hint) {
    if (hint != 0)
        c.reserve(c.size() + hint);
    c.insert(c.end(), std::begin(range), std::end(range));
    return c;
}

// Appends every element of a range, each converted to a Value.
template <class Range>
Array& operator+=(Array& arr, const Range& range) {
    if constexpr (size_method_helper<Range>::value) {
        if (range.size() != 0)
            arr.reserve(arr.size() + range.size());
    }
    for (const auto& e : range)
        arr.push_back(to_value(e));
    return arr;
}

}  // namespace json_spirit

#endif
