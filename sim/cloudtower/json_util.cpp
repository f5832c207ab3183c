#include "sim/cloudtower/json_util.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>

#include "host/uuid.h"

namespace sim {
namespace cloudtower {

using json_spirit::Object;
using json_spirit::Value;

std::string str_of(const Object& o, const std::string& key) {
    const std::string* s = json_spirit::object_get_str(o, key);
    return s ? *s : std::string();
}

int64_t int_of(const Object& o, const std::string& key, int64_t fallback) {
    long long v = 0;
    return json_spirit::object_get(o, key, v) ? static_cast<int64_t>(v) : fallback;
}

bool bool_of(const Object& o, const std::string& key, bool fallback) {
    bool v = false;
    return json_spirit::object_get(o, key, v) ? v : fallback;
}

std::string ref_id(const Object& o, const std::string& key) {
    const Object* ref = json_spirit::object_get_object(o, key);
    return ref ? str_of(*ref, "id") : std::string();
}

Object id_ref(const Object& rec) {
    Object r;
    r["id"] = str_of(rec, "id");
    return r;
}

Object name_ref(const Object& rec) {
    Object r = id_ref(rec);
    r["name"] = str_of(rec, "name");
    return r;
}

Object host_ref(const Object& rec) {
    Object r = name_ref(rec);
    r["management_ip"] = str_of(rec, "management_ip");
    return r;
}

Object label_ref(const Object& rec) {
    Object r = id_ref(rec);
    r["key"] = str_of(rec, "key");
    const Value* v = json_spirit::object_get_value(rec, "value");
    r["value"] = v ? *v : Value();
    return r;
}

namespace {

std::string base36(uint64_t v, size_t width) {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out(width, '0');
    for (size_t i = width; i-- > 0 && v > 0;) {
        out[i] = digits[v % 36];
        v /= 36;
    }
    return out;
}

}  // namespace

std::string new_resource_id() {
    static std::atomic<uint64_t> counter{0};
    static std::mutex rng_mutex;
    static std::mt19937_64 rng{std::random_device{}()};
    uint64_t random;
    {
        std::lock_guard<std::mutex> lock(rng_mutex);
        random = rng();
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    // "c", time, a counter and randomness: 25 characters like a cuid.
    return "c" + base36(static_cast<uint64_t>(ms), 8) +
           base36(counter++ % (36ULL * 36 * 36 * 36), 4) + base36(random, 12);
}

std::string new_local_id() {
    return uuid_generate_text();
}

namespace {
std::atomic<long> clock_offset_s{0};
}  // namespace

void set_clock_offset(long seconds) {
    clock_offset_s = seconds;
}

std::string now_text() {
    auto now = std::chrono::system_clock::now() + std::chrono::seconds(clock_offset_s.load());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ms / 1000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

bool is_number(const Value& v) {
    return v.type() == json_spirit::int_type || v.type() == json_spirit::real_type;
}

namespace {

int compare_numbers(const Value& a, const Value& b) {
    if (a.type() == json_spirit::int_type && b.type() == json_spirit::int_type) {
        if (a.is_uint64() || b.is_uint64()) {
            if (a.is_uint64() && b.is_uint64())
                return a.get_uint64() < b.get_uint64() ? -1 : a.get_uint64() > b.get_uint64();
            return a.is_uint64() ? 1 : -1;
        }
        int64_t x = a.get_int64(), y = b.get_int64();
        return x < y ? -1 : x > y;
    }
    double x = a.get_real(), y = b.get_real();
    return x < y ? -1 : x > y;
}

}  // namespace

bool json_equal(const Value& a, const Value& b) {
    if (is_number(a) && is_number(b))
        return compare_numbers(a, b) == 0;
    if ((a.type() == json_spirit::str_type || a.type() == json_spirit::secure_str_type) &&
        (b.type() == json_spirit::str_type || b.type() == json_spirit::secure_str_type))
        return a.get_str() == b.get_str();
    return a == b;
}

int json_compare(const Value& a, const Value& b) {
    if (is_number(a) && is_number(b))
        return compare_numbers(a, b);
    if (a.type() == json_spirit::str_type && b.type() == json_spirit::str_type) {
        int c = a.get_str().compare(b.get_str());
        return c < 0 ? -1 : c > 0;
    }
    if (a.type() == json_spirit::bool_type && b.type() == json_spirit::bool_type)
        return static_cast<int>(a.get_bool()) - static_cast<int>(b.get_bool());
    // Nulls and values of unlike kinds: by kind, so the order stays total.
    int ta = a.is_null() ? -1 : static_cast<int>(a.type());
    int tb = b.is_null() ? -1 : static_cast<int>(b.type());
    return ta < tb ? -1 : ta > tb;
}

}  // namespace cloudtower
}  // namespace sim
