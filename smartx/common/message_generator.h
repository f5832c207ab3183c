// The CloudTower paths of the message types, and the generator that turns a
// request into its path and body and a reply into the response's records.
#ifndef SMARTX_COMMON_MESSAGE_GENERATOR_H
#define SMARTX_COMMON_MESSAGE_GENERATOR_H

#include <string>

#include "host/json_spirit/value.h"
#include "smartx/common/message.h"

namespace smartx {

constexpr int CLOUDTOWER_URI_COUNT = 47;

// Indexed by Message::Type, LOGIN to ADD_LABELS_TO_RESOURCES.
extern const char* const CLOUDTOWER_URI_LIST[CLOUDTOWER_URI_COUNT];

// The path of `type`; empty when the type has none, or when the version is
// refused (not CloudTower, or below 3.0.0 for anything but the version
// query), which is logged.
std::string get_uri(const Version& version, Message::Type type);

// Stateless.
class Message_Generator {
public:
    bool generate(const Request& request, std::string& uri, json_spirit::Value& body) const;
    // The status travels with the reply; the outcome is the response's load.
    bool generate(int status, const json_spirit::Value& body, Response& response) const;
};

}  // namespace smartx

#endif
