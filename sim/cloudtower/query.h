// CloudTower's list query language over the inventory: "where" filters
// (equality, the _in/_not/_contains/_starts_with/_ends_with/_gt.. suffixes,
// nested relation filters, _some/_every/_none on lists, AND/OR/NOT),
// "orderBy" ("<field>_ASC" or "_DESC"), the "after"/"before" cursors and
// "skip" with "first" or "last".
#ifndef SIM_CLOUDTOWER_QUERY_H
#define SIM_CLOUDTOWER_QUERY_H

#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "sim/cloudtower/inventory.h"

namespace sim {
namespace cloudtower {

// Whether the record matches the filter; false with error set when the
// filter itself is malformed.
bool record_matches(const Inventory& inv, const json_spirit::Object& record,
                    const json_spirit::Value& where, std::string* error);

// The records of kind that match where (null: all), in inventory order.
bool select_records(const Inventory& inv, const std::string& kind, const json_spirit::Value& where,
                    std::vector<const json_spirit::Object*>& out, std::string* error);

// Answers a list query body. ignore_skip serves the first page whatever
// "skip" asks (a fault switch). False with error for a malformed body.
bool run_query(const Inventory& inv, const std::string& kind, const json_spirit::Value& body,
               bool ignore_skip, json_spirit::Array& out, std::string* error);

}  // namespace cloudtower
}  // namespace sim

#endif
