#include "smartx/websvcs_agent/console_reply.h"

#include <ace/Log_Msg.h>

namespace smartx {

int reply_error(const char* handler, JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                int code, const std::string& message) {
    // The text may end with its own newline.
    const bool newline = !message.empty() && message.back() == '\n';
    ACE_ERROR((LM_ERROR, ACE_TEXT("%C request answered %d: %C%C"), handler, code, message.c_str(),
               newline ? "" : "\n"));
    return channel.send_error(code, request.id, message.c_str(), json_spirit::Value());
}

int internal_error(const char* handler, JSON_RPC_Channel& channel,
                   const JSON_RPC_Request& request) {
    return reply_error(handler, channel, request, JSON_RPC_INTERNAL_ERROR, "Internal error.");
}

}  // namespace smartx
