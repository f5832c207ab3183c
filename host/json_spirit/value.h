#ifndef HOST_JSON_SPIRIT_VALUE_H
#define HOST_JSON_SPIRIT_VALUE_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/secure_memory.h"

namespace json_spirit {

enum Value_type {
    obj_type = 0,
    array_type = 1,
    str_type = 2,
    secure_str_type = 3,
    bool_type = 4,
    int_type = 5,
    real_type = 6,
    null_type = 7
};

class Value;
typedef std::map<std::string, Value> Object;
typedef std::vector<Value> Array;

// A JSON value. Objects and arrays live behind a pointer so that the value
// stays small and deep trees can be copied, compared and destroyed without
// recursion.
//
// A secure string keeps its text in the same std::string as a plain one; the
// value wipes that buffer (the inline buffer too) whenever it lets go of it.
// Growing it through the mutable get_str() is the caller's risk: the
// std::string then frees its old block unwiped.
class Value {
public:
    static const Value null;

    constexpr Value() noexcept : i_(0) {}
    Value(std::nullptr_t) noexcept : Value() {}
    Value(bool b) noexcept;
    Value(int i) noexcept;
    Value(unsigned int u) noexcept;
    Value(long i) noexcept;
    Value(unsigned long u) noexcept;
    Value(long long i) noexcept;
    Value(unsigned long long u) noexcept;
    Value(double d) noexcept;
    Value(const char* s);  // null pointer: a null value
    Value(const std::string& s);
    Value(std::string&& s) noexcept;
    Value(const secure_string& s);
    Value(secure_string&& s);  // wipes the source
    Value(const Object& o);
    Value(Object&& o);
    Value(const Array& a);
    Value(Array&& a);
    // Any other pointer would silently become a bool.
    template <class T>
    Value(const T*) = delete;

    Value(const Value& other);
    Value(Value&& other) noexcept;  // leaves other null
    ~Value();

    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;

    void swap(Value& other) noexcept;

    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

    Value_type type() const noexcept { return static_cast<Value_type>(type_); }
    bool is_null() const noexcept { return type_ == null_type; }
    // An integer built from an unsigned type and above INT64_MAX.
    bool is_uint64() const noexcept { return type_ == int_type && unsigned_; }

    // All getters throw std::runtime_error on a type mismatch; the integer
    // ones also when the value does not fit the result type.
    const Object& get_obj() const;
    Object& get_obj();
    const Array& get_array() const;
    Array& get_array();
    const std::string& get_str() const;  // str_type or secure_str_type
    std::string& get_str();
    secure_string get_secure_str() const;  // str_type or secure_str_type
    bool get_bool() const;
    int get_int() const;
    int64_t get_int64() const;
    uint64_t get_uint64() const;
    double get_real() const;  // real_type, or int_type converted

private:
    bool is_container() const noexcept { return type_ == obj_type || type_ == array_type; }
    static bool same_scalar(const Value& a, const Value& b) noexcept;
    void set_string(const char* s, size_t n, Value_type t);
    void move_from(Value& other) noexcept;
    void copy_scalar(const Value& other);
    void copy_from(const Value& other);
    void destroy() noexcept;
    void wipe_str() noexcept;
    void release_tree() noexcept;

    union {
        bool b_;
        int64_t i_;
        double d_;
        std::string s_;
        Object* o_;
        Array* a_;
    };
    unsigned char type_ = null_type;
    bool unsigned_ = false;  // int_type: i_ holds a uint64 above INT64_MAX
};

inline void swap(Value& a, Value& b) noexcept {
    a.swap(b);
}

// Raised by the *_or_throw accessors. The text names the key and the expected
// type only: the member's value may be a secret.
class Json_Error : public std::runtime_error {
public:
    Json_Error(const std::string& key, const char* expected);
    // The member that is missing or mistyped.
    const std::string& key() const { return key_; }

private:
    std::string key_;
};

// Optional members: true and out filled when the key exists with a fitting
// type and value, otherwise false and out untouched. Integers must fit the
// range of out; a double takes integers and reals; a string takes plain and
// secure strings.
bool object_get(const Object& obj, const std::string& key, bool& out);
bool object_get(const Object& obj, const std::string& key, short& out);
bool object_get(const Object& obj, const std::string& key, unsigned short& out);
bool object_get(const Object& obj, const std::string& key, int& out);
bool object_get(const Object& obj, const std::string& key, long& out);
bool object_get(const Object& obj, const std::string& key, unsigned int& out);
bool object_get(const Object& obj, const std::string& key, unsigned long& out);
bool object_get(const Object& obj, const std::string& key, long long& out);
bool object_get(const Object& obj, const std::string& key, unsigned long long& out);
bool object_get(const Object& obj, const std::string& key, double& out);
bool object_get(const Object& obj, const std::string& key, std::string& out);
bool object_get(const Object& obj, const std::string& key, Value& out);
bool object_get(const Object& obj, const std::string& key, Object& out);
bool object_get(const Object& obj, const std::string& key, Array& out);

// Seconds since the epoch: an integer, a string of digits, or a UTC
// "YYYY-MM-DD HH:MM:SS" string.
bool object_get_time_t(const Object& obj, const std::string& key, time_t& out);

// The member, or null when it is absent or of another type.
const std::string* object_get_str(const Object& obj, const std::string& key);
const Object* object_get_object(const Object& obj, const std::string& key);
Object* object_get_object(Object& obj, const std::string& key);
const Array* object_get_array(const Object& obj, const std::string& key);
Array* object_get_array(Object& obj, const std::string& key);
const Value* object_get_value(const Object& obj, const std::string& key);

// Required members: Json_Error when absent, of another type or out of range.
const std::string& object_get_str_or_throw(const Object& obj, const std::string& key);
bool object_get_bool_or_throw(const Object& obj, const std::string& key);
int object_get_int_or_throw(const Object& obj, const std::string& key);
int64_t object_get_int64_or_throw(const Object& obj, const std::string& key);
uint64_t object_get_uint64_or_throw(const Object& obj, const std::string& key);
double object_get_num_or_throw(const Object& obj, const std::string& key);
const Object& object_get_object_or_throw(const Object& obj, const std::string& key);
Object& object_get_object_or_throw(Object& obj, const std::string& key);
const Array& object_get_array_or_throw(const Object& obj, const std::string& key);
Array& object_get_array_or_throw(Object& obj, const std::string& key);
const Value& object_get_value_or_throw(const Object& obj, const std::string& key);

// Credentials arrive as plain strings: each member of obj named "password"
// or "token" whose value is a string moves into a wiping string, and its
// plain copy is wiped. Only obj's own members: callers walk nested objects.
void secure_credentials(Object& obj);

}  // namespace json_spirit

#endif
