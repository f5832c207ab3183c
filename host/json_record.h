// Shared pieces of the host records' JSON readers. A record's read() throws
// (json_spirit::Json_Error or another std::exception) on a missing or mistyped
// member; load() wraps it so that a failed load leaves the record unchanged.
#ifndef HOST_JSON_RECORD_H
#define HOST_JSON_RECORD_H

#include <ctime>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/json_spirit/value.h"
#include "host/secure_memory.h"

namespace json_record {

// The expected type named in a reader's error.
template <class T>
const char* type_name() {
    if (std::is_same<T, bool>::value)
        return "bool";
    if (std::is_integral<T>::value)
        return "integer in range";
    if (std::is_floating_point<T>::value)
        return "number";
    if (std::is_same<T, std::string>::value)
        return "string";
    if (std::is_same<T, json_spirit::Object>::value)
        return "object";
    if (std::is_same<T, json_spirit::Array>::value)
        return "array";
    return "value";
}

// An absent member keeps out; a member of another type throws.
template <class T>
void read_optional(const json_spirit::Object& obj, const std::string& key, T& out) {
    if (obj.count(key) != 0 && !json_spirit::object_get(obj, key, out))
        throw json_spirit::Json_Error(key, type_name<T>());
}

// Secrets go straight into wiping storage, never through a plain string.
inline void read_optional(const json_spirit::Object& obj, const std::string& key,
                          secure_string& out) {
    auto it = obj.find(key);
    if (it == obj.end())
        return;
    const json_spirit::Value_type t = it->second.type();
    if (t != json_spirit::str_type && t != json_spirit::secure_str_type)
        throw json_spirit::Json_Error(key, "string");
    out = it->second.get_secure_str();
}

inline secure_string read_secure_str(const json_spirit::Object& obj, const std::string& key) {
    const json_spirit::Value& v = json_spirit::object_get_value_or_throw(obj, key);
    if (v.type() != json_spirit::str_type && v.type() != json_spirit::secure_str_type)
        throw json_spirit::Json_Error(key, "string");
    return v.get_secure_str();
}

inline time_t read_time(const json_spirit::Object& obj, const std::string& key) {
    time_t t = 0;
    if (!json_spirit::object_get_time_t(obj, key, t))
        throw json_spirit::Json_Error(key, "time");
    return t;
}

// An optional array of strings.
inline void read_strings(const json_spirit::Object& obj, const std::string& key,
                         std::vector<std::string>& out) {
    const json_spirit::Value* v = json_spirit::object_get_value(obj, key);
    if (v == nullptr)
        return;
    if (v->type() != json_spirit::array_type)
        throw json_spirit::Json_Error(key, "array");
    std::vector<std::string> list;
    list.reserve(v->get_array().size());
    for (const json_spirit::Value& e : v->get_array()) {
        if (e.type() != json_spirit::str_type)
            throw json_spirit::Json_Error(key, "array of strings");
        list.push_back(e.get_str());
    }
    out = std::move(list);
}

// An optional array of records, each read from an object by
// read_element(record, object), which throws when it cannot.
template <class T, class Read>
void read_records(const json_spirit::Object& obj, const std::string& key, std::vector<T>& out,
                  Read read_element) {
    const json_spirit::Value* v = json_spirit::object_get_value(obj, key);
    if (v == nullptr)
        return;
    if (v->type() != json_spirit::array_type)
        throw json_spirit::Json_Error(key, "array");
    std::vector<T> list;
    list.reserve(v->get_array().size());
    for (const json_spirit::Value& e : v->get_array()) {
        if (e.type() != json_spirit::obj_type)
            throw json_spirit::Json_Error(key, "array of objects");
        T rec;
        read_element(rec, e.get_obj());
        list.push_back(std::move(rec));
    }
    out = std::move(list);
}

// An optional array of records, each read by T::read from an object.
template <class T>
void read_records(const json_spirit::Object& obj, const std::string& key, std::vector<T>& out) {
    read_records(obj, key, out, [](T& rec, const json_spirit::Object& o) { rec.read(o); });
}

template <class T>
json_spirit::Array dump_records(const std::vector<T>& list) {
    json_spirit::Array out;
    out.reserve(list.size());
    for (const T& rec : list)
        out.emplace_back(rec.dump());
    return out;
}

// Reads obj into fresh and, only when that succeeds, moves it into rec.
// *failed_key: the member found missing or mistyped ("" for another fault).
template <class T>
bool load_into(T& rec, T fresh, const json_spirit::Object& obj, std::string* error,
               std::string* failed_key = nullptr) {
    try {
        fresh.read(obj);
    } catch (const std::exception& e) {
        if (error != nullptr)
            *error = e.what();
        if (failed_key != nullptr) {
            const auto* json_error = dynamic_cast<const json_spirit::Json_Error*>(&e);
            *failed_key = json_error != nullptr ? json_error->key() : std::string();
        }
        return false;
    }
    rec = std::move(fresh);
    return true;
}

}  // namespace json_record

#endif
