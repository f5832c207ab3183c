// Answers of the console's handlers. An error answer is logged at error
// priority by its text alone: the texts never carry a login, a password or
// a token, and the request's params are never logged.
#ifndef SMARTX_WEBSVCS_AGENT_CONSOLE_REPLY_H
#define SMARTX_WEBSVCS_AGENT_CONSOLE_REPLY_H

#include <string>

#include "host/servant/json_rpc.h"

namespace smartx {

// Sends one error answer to request; returns what send_error returned.
int reply_error(const char* handler, JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                int code, const std::string& message);

// What a guarded handler body gives back when it threw.
const int THREW = -1000;
// The answer to a request whose handling threw before it was answered.
int internal_error(const char* handler, JSON_RPC_Channel& channel, const JSON_RPC_Request& request);

}  // namespace smartx

#endif
