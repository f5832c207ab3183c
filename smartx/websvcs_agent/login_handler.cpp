#include "smartx/websvcs_agent/login_handler.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "host/host_manager.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "smartx/common/error.h"
#include "smartx/common/login_info.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/role.h"
#include "smartx/common/user.h"
#include "smartx/websvcs_agent/console_reply.h"

namespace smartx {

namespace {

const char* const HANDLER = "SmartX login";

int test_login(JSON_RPC_Channel& channel, JSON_RPC_Request& request,
               const json_spirit::Object& params) {
    auto fail = [&](int code, const std::string& message) {
        return reply_error(HANDLER, channel, request, code, message);
    };
    Login_Info login;
    if (!login.load(params))
        return fail(JSON_RPC_INTERNAL_ERROR, "Failed to parse and decrypt login info.");
    // The password is always encrypted, even an empty one; the token is
    // used as sent.
    const secure_string pem = Host_Manager::instance()->rsa_prvkey();
    const secure_ustring key(reinterpret_cast<const unsigned char*>(pem.data()), pem.size());
    if (!decrypt_secret(key, login.secure_pwd))
        return fail(JSON_RPC_INTERNAL_ERROR, "Failed to decrypt the password.");

    RESTful_Client client;
    Error error;
    if (!client.login(login, &error))
        return fail(JSON_RPC_INTERNAL_ERROR, "Failed to login SmartX, details: " + error.message);
    User user;
    if (!client.query_current_user_info(user, &error))
        return fail(JSON_RPC_INTERNAL_ERROR,
                    "Failed to check SmartX user, details: " + error.message);
    if (!has_manager_role(user))
        return fail(JSON_RPC_INTERNAL_ERROR,
                    "Failed to check SmartX user, details: not has valid role.\n");

    std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(request));
    if (!response) {
        errno = ENOMEM;
        return fail(JSON_RPC_INTERNAL_ERROR, "Internal error, out of memory.");
    }
    json_spirit::Object result;
    result["code"] = 0;
    result["message"] = "Success to login SmartX";
    result["token"] = json_spirit::Value(login.secure_token);
    result["version"] = client.version();
    response->result = std::move(result);
    return channel.send(*response);
}

}  // namespace

bool has_manager_role(const User& user) {
    return std::any_of(user.roles.begin(), user.roles.end(), [](const Role& role) {
        const Role::Preset preset = role.get_preset();
        return preset == Role::Preset::ADMIN || preset == Role::Preset::ROOT ||
               std::find(role.actions.begin(), role.actions.end(), "*") != role.actions.end();
    });
}

JSON_RPC_SmartX_Login_Handler::JSON_RPC_SmartX_Login_Handler() = default;

JSON_RPC_SmartX_Login_Handler::~JSON_RPC_SmartX_Login_Handler() = default;

int JSON_RPC_SmartX_Login_Handler::handle_request(JSON_RPC_Channel* channel,
                                                  JSON_RPC_Request& request) {
    QORM_CHECK_NOT_NULL_RETURN(channel, -1);
    const int r = qorm::guarded("handle a SmartX login request", THREW, [&] {
        if (request.params.type() != json_spirit::obj_type)
            return reply_error(HANDLER, *channel, request, JSON_RPC_INVALID_PARAMS,
                               "Invalid params");
        return test_login(*channel, request, request.params.get_obj());
    });
    return r != THREW ? r : internal_error(HANDLER, *channel, request);
}

}  // namespace smartx

JSON_RPC_Handler* _make_JSON_RPC_SmartX_Login_Handler(Gobble_Function* gobble) {
    return smartx::make_exported<smartx::JSON_RPC_SmartX_Login_Handler, JSON_RPC_Handler>(
        gobble, _gobble_JSON_RPC_SmartX_Login_Handler);
}

void _gobble_JSON_RPC_SmartX_Login_Handler(void* handler) {
    smartx::gobble_exported<JSON_RPC_Handler>(handler);
}
