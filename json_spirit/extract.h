// Fluent readers of typed members of a JSON object.
//
// Numbers are never narrowed: a member that does not fit its output (70000
// into unsigned short, 2^32+5 into int, -1 into unsigned) is a miss like a
// member of another type, so an optional read leaves the output untouched and
// a required one throws. A double output takes integers and reals.
#ifndef JSON_SPIRIT_EXTRACT_H
#define JSON_SPIRIT_EXTRACT_H

#include <string>
#include <type_traits>

#include "host/json_spirit/value.h"

namespace json_spirit {

// Enumerations are read as their underlying integer.
template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
bool object_get(const Object& obj, const std::string& key, E& out) {
    std::underlying_type_t<E> v{};
    if (!object_get(obj, key, v))
        return false;
    out = static_cast<E>(v);
    return true;
}

namespace detail {
template <class T>
constexpr const char* number_kind() {
    if constexpr (std::is_enum_v<T>)
        return number_kind<std::underlying_type_t<T>>();
    else if constexpr (std::is_floating_point_v<T>)
        return "number";
    else if constexpr (std::is_unsigned_v<T>)
        return sizeof(T) == 8   ? "unsigned integer"
               : sizeof(T) == 4 ? "32-bit unsigned integer"
                                : "16-bit unsigned integer";
    else
        return sizeof(T) == 8 ? "integer" : sizeof(T) == 4 ? "32-bit integer" : "16-bit integer";
}
}  // namespace detail

// A number (or enumeration) member. Returns true when `out` was set; a miss
// throws Json_Error when `required`, else leaves `out` untouched.
template <class T>
bool object_get_may_throw(const Object& obj, const std::string& key, T& out, bool required) {
    static_assert((std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) || std::is_enum_v<T>,
                  "numbers and enumerations only");
    if (object_get(obj, key, out))
        return true;
    if (required)
        throw Json_Error(key, detail::number_kind<T>());
    return false;
}

namespace detail {
// Optional: a miss leaves a value untouched and makes a pointer null.
template <class T>
void get_optional(const Object& obj, const std::string& key, T& out) {
    object_get(obj, key, out);
}

inline void get_optional(const Object& obj, const std::string& key, const std::string*& out) {
    out = object_get_str(obj, key);
}

inline void get_optional(const Object& obj, const std::string& key, const char*& out) {
    const std::string* s = object_get_str(obj, key);
    out = s != nullptr ? s->c_str() : nullptr;
}

inline void get_optional(const Object& obj, const std::string& key, const Object*& out) {
    out = object_get_object(obj, key);
}

inline void get_optional(const Object& obj, const std::string& key, const Array*& out) {
    out = object_get_array(obj, key);
}

inline void get_optional(Object& obj, const std::string& key, Object*& out) {
    out = object_get_object(obj, key);
}

inline void get_optional(Object& obj, const std::string& key, Array*& out) {
    out = object_get_array(obj, key);
}

// Required: a miss throws the host's Json_Error.
template <class T>
void get_required(const Object& obj, const std::string& key, T& out) {
    object_get_may_throw(obj, key, out, true);
}

inline void get_required(const Object& obj, const std::string& key, std::string& out) {
    out = object_get_str_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, bool& out) {
    out = object_get_bool_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, Value& out) {
    out = object_get_value_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, Object& out) {
    out = object_get_object_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, Array& out) {
    out = object_get_array_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, const std::string*& out) {
    out = &object_get_str_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, const char*& out) {
    out = object_get_str_or_throw(obj, key).c_str();
}

inline void get_required(const Object& obj, const std::string& key, const Object*& out) {
    out = &object_get_object_or_throw(obj, key);
}

inline void get_required(const Object& obj, const std::string& key, const Array*& out) {
    out = &object_get_array_or_throw(obj, key);
}

inline void get_required(Object& obj, const std::string& key, Object*& out) {
    out = &object_get_object_or_throw(obj, key);
}

inline void get_required(Object& obj, const std::string& key, Array*& out) {
    out = &object_get_array_or_throw(obj, key);
}

template <class O, class T>
void get_member(O& obj, const std::string& key, T& out, bool required) {
    if (required)
        get_required(obj, key, out);
    else
        get_optional(obj, key, out);
}
}  // namespace detail

// extract(obj)("a", a)("b", b): every key optional.
class Const_Object_Extractor {
public:
    explicit Const_Object_Extractor(const Object& o) : obj(o) {}

