// The CloudTower login record: loading, dumping and decryption of its secrets.
#include <string>

#include <gtest/gtest.h>

#include "host/host_manager.h"
#include "host/json_spirit/json_io.h"
#include "host/rsa_codec.h"
#include "smartx/common/login_info.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

const char* const kPassword = "s3cret-Pa55";
const char* const kToken = "tok-0123456789";

json_spirit::Object login_object() {
    json_spirit::Object o;
    o["host"] = "10.0.0.5";
    o["port"] = 443;
    o["ssl"] = true;
    o["username"] = "admin";
    o["password"] = kPassword;
    o["token"] = kToken;
    return o;
}

secure_ustring as_key(const std::string& pem) {
    return secure_ustring(reinterpret_cast<const unsigned char*>(pem.data()), pem.size());
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
            EXPECT_EQ(std::string::npos, line.text.find(s)) << line.text;
}

TEST(Login_Info_Load, ReadsEveryKey) {
    smartx::Login_Info info;
    ASSERT_TRUE(info.load(login_object()));
    EXPECT_EQ("10.0.0.5", info.host);
    EXPECT_EQ(443, info.port);
    EXPECT_TRUE(info.ssl);
    EXPECT_EQ("admin", info.username);
    EXPECT_EQ(kPassword, info.secure_pwd);
    EXPECT_EQ(kToken, info.secure_token);
}

TEST(Login_Info_Load, TokenIsOptional) {
    json_spirit::Object o = login_object();
    o.erase("token");
    smartx::Login_Info info;
    info.secure_token = "kept";
    ASSERT_TRUE(info.load(o));
    EXPECT_EQ("kept", info.secure_token);
    // A token of another type is ignored as well.
    o["token"] = 5;
    ASSERT_TRUE(info.load(o));
    EXPECT_EQ("kept", info.secure_token);
}

TEST(Login_Info_Load, MissingOrMistypedRequiredKeysFailWithoutShowingSecrets) {
    for (const char* key : {"host", "port", "ssl", "username", "password"}) {
        SCOPED_TRACE(key);
        for (bool remove : {true, false}) {
            json_spirit::Object o = login_object();
            if (remove)
                o.erase(key);
            else
                o[key] = json_spirit::Array();
            Log_Capture log;
            smartx::Login_Info info;
            EXPECT_FALSE(info.load(o));
            ASSERT_EQ(1u, log.lines().size());
            EXPECT_EQ(LM_ERROR, log.lines()[0].priority);
            const std::string& text = log.lines()[0].text;
            EXPECT_EQ(0u, text.find("Failed to parse login info, details: ")) << text;
            EXPECT_NE(std::string::npos, text.find(std::string("'") + key + "'")) << text;
            expect_no_secret_logged(log, {kPassword, kToken});
        }
    }
}

TEST(Login_Info_Load, PortMustFitSixteenBits) {
    json_spirit::Object o = login_object();
    smartx::Login_Info info;
    o["port"] = 65535;
    ASSERT_TRUE(info.load(o));
    EXPECT_EQ(65535, info.port);
    for (long bad : {65536L, 70000L, -1L, 4294967297L}) {
        SCOPED_TRACE(bad);
        o["port"] = bad;
        Log_Capture log;
        smartx::Login_Info fresh;
        EXPECT_FALSE(fresh.load(o));
        EXPECT_EQ(0, fresh.port);
    }
    o["port"] = 443.5;
    EXPECT_FALSE(info.load(o));
}

TEST(Login_Info_Dump, DefaultRecordHasAllSixKeys) {
    json_spirit::Object d = smartx::Login_Info().dump();
    ASSERT_EQ(6u, d.size());
    EXPECT_EQ(json_spirit::Value(""), d["host"]);
    EXPECT_EQ(json_spirit::Value(0), d["port"]);
    EXPECT_EQ(json_spirit::Value(false), d["ssl"]);
    EXPECT_EQ(json_spirit::Value(""), d["username"]);
    EXPECT_EQ(json_spirit::secure_str_type, d["password"].type());
    EXPECT_EQ(json_spirit::secure_str_type, d["token"].type());
    EXPECT_EQ("", d["password"].get_str());
    EXPECT_EQ("", d["token"].get_str());
}

TEST(Login_Info_Dump, LoadsBackEqualAlsoThroughText) {
    smartx::Login_Info info;
    ASSERT_TRUE(info.load(login_object()));
    smartx::Login_Info again;
    ASSERT_TRUE(again.load(info.dump()));
    json_spirit::Value through_text;
    ASSERT_TRUE(
        json_spirit::read(json_spirit::write(json_spirit::Value(info.dump())), through_text));
    smartx::Login_Info third;
    ASSERT_TRUE(third.load(through_text.get_obj()));
    for (const smartx::Login_Info* r : {&again, &third}) {
        EXPECT_EQ(info.host, r->host);
        EXPECT_EQ(info.port, r->port);
        EXPECT_EQ(info.ssl, r->ssl);
        EXPECT_EQ(info.username, r->username);
        EXPECT_EQ(info.secure_pwd, r->secure_pwd);
        EXPECT_EQ(info.secure_token, r->secure_token);
    }
}

