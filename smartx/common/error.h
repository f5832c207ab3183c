#ifndef SMARTX_COMMON_ERROR_H
#define SMARTX_COMMON_ERROR_H

#include <string>

#include "host/json_spirit/value.h"

namespace smartx {

// The error body of a failed CloudTower request, or a failure the client
// found itself (status -1).
class Error {
public:
    int status = 0;
    std::string message;
    std::string path;
    json_spirit::Value props;
    std::string stack;
    std::string op;

    // Required "status", "path", "message"; optional "props", "stack", "op".
    bool load(const json_spirit::Object& obj);
    // No error was recorded.
    bool empty() const { return status == 0 && message.empty(); }
    void clear();
    // Sets only status and message; the rest keeps what the server sent.
    void reset(int status, const std::string& message);
};

}  // namespace smartx

#endif
