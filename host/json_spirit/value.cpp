#include "host/json_spirit/value.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "host/time_format.h"

namespace json_spirit {

namespace {

const char* type_name(Value_type t) {
    switch (t) {
        case obj_type:
            return "an object";
        case array_type:
            return "an array";
        case str_type:
            return "a string";
        case secure_str_type:
            return "a secure string";
        case bool_type:
            return "a boolean";
        case int_type:
            return "an integer";
        case real_type:
            return "a real";
        case null_type:
            return "null";
    }
    return "unknown";
}

[[noreturn]] void type_mismatch(Value_type actual, const char* wanted) {
    throw std::runtime_error(std::string("json_spirit: value is ") + type_name(actual) + ", not " +
                             wanted);
}

[[noreturn]] void out_of_range(const char* wanted) {
    throw std::runtime_error(std::string("json_spirit: integer value does not fit ") + wanted);
}

}  // namespace

const Value Value::null;

Value::Value(bool b) noexcept : b_(b) {
    type_ = bool_type;
}

Value::Value(int i) noexcept : Value(static_cast<long long>(i)) {}
Value::Value(long i) noexcept : Value(static_cast<long long>(i)) {}
Value::Value(unsigned int u) noexcept : Value(static_cast<unsigned long long>(u)) {}
Value::Value(unsigned long u) noexcept : Value(static_cast<unsigned long long>(u)) {}

Value::Value(long long i) noexcept : i_(i) {
    type_ = int_type;
}

Value::Value(unsigned long long u) noexcept : i_(static_cast<int64_t>(u)) {
    type_ = int_type;
    unsigned_ = u > static_cast<unsigned long long>(std::numeric_limits<int64_t>::max());
}

Value::Value(double d) noexcept : d_(d) {
    type_ = real_type;
}

Value::Value(const char* s) : i_(0) {
    if (s != nullptr)
        set_string(s, std::strlen(s), str_type);
}

Value::Value(const std::string& s) : s_(s) {
    type_ = str_type;
}

Value::Value(std::string&& s) noexcept : s_(std::move(s)) {
    type_ = str_type;
}

Value::Value(const secure_string& s) : i_(0) {
    set_string(s.data(), s.size(), secure_str_type);
}

Value::Value(secure_string&& s) : i_(0) {
    set_string(s.data(), s.size(), secure_str_type);
    s.clear();
}

Value::Value(const Object& o) : o_(new Object(o)) {
    type_ = obj_type;
}

Value::Value(Object&& o) : o_(new Object(std::move(o))) {
    type_ = obj_type;
}

Value::Value(const Array& a) : a_(new Array(a)) {
    type_ = array_type;
}

Value::Value(Array&& a) : a_(new Array(std::move(a))) {
    type_ = array_type;
}

Value::Value(const Value& other) : i_(0) {
    try {
        copy_from(other);
    } catch (...) {
        destroy();
        throw;
    }
}

Value::Value(Value&& other) noexcept : i_(0) {
    move_from(other);
}

Value::~Value() {
    destroy();
}

Value& Value::operator=(const Value& other) {
    if (this != &other) {
        Value copy(other);  // before destroy(): other may live inside *this
        destroy();
        move_from(copy);
    }
    return *this;
}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        Value taken(std::move(other));
        destroy();
        move_from(taken);
    }
    return *this;
}

void Value::swap(Value& other) noexcept {
    if (this == &other)
        return;
    Value tmp(std::move(other));
    other.move_from(*this);
    move_from(tmp);
}

void Value::set_string(const char* s, size_t n, Value_type t) {
    new (&s_) std::string();
    type_ = t;
    try {
        // One exact block, so no partial copy is left behind by growth.
        s_.reserve(n);
        s_.assign(s, n);
    } catch (...) {
        destroy();
        throw;
    }
}

void Value::wipe_str() noexcept {
    // capacity() + 1 from data() is the whole block, or the whole inline buffer.
    secure_memset(&s_[0], 0, s_.capacity() + 1);
}

