// Fluent writers for JSON objects and arrays; includes the readers and the
// array filter, so one include gives the whole toolkit.
#ifndef JSON_SPIRIT_JSON_SPIRIT_HELPER_H
#define JSON_SPIRIT_JSON_SPIRIT_HELPER_H

#include <string>
#include <type_traits>
#include <utility>

#include "host/json_spirit/value.h"
#include "json_spirit/assign.h"
#include "json_spirit/extract.h"
#include "json_spirit/filter.h"

namespace json_spirit {

// ---- conditional values ----

struct Skip_Inserting_Helper {
    bool valid;
};

// A value inserted only when `valid`. T is a const reference for an lvalue,
// a plain type (holding the moved value) for a temporary.
template <class T>
struct Skip_Inserting_Tag {
    using skip_inserting_tag = void;

    T value;
    bool valid;
};

template <class T>
struct Skip_Empty_Tag : Skip_Inserting_Tag<T> {};

inline Skip_Inserting_Helper skip_if(bool condition) {
    return Skip_Inserting_Helper{!condition};
}

template <class T>
using Skip_Held_T =
    std::conditional_t<std::is_lvalue_reference_v<T>, const std::remove_reference_t<T>&, T>;

// value | skip_if(cond): inserted only when cond is false.
template <class T>
Skip_Inserting_Tag<Skip_Held_T<T>> operator|(T&& value, Skip_Inserting_Helper helper) {
    return Skip_Inserting_Tag<Skip_Held_T<T>>{std::forward<T>(value), helper.valid};
}

struct Skip_Empty_Helper {
    Skip_Empty_Tag<const std::string&> operator()(const std::string& s) const {
        return Skip_Empty_Tag<const std::string&>{{s, !s.empty()}};
    }
    Skip_Empty_Tag<std::string> operator()(std::string&& s) const {
        const bool valid = !s.empty();
        return Skip_Empty_Tag<std::string>{{std::move(s), valid}};
    }
};

struct Skip_Null_Helper {
    Skip_Inserting_Tag<const Value&> operator()(const Value& v) const {
        return Skip_Inserting_Tag<const Value&>{v, !v.is_null()};
    }
};

inline constexpr Skip_Empty_Helper skip_empty{};
inline constexpr Skip_Null_Helper skip_null{};

namespace detail {
template <class T, class = void>
struct is_skip_tag : std::false_type {};

template <class T>
struct is_skip_tag<T, std::void_t<typename T::skip_inserting_tag>> : std::true_type {};

// The one place a member is written: an existing key is overwritten.
template <class T>
void insert_member(Object& obj, const std::string& key, T&& value) {
    using D = std::decay_t<T>;
    if constexpr (is_skip_tag<D>::value) {
        if (value.valid)
            obj.insert_or_assign(key, to_value(std::forward<T>(value).value));
    } else {
        obj.insert_or_assign(key, to_value(std::forward<T>(value)));
    }
}
}  // namespace detail

// ---- writers ----

class Object_Inserter {
public:
    explicit Object_Inserter(Object& o) : obj(o) {}

    template <class T>
    Object_Inserter& operator()(const std::string& key, T&& value) & {
        detail::insert_member(obj, key, std::forward<T>(value));
        return *this;
    }

    template <class T>
    Object_Inserter&& operator()(const std::string& key, T&& value) && {
        return std::move((*this)(key, std::forward<T>(value)));
    }

    operator Object&() const { return obj; }

    Object& obj;
};

inline Object_Inserter insert(Object& obj) {
    return Object_Inserter(obj);
}

// A new object value built in one expression. It keeps no reference to its
// own object (each call finds it again), so copies and moves are plain value
// copies and moves and can never write into another maker's object.
class Object_Maker : public Value {
public:
    Object_Maker() : Value(Object()) {}

    template <class T>
    Object_Maker& operator()(const std::string& key, T&& value) & {
        detail::insert_member(to_object(*this), key, std::forward<T>(value));
        return *this;
    }

    template <class T>
    Object_Maker&& operator()(const std::string& key, T&& value) && {
        return std::move((*this)(key, std::forward<T>(value)));
    }
};

// A new array value built in one expression; like Object_Maker it finds its
// array on each call instead of holding a reference to it.
class Array_Maker : public Value {
public:
    Array_Maker() : Value(Array()) {}

    // Every element of a container, each converted to a Value.
    template <class Container>
    Array_Maker& operator()(const Container& c) & {
        to_array(*this) += c;
        return *this;
    }

    template <class Container>
    Array_Maker&& operator()(const Container& c) && {
        return std::move((*this)(c));
    }

    // The range [first, last); `count` more elements are reserved when not 0.
    template <class It>
    Array_Maker& operator()(It first, It last, size_t count) & {
        Array& arr = to_array(*this);
        if (count != 0)
            arr.reserve(arr.size() + count);
        for (; first != last; ++first)
            arr.push_back(to_value(*first));
        return *this;
    }

    template <class It>
    Array_Maker&& operator()(It first, It last, size_t count) && {
        return std::move((*this)(std::move(first), std::move(last), count));
    }
};

}  // namespace json_spirit

#endif
