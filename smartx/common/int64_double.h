// CloudTower sends some sizes and rates as integers that the records keep as
// doubles; they are read as signed 64-bit integers so a fraction never sneaks in.
#ifndef SMARTX_COMMON_INT64_DOUBLE_H
#define SMARTX_COMMON_INT64_DOUBLE_H

#include <cstdint>
#include <string>

#include "json_spirit/extract.h"

namespace smartx {

// A miss throws when `required`, else leaves `out` as it was.
inline void get_int64_as_double(const json_spirit::Object& obj, const std::string& key, double& out,
                                bool required) {
    int64_t v = 0;
    if (json_spirit::object_get_may_throw(obj, key, v, required))
        out = static_cast<double>(v);
}

}  // namespace smartx

#endif
