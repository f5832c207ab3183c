#ifndef HOST_JSON_SPIRIT_JSON_IO_H
#define HOST_JSON_SPIRIT_JSON_IO_H

#include <string>

#include "host/json_spirit/value.h"

namespace json_spirit {

// Parses one JSON document. On malformed text: false, out set to null and
// the reason in *error.
bool read(const std::string& text, Value& out, std::string* error = nullptr);

// The JSON text of v, or an empty string when v cannot be written (see
// JSON_Writer::write).
std::string write(const Value& v, bool pretty = false);

}  // namespace json_spirit

#endif