// *this must hold nothing. Leaves other null.
void Value::move_from(Value& other) noexcept {
    switch (other.type_) {
        case str_type:
        case secure_str_type:
            new (&s_) std::string(std::move(other.s_));
            if (other.type_ == secure_str_type)
                other.wipe_str();  // a short text was copied, not stolen
            other.s_.~basic_string();
            break;
        case obj_type:
            o_ = other.o_;
            break;
        case array_type:
            a_ = other.a_;
            break;
        case bool_type:
            b_ = other.b_;
            break;
        case real_type:
            d_ = other.d_;
            break;
        default:
            i_ = other.i_;
            break;
    }
    type_ = other.type_;
    unsigned_ = other.unsigned_;
    other.i_ = 0;
    other.type_ = null_type;
    other.unsigned_ = false;
}

// *this must hold nothing; other is not a container.
void Value::copy_scalar(const Value& other) {
    switch (other.type_) {
        case str_type:
        case secure_str_type:
            set_string(other.s_.data(), other.s_.size(), static_cast<Value_type>(other.type_));
            return;
        case bool_type:
            b_ = other.b_;
            break;
        case real_type:
            d_ = other.d_;
            break;
        default:
            i_ = other.i_;
            break;
    }
    type_ = other.type_;
    unsigned_ = other.unsigned_;
}

// *this must hold nothing. Nested containers are copied from a work list, not
// by recursion. Every node is a valid value at all times, so a throw leaves a
// tree destroy() can release.
void Value::copy_from(const Value& other) {
    if (!other.is_container()) {
        copy_scalar(other);
        return;
    }
    std::vector<std::pair<const Value*, Value*>> work;
    work.emplace_back(&other, this);
    while (!work.empty()) {
        const Value& src = *work.back().first;
        Value& dst = *work.back().second;
        work.pop_back();
        if (src.type_ == obj_type) {
            dst.o_ = new Object;
            dst.type_ = obj_type;
            for (const auto& member : *src.o_) {
                auto it = dst.o_->emplace_hint(dst.o_->end(), std::piecewise_construct,
                                               std::forward_as_tuple(member.first),
                                               std::forward_as_tuple());
                if (member.second.is_container())
                    work.emplace_back(&member.second, &it->second);
                else
                    it->second.copy_scalar(member.second);
            }
        } else {
            dst.a_ = new Array;
            dst.type_ = array_type;
            dst.a_->resize(src.a_->size());  // no reallocation after this: the pointers below hold
            for (size_t i = 0; i < src.a_->size(); ++i) {
                if ((*src.a_)[i].is_container())
                    work.emplace_back(&(*src.a_)[i], &(*dst.a_)[i]);
                else
                    (*dst.a_)[i].copy_scalar((*src.a_)[i]);
            }
        }
    }
}

void Value::destroy() noexcept {
    switch (type_) {
        case secure_str_type:
            wipe_str();
            s_.~basic_string();
            break;
        case str_type:
            s_.~basic_string();
            break;
        case obj_type:
        case array_type:
            release_tree();
            break;
        default:
            break;
    }
    i_ = 0;
    type_ = null_type;
    unsigned_ = false;
}

