// The CloudTower login record: loading, dumping and decryption of its secrets.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "host/host_manager.h"
#include "host/json_spirit/json_io.h"
#include "host/rsa_codec.h"
#include "json_spirit/json_spirit_helper.h"
#include "smartx/common/login_info.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {
const char* const kPassword = "s3cret-Pa55";
const char* const kToken = "tok-0123456789";

Object login_object() {
    return json_spirit::Object_Maker()("host", "10.0.0.5")("port", 443)("ssl", true)(
               "username", "admin")("password", kPassword)("token", kToken)
        .get_obj();
}

std::string encrypt(const std::string& public_pem, const std::string& plain) {
    std::string out;
    EXPECT_TRUE(rsa_encrypt_to_base64(public_pem, plain, out));
    return out;
}

// No logged line may carry any of the given texts.
void expect_no_secret_logged(const Log_Capture& log, std::initializer_list<std::string> secrets) {
    for (const auto& line : log.lines())
        for (const std::string& s : secrets)
            EXPECT_EQ(line.text.find(s), std::string::npos) << line.text;
}
}  // namespace

TEST(LoginInfo, TheTokenIsOptionalAndThePortTakesSixteenBits) {
    Object o = login_object();
    o["port"] = 65535;
    o.erase("token");
    smartx::Login_Info info;
    info.secure_token = "kept";
    ASSERT_TRUE(info.load(o));
    EXPECT_EQ(info.port, 65535);
    o["token"] = 5;  // a token of another type is ignored as well
    ASSERT_TRUE(info.load(o));
    EXPECT_EQ(info.secure_token, "kept");
}

TEST(LoginInfo, MissingOrMistypedKeysFailWithoutShowingSecrets) {
    const struct {
        const char* key;
        std::optional<Value> value;  // none: the key is removed
        const char* expected;
    } rows[] = {
        {"host", std::nullopt, "string"},
        {"port", std::nullopt, "16-bit unsigned integer"},
        {"port", Value(65536), "16-bit unsigned integer"},
        {"port", Value(-1), "16-bit unsigned integer"},
        {"ssl", Value("true"), "boolean"},
        {"password", std::nullopt, "string"},
        {"password", json_spirit::Array(), "string"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + " = " +
                     (row.value ? json_spirit::write(*row.value) : "absent"));
        Object o = login_object();
        if (row.value)
            o[row.key] = *row.value;
        else
            o.erase(row.key);
        Log_Capture log;
        smartx::Login_Info info;
        EXPECT_FALSE(info.load(o));
        if (std::string(row.key) == "port") {
            EXPECT_EQ(info.port, 0);  // never a wrapped port
        }
        EXPECT_EQ(log.texts(), std::vector<std::string>{"Failed to parse login info, details: '" +
                                                        std::string(row.key) + "' is expected as " +
                                                        row.expected + ".\n"});
        EXPECT_EQ(log.lines().at(0).priority, LM_ERROR);
        expect_no_secret_logged(log, {kPassword, kToken});
    }
}

// The secrets are dumped as secure strings, wiped when the dump goes.
TEST(LoginInfo, DumpKeepsSecretsSecure) {
    smartx::Login_Info info;
    ASSERT_TRUE(info.load(login_object()));
    const Object d = info.dump();
    EXPECT_EQ(d.at("password").type(), json_spirit::secure_str_type);
    EXPECT_EQ(d.at("token").type(), json_spirit::secure_str_type);
    EXPECT_EQ(json_spirit::write(Value(d)),
              R"({"host":"10.0.0.5","password":"s3cret-Pa55","port":443,"ssl":true,)"
              R"("token":"tok-0123456789","username":"admin"})");
}

TEST(LoginInfo, SecretsDecryptWithTheMatchingKeyOnly) {
    std::string other_private, other_public;
    ASSERT_TRUE(rsa_generate_key_pair(other_private, other_public, 1024));
    const Host_Key_Pair& keys = test_host_keys();
    const std::string cipher = encrypt(keys.public_pem, kPassword);
    const struct {
        const char* name;
        std::string key;
        std::string secret;
        const char* plain;  // null: fails and keeps the secret
    } rows[] = {
        {"matching key", keys.private_pem, cipher, kPassword},
        {"empty plaintext", keys.private_pem, encrypt(keys.public_pem, ""), ""},
        {"other key", other_private, cipher, nullptr},
        {"no key", "", cipher, nullptr},
        {"not base64", keys.private_pem, "not base64 at all!", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        secure_string secret(row.secret);
        const secure_ustring key(reinterpret_cast<const unsigned char*>(row.key.data()),
                                 row.key.size());
        EXPECT_EQ(smartx::decrypt_secret(key, secret), row.plain != nullptr);
        EXPECT_EQ(secret, row.plain ? row.plain : row.secret);
    }

    // The record uses the host's key; empty secrets need none, and a password
    // that fails leaves the token encrypted.
    const std::string token = encrypt(keys.public_pem, kToken);
    const std::string bad_pwd = encrypt(other_public, kPassword);
    const struct {
        const char* name;
        bool host_key;
        std::string pwd, token;
        bool ok;
        std::string pwd_after, token_after;
    } records[] = {
        {"both", true, cipher, token, true, kPassword, kToken},
        {"nothing without a key", false, "", "", true, "", ""},
        {"token alone", true, "", token, true, "", kToken},
        {"password of another key", true, bad_pwd, token, false, bad_pwd, token},
        {"without a host key", false, cipher, "", false, cipher, ""},
    };
    for (const auto& row : records) {
        SCOPED_TRACE(row.name);
        Temp_Root root;
        if (row.host_key)
            write_host_settings(root.path(), 1);
        else
            Host_Manager::instance()->reload();
        smartx::Login_Info info;
        info.secure_pwd = row.pwd;
        info.secure_token = row.token;
        Log_Capture log;
        EXPECT_EQ(smartx::decrypt_login_info(info), row.ok);
        EXPECT_EQ(info.secure_pwd, row.pwd_after);
        EXPECT_EQ(info.secure_token, row.token_after);
        expect_no_secret_logged(log, {kPassword, kToken, bad_pwd, token});
    }
}