    template <class T>
    Const_Object_Extractor& operator()(const std::string& key, T& out) {
        detail::get_optional(obj, key, out);
        return *this;
    }

    const Object& obj;
};

// Adds mutable pointer outputs.
class Object_Extractor : public Const_Object_Extractor {
public:
    explicit Object_Extractor(Object& o) : Const_Object_Extractor(o) {}

    template <class T>
    Object_Extractor& operator()(const std::string& key, T& out) {
        detail::get_optional(mutable_obj(), key, out);
        return *this;
    }

private:
    // Only ever bound to a mutable object.
    Object& mutable_obj() const { return const_cast<Object&>(obj); }
};

// extract_or_throw(obj)("id", id, true)("local_id", local_id, false).
class Const_Object_Throw_Extractor {
public:
    explicit Const_Object_Throw_Extractor(const Object& o) : obj(o) {}

    template <class T>
    Const_Object_Throw_Extractor& operator()(const std::string& key, T& out, bool required) {
        detail::get_member(obj, key, out, required);
        return *this;
    }

    const Object& obj;
};

class Object_Throw_Extractor : public Const_Object_Throw_Extractor {
public:
    explicit Object_Throw_Extractor(Object& o) : Const_Object_Throw_Extractor(o) {}

    template <class T>
    Object_Throw_Extractor& operator()(const std::string& key, T& out, bool required) {
        detail::get_member(mutable_obj(), key, out, required);
        return *this;
    }

private:
    Object& mutable_obj() const { return const_cast<Object&>(obj); }
};

inline Const_Object_Extractor extract(const Object& obj) {
    return Const_Object_Extractor(obj);
}

inline Object_Extractor extract(Object& obj) {
    return Object_Extractor(obj);
}

inline Const_Object_Throw_Extractor extract_or_throw(const Object& obj) {
    return Const_Object_Throw_Extractor(obj);
}

inline Object_Throw_Extractor extract_or_throw(Object& obj) {
    return Object_Throw_Extractor(obj);
}

// Extractors keep a reference: reading a temporary would leave pointers dangling.
void extract(const Object&&) = delete;
void extract_or_throw(const Object&&) = delete;

namespace detail {
template <class T>
struct Any_Getter;

template <>
struct Any_Getter<std::string> {
    static const std::string& get(const Object& o, const std::string& key) {
        return object_get_str_or_throw(o, key);
    }
    static const std::string* ptr(const Object& o, const std::string& key) {
        return object_get_str(o, key);
    }
};

template <>
struct Any_Getter<Object> {
    static const Object& get(const Object& o, const std::string& key) {
        return object_get_object_or_throw(o, key);
    }
    static Object& get(Object& o, const std::string& key) {
        return object_get_object_or_throw(o, key);
    }
    static const Object* ptr(const Object& o, const std::string& key) {
        return object_get_object(o, key);
    }
    static Object* ptr(Object& o, const std::string& key) { return object_get_object(o, key); }
};

template <>
struct Any_Getter<Array> {
    static const Array& get(const Object& o, const std::string& key) {
        return object_get_array_or_throw(o, key);
    }
    static Array& get(Object& o, const std::string& key) {
        return object_get_array_or_throw(o, key);
    }
    static const Array* ptr(const Object& o, const std::string& key) {
        return object_get_array(o, key);
    }
    static Array* ptr(Object& o, const std::string& key) { return object_get_array(o, key); }
};
}  // namespace detail

// The member itself (mutable when `obj` is); throws when absent or of another type.
template <class T, class O>
decltype(auto) object_get_any(O& obj, const std::string& key) {
    return detail::Any_Getter<T>::get(obj, key);
}

// The member, or null.
template <class T, class O>
auto object_get_any_ptr(O& obj, const std::string& key) {
    return detail::Any_Getter<T>::ptr(obj, key);
}

inline std::string object_get_or_default(const Object& obj, const std::string& key,
                                         const std::string& def) {
    std::string s;
    return object_get(obj, key, s) ? s : def;
}

}  // namespace json_spirit

#endif