// Releases a container tree without recursion: each container has its child
// containers detached onto a work list before it is deleted, so deleting it
// only destroys scalars.
void Value::release_tree() noexcept {
    auto flat = [](const Value& v) {
        if (v.type_ == obj_type) {
            for (const auto& member : *v.o_)
                if (member.second.is_container())
                    return false;
        } else {
            for (const auto& item : *v.a_)
                if (item.is_container())
                    return false;
        }
        return true;
    };
    if (flat(*this)) {
        if (type_ == obj_type)
            delete o_;
        else
            delete a_;
        return;
    }

    std::vector<std::pair<bool, void*>> pending;
    auto detach = [&pending](Value& v) noexcept {
        if (!v.is_container())
            return true;
        try {
            pending.emplace_back(v.type_ == obj_type, v.type_ == obj_type
                                                          ? static_cast<void*>(v.o_)
                                                          : static_cast<void*>(v.a_));
        } catch (...) {
            return false;  // out of memory: this one goes by plain recursion instead
        }
        v.i_ = 0;
        v.type_ = null_type;
        return true;
    };
    if (!detach(*this)) {
        if (type_ == obj_type)
            delete o_;
        else
            delete a_;
        return;
    }
    while (!pending.empty()) {
        const std::pair<bool, void*> node = pending.back();
        pending.pop_back();
        if (node.first) {
            Object* o = static_cast<Object*>(node.second);
            for (auto& member : *o)
                detach(member.second);
            delete o;
        } else {
            Array* a = static_cast<Array*>(node.second);
            for (auto& item : *a)
                detach(item);
            delete a;
        }
    }
}

bool Value::same_scalar(const Value& a, const Value& b) noexcept {
    switch (a.type_) {
        case str_type:
        case secure_str_type:
            return a.s_ == b.s_;
        case bool_type:
            return a.b_ == b.b_;
        case real_type:
            return a.d_ == b.d_;
        case int_type:
            return a.i_ == b.i_ && a.unsigned_ == b.unsigned_;
        default:
            return true;
    }
}

bool Value::operator==(const Value& other) const {
    if (type_ != other.type_)
        return false;
    if (!is_container())
        return same_scalar(*this, other);
    std::vector<std::pair<const Value*, const Value*>> work;
    work.emplace_back(this, &other);
    while (!work.empty()) {
        const Value& a = *work.back().first;
        const Value& b = *work.back().second;
        work.pop_back();
        auto visit = [&work](const Value& x, const Value& y) {
            if (x.type_ != y.type_)
                return false;
            if (x.is_container())
                work.emplace_back(&x, &y);
            else if (!same_scalar(x, y))
                return false;
            return true;
        };
        if (a.type_ == obj_type) {
            if (a.o_->size() != b.o_->size())
                return false;
            for (auto ia = a.o_->begin(), ib = b.o_->begin(); ia != a.o_->end(); ++ia, ++ib)
                if (ia->first != ib->first || !visit(ia->second, ib->second))
                    return false;
        } else {
            if (a.a_->size() != b.a_->size())
                return false;
            for (size_t i = 0; i < a.a_->size(); ++i)
                if (!visit((*a.a_)[i], (*b.a_)[i]))
                    return false;
        }
    }
    return true;
}

const Object& Value::get_obj() const {
    if (type_ != obj_type)
        type_mismatch(type(), "an object");
    return *o_;
}

Object& Value::get_obj() {
    return const_cast<Object&>(static_cast<const Value&>(*this).get_obj());
}

const Array& Value::get_array() const {
    if (type_ != array_type)
        type_mismatch(type(), "an array");
    return *a_;
}

Array& Value::get_array() {
    return const_cast<Array&>(static_cast<const Value&>(*this).get_array());
}

const std::string& Value::get_str() const {
    if (type_ != str_type && type_ != secure_str_type)
        type_mismatch(type(), "a string");
    return s_;
}

std::string& Value::get_str() {
    return const_cast<std::string&>(static_cast<const Value&>(*this).get_str());
}

secure_string Value::get_secure_str() const {
    const std::string& s = get_str();
    return secure_string(s.data(), s.size());
}

bool Value::get_bool() const {
    if (type_ != bool_type)
        type_mismatch(type(), "a boolean");
    return b_;
}

int Value::get_int() const {
    const int64_t i = get_int64();
    if (i < std::numeric_limits<int>::min() || i > std::numeric_limits<int>::max())
        out_of_range("int");
    return static_cast<int>(i);
}

