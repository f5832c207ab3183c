#ifndef HOST_JSON_SPIRIT_YAJL_GEN_VALUE_H
#define HOST_JSON_SPIRIT_YAJL_GEN_VALUE_H

#include <yajl/yajl_gen.h>

#include "host/json_spirit/value.h"

// Writes v through g. Integers and reals come back exactly when read again
// (a real always carries a '.' or an exponent); NaN and infinities give
// yajl_gen_invalid_number. Secure strings are written as plain strings,
// straight from the value's buffer. yajl limits nesting to YAJL_MAX_DEPTH
// (yajl_max_depth_exceeded beyond), which also bounds the recursion here.
yajl_gen_status yajl_gen_value(yajl_gen g, const json_spirit::Value& v);

#endif