// ---- decryption ----

class Login_Decrypt : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A second, smaller pair for the wrong-key cases.
        ASSERT_TRUE(rsa_generate_key_pair(other_private_, other_public_, 1024));
    }

    const Host_Key_Pair& keys() const { return test_host_keys(); }

    static std::string other_private_;
    static std::string other_public_;
};

std::string Login_Decrypt::other_private_;
std::string Login_Decrypt::other_public_;

TEST_F(Login_Decrypt, SecretDecryptsWithTheMatchingKeyOnly) {
    const std::string cipher = encrypt(keys().public_pem, kPassword);
    secure_string secret(cipher);
    ASSERT_TRUE(smartx::decrypt_secret(as_key(keys().private_pem), secret));
    EXPECT_EQ(kPassword, secret);

    secure_string wrong(cipher);
    EXPECT_FALSE(smartx::decrypt_secret(as_key(other_private_), wrong));
    EXPECT_EQ(cipher, wrong);

    secure_string no_key(cipher);
    EXPECT_FALSE(smartx::decrypt_secret(secure_ustring(), no_key));
    EXPECT_EQ(cipher, no_key);
}

TEST_F(Login_Decrypt, CorruptedOrMalformedCiphertextFailsAndKeepsTheSecret) {
    const std::string cipher = encrypt(keys().public_pem, kPassword);
    std::string flipped = cipher;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    std::string cut = cipher.substr(0, cipher.size() / 2);
    for (const std::string& bad :
         {flipped, cut, std::string("not base64 at all!"), std::string("QUJD")}) {
        secure_string secret(bad);
        EXPECT_FALSE(smartx::decrypt_secret(as_key(keys().private_pem), secret));
        EXPECT_EQ(bad, secret);
    }
}

TEST_F(Login_Decrypt, EmptyPlaintextRoundTrips) {
    // A password that is empty once decrypted is still a successful decryption.
    secure_string secret(encrypt(keys().public_pem, ""));
    ASSERT_FALSE(secret.empty());
    ASSERT_TRUE(smartx::decrypt_secret(as_key(keys().private_pem), secret));
    EXPECT_TRUE(secret.empty());
}

TEST_F(Login_Decrypt, RecordDecryptsWithTheHostKey) {
    Temp_Root root;
    write_host_settings(root.path(), 1);
    smartx::Login_Info info;
    info.secure_pwd = encrypt(keys().public_pem, kPassword);
    info.secure_token = encrypt(keys().public_pem, kToken);
    Log_Capture log;
    ASSERT_TRUE(smartx::decrypt_login_info(info));
    EXPECT_EQ(kPassword, info.secure_pwd);
    EXPECT_EQ(kToken, info.secure_token);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Login_Decrypt, EmptySecretsNeedNoKey) {
    Temp_Root root;  // no settings: the host has no key
    Host_Manager::instance()->reload();
    smartx::Login_Info info;
    EXPECT_TRUE(smartx::decrypt_login_info(info));
    // A token alone is decrypted; the empty password is left alone.
    write_host_settings(root.path(), 1);
    info.secure_token = encrypt(keys().public_pem, kToken);
    ASSERT_TRUE(smartx::decrypt_login_info(info));
    EXPECT_TRUE(info.secure_pwd.empty());
    EXPECT_EQ(kToken, info.secure_token);
}

TEST_F(Login_Decrypt, FailedPasswordLeavesTheTokenEncrypted) {
    Temp_Root root;
    write_host_settings(root.path(), 1);
    const std::string bad_pwd = encrypt(other_public_, kPassword);
    const std::string token = encrypt(keys().public_pem, kToken);
    smartx::Login_Info info;
    info.secure_pwd = bad_pwd;
    info.secure_token = token;
    Log_Capture log;
    EXPECT_FALSE(smartx::decrypt_login_info(info));
    EXPECT_EQ(bad_pwd, info.secure_pwd);
    EXPECT_EQ(token, info.secure_token);
    expect_no_secret_logged(log, {kPassword, kToken, bad_pwd, token});
}

TEST_F(Login_Decrypt, WithoutAHostKeyEncryptedSecretsFail) {
    Temp_Root root;
    Host_Manager::instance()->reload();
    smartx::Login_Info info;
    info.secure_pwd = encrypt(keys().public_pem, kPassword);
    EXPECT_FALSE(smartx::decrypt_login_info(info));
}

}  // namespace