int64_t Value::get_int64() const {
    if (type_ != int_type)
        type_mismatch(type(), "an integer");
    if (unsigned_)
        out_of_range("int64");
    return i_;
}

uint64_t Value::get_uint64() const {
    if (type_ != int_type)
        type_mismatch(type(), "an integer");
    if (!unsigned_ && i_ < 0)
        out_of_range("uint64");
    return static_cast<uint64_t>(i_);
}

double Value::get_real() const {
    if (type_ == real_type)
        return d_;
    if (type_ == int_type)
        return unsigned_ ? static_cast<double>(static_cast<uint64_t>(i_)) : static_cast<double>(i_);
    type_mismatch(type(), "a number");
}

// --- object accessors ---

Json_Error::Json_Error(const std::string& key, const char* expected)
    : std::runtime_error("'" + key + "' is expected as " + expected), key_(key) {}

namespace {

const Value* find(const Object& obj, const std::string& key) {
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &it->second;
}

template <class T>
bool fit_integer(const Value* v, T& out) {
    if (v == nullptr || v->type() != int_type)
        return false;
    if (v->is_uint64()) {
        const uint64_t u = v->get_uint64();
        if (u > static_cast<uint64_t>(std::numeric_limits<T>::max()))
            return false;
        out = static_cast<T>(u);
        return true;
    }
    const int64_t i = v->get_int64();
    if constexpr (std::is_signed<T>::value) {
        if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
            i > static_cast<int64_t>(std::numeric_limits<T>::max()))
            return false;
    } else {
        if (i < 0 ||
            static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max()))
            return false;
    }
    out = static_cast<T>(i);
    return true;
}

bool is_str(const Value* v) {
    return v != nullptr && (v->type() == str_type || v->type() == secure_str_type);
}

bool all_digits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// "YYYY-MM-DD HH:MM:SS", UTC. Out-of-range fields are refused, not normalised.
bool parse_utc_time(const std::string& s, time_t& out) {
    return s.size() == CIVIL_TIME_SIZE && read_civil_utc(s, ' ', out);
}

[[noreturn]] void missing(const std::string& key, const char* expected) {
    throw Json_Error(key, expected);
}

}  // namespace

bool object_get(const Object& obj, const std::string& key, bool& out) {
    const Value* v = find(obj, key);
    if (v == nullptr || v->type() != bool_type)
        return false;
    out = v->get_bool();
    return true;
}

bool object_get(const Object& obj, const std::string& key, short& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, unsigned short& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, int& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, long& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, unsigned int& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, unsigned long& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, long long& out) {
    return fit_integer(find(obj, key), out);
}
bool object_get(const Object& obj, const std::string& key, unsigned long long& out) {
    return fit_integer(find(obj, key), out);
}

bool object_get(const Object& obj, const std::string& key, double& out) {
    const Value* v = find(obj, key);
    if (v == nullptr || (v->type() != int_type && v->type() != real_type))
        return false;
    out = v->get_real();
    return true;
}

bool object_get(const Object& obj, const std::string& key, std::string& out) {
    const Value* v = find(obj, key);
    if (!is_str(v))
        return false;
    out = v->get_str();
    return true;
}

bool object_get(const Object& obj, const std::string& key, Value& out) {
    const Value* v = find(obj, key);
    if (v == nullptr)
        return false;
    out = *v;
    return true;
}

bool object_get(const Object& obj, const std::string& key, Object& out) {
    const Object* o = object_get_object(obj, key);
    if (o == nullptr)
        return false;
    out = *o;
    return true;
}

bool object_get(const Object& obj, const std::string& key, Array& out) {
    const Array* a = object_get_array(obj, key);
    if (a == nullptr)
        return false;
    out = *a;
    return true;
}

