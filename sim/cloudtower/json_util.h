// Small JSON helpers over the host's values, shared by the simulator's sources.
#ifndef SIM_CLOUDTOWER_JSON_UTIL_H
#define SIM_CLOUDTOWER_JSON_UTIL_H

#include <cstdint>
#include <string>

#include "host/json_spirit/value.h"

namespace sim {
namespace cloudtower {

// The string member, or "" when absent or not a string.
std::string str_of(const json_spirit::Object& o, const std::string& key);
// The integer member, or fallback when absent or not an integer.
int64_t int_of(const json_spirit::Object& o, const std::string& key, int64_t fallback);
bool bool_of(const json_spirit::Object& o, const std::string& key, bool fallback);
// The "id" of the object member key, or "" (absent, null or without an id).
std::string ref_id(const json_spirit::Object& o, const std::string& key);

// References as CloudTower nests them.
json_spirit::Object id_ref(const json_spirit::Object& rec);     // {id}
json_spirit::Object name_ref(const json_spirit::Object& rec);   // {id, name}
json_spirit::Object host_ref(const json_spirit::Object& rec);   // {id, name, management_ip}
json_spirit::Object label_ref(const json_spirit::Object& rec);  // {id, key, value}

// Ids in the forms CloudTower uses: a cuid-like resource id and a UUID.
std::string new_resource_id();
std::string new_local_id();
// Now as an ISO 8601 UTC text with milliseconds ("2024-05-20T08:15:30.000Z"),
// on the simulator's clock: the host's moved by the clock offset.
std::string now_text();
// Sets the simulator's clock this many seconds ahead of the host's (behind
// when negative): CloudTower's clock is its own.
void set_clock_offset(long seconds);

// Numeric values compare by value whatever their JSON number type.
bool is_number(const json_spirit::Value& v);
bool json_equal(const json_spirit::Value& a, const json_spirit::Value& b);
// Orders two values of the same kind (numbers, strings, bools); null and
// mismatched kinds sort first.
int json_compare(const json_spirit::Value& a, const json_spirit::Value& b);

}  // namespace cloudtower
}  // namespace sim

#endif
