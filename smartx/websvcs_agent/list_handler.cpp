#include "smartx/websvcs_agent/list_handler.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>

#include "qorm/check.h"
#include "qorm/guard.h"
#include "smartx/common/connect_params.h"
#include "smartx/common/error.h"
#include "smartx/common/login_info.h"
#include "smartx/common/restful_client.h"
#include "smartx/websvcs_agent/console_reply.h"
#include "smartx/websvcs_agent/lister.h"

namespace smartx {

namespace {

const char* const HANDLER = "SmartX list";

uint32_t to_u32(const ACE_TCHAR* text) {
    // Not a number reads 0; larger ones keep their low 32 bits.
    return static_cast<uint32_t>(std::strtoul(text ? text : "", nullptr, 10));
}

// One request after its params were found to be an object.
class List_Request {
public:
    List_Request(JSON_RPC_Channel& channel, JSON_RPC_Request& request,
                 const json_spirit::Object& params)
        : channel_(channel), request_(request), params_(params) {}

    int run() {
        const std::string* uuid = json_spirit::object_get_str(params_, "uuid");
        if (!uuid)
            return fail(JSON_RPC_INVALID_PARAMS,
                        "Invalid params: 'uuid' is expected as string in params.");
        const std::string* subtype = json_spirit::object_get_str(params_, "subtype");
        if (!subtype)
            return fail(JSON_RPC_INVALID_PARAMS,
                        "Invalid params: 'subtype' is expected as string in params.");

        Login_Info login;
        if (!get_login_info(*uuid, login))
            return fail(JSON_RPC_INTERNAL_ERROR, "Internal error: failed to get login info.");
        RESTful_Client client;
        Error error;
        if (!client.login(login, &error))
            return fail(JSON_RPC_INTERNAL_ERROR,
                        "Internal error: failed to login smartx, details: " + error.message);
        Lister lister(client);

        std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(request_));
        if (!response) {
            errno = ENOMEM;
            return fail(JSON_RPC_INTERNAL_ERROR, "Internal error, out of memory.");
        }
        json_spirit::Value& result = response->result;

        if (*subtype == "inventory") {
            const std::string *view, *type, *moid;
            if (!(view = need_str("view")) || !(type = need_str("type")) ||
                !(moid = need_str("moid")))
                return missing_;
            if (!lister.list(*view, *type, *moid, result))
                return fail(JSON_RPC_INTERNAL_ERROR, "Internal error: failed to list items.");
        } else if (*subtype == "verify_vms") {
            const json_spirit::Array* vms = json_spirit::object_get_array(params_, "vms");
            if (!vms)
                return fail(JSON_RPC_INVALID_PARAMS,
                            "Invalid params: 'vms' is expected as array in params.");
            if (!lister.verify(*vms, result))
                return fail(JSON_RPC_INTERNAL_ERROR, "Internal error: failed to verify vms.");
        } else if (*subtype == "search") {
            const std::string *view, *search_type, *name;
            if (!(view = need_str("view")) || !(search_type = need_str("search_type")) ||
                !(name = need_str("name")))
                return missing_;
            if (!lister.search(*view, *search_type, *name, result))
                return fail(JSON_RPC_INTERNAL_ERROR, "Internal error: failed to search items.");
        } else if (*subtype == "disk") {
            const std::string* moid = need_str("moid");
            if (!moid)
                return missing_;
            if (!lister.disk(*moid, result))
                return fail(JSON_RPC_INTERNAL_ERROR, "Internal error: failed to list disks.");
        } else {
            return fail(JSON_RPC_INVALID_PARAMS, "Invalid params: 'subtype' is invalid.");
        }
        return channel_.send(*response);
    }

private:
    int fail(int code, const std::string& message) {
        return reply_error(HANDLER, channel_, request_, code, message);
    }

    // The string member key; when it is absent or not a string, the request
    // is answered (missing_ holds the send result) and null returned.
    const std::string* need_str(const char* key) {
        const std::string* s = json_spirit::object_get_str(params_, key);
        if (!s)
            missing_ = fail(JSON_RPC_INVALID_PARAMS, std::string("Invalid params: '") + key +
                                                         "' is expected as string in params.");
        return s;
    }

