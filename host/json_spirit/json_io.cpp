#include "host/json_spirit/json_io.h"

#include <sstream>
#include <utility>

#include "host/json_spirit/json_parser.h"
#include "host/json_spirit/json_writer.h"

namespace json_spirit {

bool read(const std::string& text, Value& out, std::string* error) {
    Value parsed;
    JSON_Parser parser(&parsed);
    std::string message;
    if (!parser.parse(text.data(), text.size(), &message)) {
        out = Value();
        if (error != nullptr)
            *error = message;
        return false;
    }
    out = std::move(parsed);
    return true;
}

std::string write(const Value& v, bool pretty) {
    std::ostringstream os;
    YAJL_OStream_Printer printer(os, pretty);
    if (!JSON_Writer::write(v, printer))
        return std::string();
    return os.str();
}

}  // namespace json_spirit
