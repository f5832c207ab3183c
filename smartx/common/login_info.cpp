#include "smartx/common/login_info.h"

#include <ctime>

#include "ace/Log_Msg.h"
#include "host/backupd_client.h"
#include "host/host_manager.h"
#include "host/job/job_types.h"
#include "host/rsa_codec.h"
#include "host/uuid.h"
#include "json_spirit/json_spirit_helper.h"
#include "qorm/check.h"
#include "smartx/common/item.h"
#include "smartx/common/param.h"

namespace smartx {

bool Login_Info::load(const json_spirit::Object& obj) {
    // The exception texts name the key and the expected type, never the value.
    return try_load("Failed to parse login info, details: %s.\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("host", host, true)
            ("port", port, true)
            ("ssl", ssl, true)
            ("username", username, true);
        // clang-format on
        const std::string& pwd = json_spirit::object_get_str_or_throw(obj, "password");
        secure_pwd.assign(pwd.data(), pwd.size());
        if (const std::string* token = json_spirit::object_get_str(obj, "token"))
            secure_token.assign(token->data(), token->size());
    });
}

json_spirit::Object Login_Info::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("host", host)
        ("port", static_cast<int>(port))
        ("ssl", ssl)
        ("username", username)
        ("password", json_spirit::Value(secure_pwd))
        ("token", json_spirit::Value(secure_token));
    // clang-format on
    return obj;
}

bool decrypt_secret(const secure_ustring& key, secure_string& secret) {
    RSA_Decoder decoder(reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                        key.data(), key.size(), true, RSA_Decoder::PADDING_OAEP_SHA256);
    if (!decoder)
        return false;
    secret.assign(reinterpret_cast<const char*>(decoder.get()), decoder.length());
    return true;
}

bool decrypt_login_info(Login_Info& info) {
    if (info.secure_pwd.empty() && info.secure_token.empty())
        return true;
    const secure_string pem = Host_Manager::instance()->rsa_prvkey();
    const secure_ustring key(reinterpret_cast<const unsigned char*>(pem.data()), pem.size());
    if (!info.secure_pwd.empty() && !decrypt_secret(key, info.secure_pwd))
        return false;
    if (!info.secure_token.empty() && !decrypt_secret(key, info.secure_token))
        return false;
    return true;
}

bool get_login_info(const std::string& uuid, Login_Info& info) {
    json_spirit::Object params;
    json_spirit::insert(params)("uuid", uuid);
    json_spirit::Value result;
    if (!global_json_rpc("smartx.query", json_spirit::Value(std::move(params)),
                         JSON_RPC_DEFAULT_TIMEOUT, result, json_spirit::null_type,
                         JSON_RPC_NO_RETRY))
        return false;
    QORM_CHECK_SHAPE_RETURN(result.type() == json_spirit::obj_type, "result is not object", false);
    if (!info.load(result.get_obj())) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to load SmartX login info.\n")));
        return false;
    }
    return decrypt_login_info(info);
}

bool send_alert(RESTful_Alert_Client& client, uint64_t code, const json_spirit::Object& detail,
                const Control_Param& control, const Job_Activity* activity) {
    std::string job_id;
    time_t start_time = 0;
    time_t last_run_time = 0;
    if (activity != nullptr) {
        job_id = uuid_to_string(activity->id);
        start_time = load_activity_field(activity->start_time);
        // Only a finished run has a meaningful last run time. The engine
        // changes the state meanwhile: one atomic read.
        const Job_State state = load_job_state(*activity);
        if (state == JOB_STATE_COMPLETED || state == JOB_STATE_CANCELED || state == JOB_STATE_ERROR)
            last_run_time = load_activity_field(activity->last_run_time);
    }
    const int occurrences = 1;  // each call raises the alert once
    return client.send_alert(
        code, json_spirit::Value(detail), static_cast<int>(control.job_revision), control.host_id,
        control.resource_uuid, control.def_id, job_id, &start_time, &last_run_time, occurrences);
}

}  // namespace smartx
