#ifndef JSON_SPIRIT_JSON_PARAMS_HELPER_H
#define JSON_SPIRIT_JSON_PARAMS_HELPER_H

#include <string>

#include "host/json_spirit/value.h"
#include "json_spirit/assign.h"

namespace json_spirit {

// `out` becomes [a, b, c]; whatever it held is discarded.
inline void params_to_array(Value& out, const std::string& a, const std::string& b,
                            const std::string& c) {
    Array& arr = to_new_array(out);
    arr.reserve(3);
    arr.emplace_back(a);
    arr.emplace_back(b);
    arr.emplace_back(c);
}

}  // namespace json_spirit

#endif