bool object_get_time_t(const Object& obj, const std::string& key, time_t& out) {
    const Value* v = find(obj, key);
    if (v == nullptr)
        return false;
    if (v->type() == int_type)
        return fit_integer(v, out);
    if (!is_str(v))
        return false;
    const std::string& s = v->get_str();
    if (all_digits(s)) {
        time_t t = 0;
        const auto res = std::from_chars(s.data(), s.data() + s.size(), t);
        if (res.ec != std::errc() || res.ptr != s.data() + s.size())
            return false;
        out = t;
        return true;
    }
    return parse_utc_time(s, out);
}

const std::string* object_get_str(const Object& obj, const std::string& key) {
    const Value* v = find(obj, key);
    return is_str(v) ? &v->get_str() : nullptr;
}

const Object* object_get_object(const Object& obj, const std::string& key) {
    const Value* v = find(obj, key);
    return v != nullptr && v->type() == obj_type ? &v->get_obj() : nullptr;
}

Object* object_get_object(Object& obj, const std::string& key) {
    return const_cast<Object*>(object_get_object(static_cast<const Object&>(obj), key));
}

const Array* object_get_array(const Object& obj, const std::string& key) {
    const Value* v = find(obj, key);
    return v != nullptr && v->type() == array_type ? &v->get_array() : nullptr;
}

Array* object_get_array(Object& obj, const std::string& key) {
    return const_cast<Array*>(object_get_array(static_cast<const Object&>(obj), key));
}

const Value* object_get_value(const Object& obj, const std::string& key) {
    return find(obj, key);
}

const std::string& object_get_str_or_throw(const Object& obj, const std::string& key) {
    const std::string* s = object_get_str(obj, key);
    if (s == nullptr)
        missing(key, "string");
    return *s;
}

bool object_get_bool_or_throw(const Object& obj, const std::string& key) {
    bool b = false;
    if (!object_get(obj, key, b))
        missing(key, "boolean");
    return b;
}

int object_get_int_or_throw(const Object& obj, const std::string& key) {
    int i = 0;
    if (!object_get(obj, key, i))
        missing(key, "integer");
    return i;
}

int64_t object_get_int64_or_throw(const Object& obj, const std::string& key) {
    int64_t i = 0;
    if (!fit_integer(find(obj, key), i))
        missing(key, "integer");
    return i;
}

uint64_t object_get_uint64_or_throw(const Object& obj, const std::string& key) {
    uint64_t u = 0;
    if (!fit_integer(find(obj, key), u))
        missing(key, "unsigned integer");
    return u;
}

double object_get_num_or_throw(const Object& obj, const std::string& key) {
    double d = 0;
    if (!object_get(obj, key, d))
        missing(key, "number");
    return d;
}

const Object& object_get_object_or_throw(const Object& obj, const std::string& key) {
    const Object* o = object_get_object(obj, key);
    if (o == nullptr)
        missing(key, "object");
    return *o;
}

Object& object_get_object_or_throw(Object& obj, const std::string& key) {
    Object* o = object_get_object(obj, key);
    if (o == nullptr)
        missing(key, "object");
    return *o;
}

const Array& object_get_array_or_throw(const Object& obj, const std::string& key) {
    const Array* a = object_get_array(obj, key);
    if (a == nullptr)
        missing(key, "array");
    return *a;
}

Array& object_get_array_or_throw(Object& obj, const std::string& key) {
    Array* a = object_get_array(obj, key);
    if (a == nullptr)
        missing(key, "array");
    return *a;
}

const Value& object_get_value_or_throw(const Object& obj, const std::string& key) {
    const Value* v = find(obj, key);
    if (v == nullptr)
        missing(key, "value");
    return *v;
}

void secure_credentials(Object& obj) {
    for (auto& kv : obj) {
        if ((kv.first != "password" && kv.first != "token") || kv.second.type() != str_type)
            continue;
        std::string& plain = kv.second.get_str();
        secure_string secret(plain.data(), plain.size());
        if (!plain.empty())
            secure_memset(&plain[0], 0, plain.size());
        kv.second = Value(std::move(secret));
    }
}

}  // namespace json_spirit
