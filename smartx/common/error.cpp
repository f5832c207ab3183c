#include "smartx/common/error.h"

#include "json_spirit/extract.h"
#include "smartx/common/item.h"

namespace smartx {

bool Error::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse error, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("props", props, false)
            ("stack", stack, false)
            ("status", status, true)
            ("op", op, false)
            ("path", path, true)
            ("message", message, true);
        // clang-format on
    });
}

void Error::clear() {
    status = 0;
    message.clear();
    path.clear();
    props = json_spirit::Value();
    stack.clear();
    op.clear();
}

void Error::reset(int new_status, const std::string& new_message) {
    status = new_status;
    message = new_message;
}

}  // namespace smartx
