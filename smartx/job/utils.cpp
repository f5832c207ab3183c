#include "smartx/job/utils.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/Process.h>

#include <cstring>

#include "host/paths.h"
#include "qorm/check.h"
#include "smartx/common/connect_params.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {
namespace {
// The servant configuration the starter program reads (unresolved: the host
// resolves $COMPONENT and the root).
const char* const SERVANT_CONFIG_DIR = "/etc/opt/velmora/tarnvik3/$COMPONENT/servant";
const char* const SERVANT_CONFIG_NAME = "svc.conf";
const char* const STARTER_PROGRAM = "starter";
const char* const SERVANT_CONFIG_SUBDIR = "smartx";
const char* const ZBS_LIBRARY_ROOT = "/opt/velmora/tarnvik3/zbs";

// A servant name becomes a process argument and a log prefix: printable
// text only.
bool is_valid_servant_name(const std::string& name) {
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}
}  // namespace

bool init_servant(Servant& servant, const std::string& servant_name, const std::string& zbs_version,
                  const Log_Msg_Callback& log_callback) {
    if (!is_valid_servant_name(servant_name)) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Refused servant name '%C'.\n"), servant_name.c_str()),
                         false);
    }
    // The version names a directory on the library path: nothing may lead out
    // of the ZBS library root or split the path list.
    if (!is_valid_zbs_version(zbs_version.c_str())) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Refused zbs version '%C' for servant %C.\n"),
                          zbs_version.c_str(), servant_name.c_str()),
                         false);
    }
    std::string config = SERVANT_CONFIG_DIR;
    config.append("/").append(SERVANT_CONFIG_SUBDIR).append("/").append(SERVANT_CONFIG_NAME);
    if (servant.reset(STARTER_PROGRAM, config.c_str(), nullptr, nullptr, servant_name.c_str()) !=
        0) {
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to reset servant %C.\n"), servant_name.c_str()), false);
    }
    ACE_Process_Options& options = servant.get_process_options();

    const char* inherited = ACE_OS::getenv("LD_LIBRARY_PATH");
    if (inherited == nullptr || *inherited == 0)
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get env value LD_LIBRARY_PATH.\n")), false);
    const std::string zbs_dir = host_path(ZBS_LIBRARY_ROOT) + "/" + zbs_version;
    options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s:%s"), zbs_dir.c_str(), inherited);

    if (log_callback)
        servant.set_log_msg_callback(log_callback);

    const Smartx_Connect_Params* zbs = Smartx_Connect_Params::instance();
    QORM_CHECK_NOT_NULL_RETURN(zbs, false);
    options.setenv(ACE_TEXT("ZBS_TIMEOUT"), ACE_TEXT("%u"), zbs->zbs_timeout);
    options.setenv(ACE_TEXT("ZBS_INITIAL_INTERVAL"), ACE_TEXT("%u"), zbs->zbs_initial_interval);
    options.setenv(ACE_TEXT("ZBS_MAX_INTERVAL"), ACE_TEXT("%u"), zbs->zbs_max_interval);
    options.setenv(ACE_TEXT("ZBS_RETRIES"), ACE_TEXT("%u"), zbs->zbs_retries);
    return true;
}

bool get_servant_result(const JSON_RPC_Object_Ptr& resp, json_spirit::Object& result) {
    QORM_CHECK_RETURN(resp.get() != nullptr, "resp is NULL", false);
    switch (resp->type()) {
        case JSON_RPC_Object::TYPE_RESPONSE: {
            JSON_RPC_Response& r = static_cast<JSON_RPC_Response&>(*resp);
            QORM_CHECK_SHAPE_RETURN(r.result.type() == json_spirit::obj_type,
                                    "r.result is not object", false);
            result.swap(r.result.get_obj());
            return true;
        }
        case JSON_RPC_Object::TYPE_RESPONSE_ERROR: {
            const JSON_RPC_Response_Error& e = static_cast<const JSON_RPC_Response_Error&>(*resp);
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to exec in smartx servant, err=%d, %C.\n"),
                              e.code, e.message.c_str()),
                             false);
        }
        default:
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Unknown response type '%d' for SmartX JSON-RPC in servant.\n"),
                 static_cast<int>(resp->type())),
                false);
    }
}
}  // namespace smartx