    JSON_RPC_Channel& channel_;
    JSON_RPC_Request& request_;
    const json_spirit::Object& params_;
    int missing_ = -1;
};

}  // namespace

JSON_RPC_SmartX_List_Handler::JSON_RPC_SmartX_List_Handler() = default;

JSON_RPC_SmartX_List_Handler::~JSON_RPC_SmartX_List_Handler() = default;

int JSON_RPC_SmartX_List_Handler::init(int argc, char** argv) {
    return qorm::guarded("initialise the SmartX list handler", 0, [&] {
        Smartx_Connect_Params* params = Smartx_Connect_Params::instance();
        // Starts at argv[0], reports nothing itself, permutes, long options
        // with two dashes.
        ACE_Get_Opt get_opt(argc, argv, ACE_TEXT(""), 0, 0, ACE_Get_Opt::PERMUTE_ARGS, 0);
        get_opt.long_option(ACE_TEXT("zbs-timeout"), 't', ACE_Get_Opt::ARG_REQUIRED);
        get_opt.long_option(ACE_TEXT("zbs-initial-interval"), 'i', ACE_Get_Opt::ARG_REQUIRED);
        get_opt.long_option(ACE_TEXT("zbs-max-interval"), 'm', ACE_Get_Opt::ARG_REQUIRED);
        get_opt.long_option(ACE_TEXT("zbs-retries"), 'r', ACE_Get_Opt::ARG_REQUIRED);
        uint32_t ignored = 0;
        for (int c; (c = get_opt()) != EOF;) {
            uint32_t* field = &ignored;
            switch (c) {
                case 't':
                    field = params ? &params->zbs_timeout : &ignored;
                    break;
                case 'i':
                    field = params ? &params->zbs_initial_interval : &ignored;
                    break;
                case 'm':
                    field = params ? &params->zbs_max_interval : &ignored;
                    break;
                case 'r':
                    field = params ? &params->zbs_retries : &ignored;
                    break;
                default:
                    ACE_ERROR((LM_ERROR, ACE_TEXT("Unkown Smartx connect param -%c.\n"), c));
                    continue;
            }
            *field = to_u32(get_opt.opt_arg());
        }
        if (params)
            ACE_DEBUG((LM_INFO,
                       ACE_TEXT("Zbs timeout: %ums,\nZbs initial interval: %us,\n"
                                "Zbs max interval: %us,\nZbs retries: %u.\n"),
                       params->zbs_timeout, params->zbs_initial_interval, params->zbs_max_interval,
                       params->zbs_retries));
        return 0;
    });
}

int JSON_RPC_SmartX_List_Handler::fini() {
    Smartx_Connect_Params::close_instance();
    return 0;
}

int JSON_RPC_SmartX_List_Handler::handle_request(JSON_RPC_Channel* channel,
                                                 JSON_RPC_Request& request) {
    QORM_CHECK_NOT_NULL_RETURN(channel, -1);
    const int r = qorm::guarded("handle a SmartX list request", THREW, [&] {
        if (request.params.type() != json_spirit::obj_type)
            return reply_error(HANDLER, *channel, request, JSON_RPC_INVALID_PARAMS,
                               "Invalid params: params type must be object.");
        return List_Request(*channel, request, request.params.get_obj()).run();
    });
    return r != THREW ? r : internal_error(HANDLER, *channel, request);
}

}  // namespace smartx

JSON_RPC_Handler* _make_JSON_RPC_SmartX_List_Handler(Gobble_Function* gobble) {
    return smartx::make_exported<smartx::JSON_RPC_SmartX_List_Handler, JSON_RPC_Handler>(
        gobble, _gobble_JSON_RPC_SmartX_List_Handler);
}

void _gobble_JSON_RPC_SmartX_List_Handler(void* handler) {
    smartx::gobble_exported<JSON_RPC_Handler>(handler);
}
