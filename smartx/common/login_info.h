// The CloudTower login of a protected instance: fetched from the backup
// server with its password and token encrypted for this host, decrypted in
// place with the host's private key, then carried to the servants.
//
// Secrets never go into a log or an error text: messages name keys only.
#ifndef SMARTX_COMMON_LOGIN_INFO_H
#define SMARTX_COMMON_LOGIN_INFO_H

#include <cstdint>
#include <string>

#include "host/json_spirit/value.h"
#include "host/secure_memory.h"

class RESTful_Alert_Client;
struct Job_Activity;

namespace smartx {

class Control_Param;

class Login_Info {
public:
    std::string host;
    uint16_t port = 0;
    bool ssl = false;
    std::string username;
    secure_string secure_pwd;    // "password"
    secure_string secure_token;  // "token", may be empty

    // Required "host", "port" (0..65535), "ssl", "username", "password";
    // optional "token".
    bool load(const json_spirit::Object& obj);
    // All six keys; the secrets as secure-string values.
    json_spirit::Object dump() const;
};

// Replaces secret with its decryption (base64 RSA-OAEP ciphertext) under the
// PEM key; unchanged on failure.
bool decrypt_secret(const secure_ustring& key, secure_string& secret);

// Decrypts the password, then the token, with the host's private key; an
// empty field is left alone. Stops at the first failure.
bool decrypt_login_info(Login_Info& info);

// Asks the backup server ("smartx.query") for the login of the instance
// `uuid`, loads and decrypts it.
bool get_login_info(const std::string& uuid, Login_Info& info);

// Raises one job alert for the job of `control`; `activity` (may be null)
// gives the job id and times.
bool send_alert(RESTful_Alert_Client& client, uint64_t code, const json_spirit::Object& detail,
                const Control_Param& control, const Job_Activity* activity);

}  // namespace smartx

#endif
