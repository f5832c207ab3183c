// The console's login test: the params are a CloudTower login record whose
// password is encrypted for this host; the handler decrypts it, logs in,
// checks that the user may manage the platform (a role with the ADMIN or
// ROOT preset, or one allowing every action "*") and answers
// {"code": 0, "message", "token", "version"}.
#ifndef SMARTX_WEBSVCS_AGENT_LOGIN_HANDLER_H
#define SMARTX_WEBSVCS_AGENT_LOGIN_HANDLER_H

#include "host/servant/json_rpc.h"
#include "smartx/common/export.h"
#include "smartx/common/factory.h"

namespace smartx {

struct User;

class JSON_RPC_SmartX_Login_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
    JSON_RPC_SmartX_Login_Handler();
    ~JSON_RPC_SmartX_Login_Handler() override;

    // Exactly one answer per request; returns what sending it returned.
    int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override;
};

// Whether some role of the user may manage the platform.
bool has_manager_role(const User& user);

}  // namespace smartx

SMARTX_EXPORT JSON_RPC_Handler* _make_JSON_RPC_SmartX_Login_Handler(Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_JSON_RPC_SmartX_Login_Handler(void* handler);

#endif
