// The host's calls to the backup server, against the simulated server over
// loopback.
#include <chrono>

#include <gtest/gtest.h>

#include "host/backupd_client.h"
#include "host/rsa_codec.h"
#include "sim/backup_server/backup_server.h"
#include "support/host_settings.h"
#include "support/temp_root.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

class BackupdClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start());
        write_host_settings(root_.path(), server_.port());
        sim::Instance_Login login;
        login.uuid = "inst-1";
        login.host = "10.0.0.5";
        login.password = "p@ss";
        login.token = "tok-123";
        server_.add_instance(login);
    }

    static std::string decrypt(const std::string& cipher) {
        const std::string& key = test_host_keys().private_pem;
        RSA_Decoder d(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                      reinterpret_cast<const unsigned char*>(key.data()), key.size(), true, 1);
        return d ? std::string(reinterpret_cast<const char*>(d.get()), d.length()) : "<failed>";
    }

    // smartx.query for instance uuid.
    bool query(const char* uuid, Value& result, json_spirit::Value_type expected,
               int timeout_ms = -1, int retries = -1) {
        return global_json_rpc("smartx.query", Object{{"uuid", Value(uuid)}}, timeout_ms, result,
                               expected, retries);
    }

    Temp_Root root_;
    sim::Backup_Server server_{test_host_keys().public_pem};
};

TEST_F(BackupdClient, QueryReturnsTheLoginWithSecretsEncryptedForTheHost) {
    Value result;
    ASSERT_TRUE(query("inst-1", result, json_spirit::obj_type));
    const Object& o = result.get_obj();
    EXPECT_EQ("10.0.0.5", json_spirit::object_get_str_or_throw(o, "host"));
    const std::string pwd = json_spirit::object_get_str_or_throw(o, "password");
    EXPECT_NE("p@ss", pwd);
    EXPECT_EQ("p@ss", decrypt(pwd));
    EXPECT_EQ("tok-123", decrypt(json_spirit::object_get_str_or_throw(o, "token")));
    ASSERT_FALSE(server_.requests().empty());
    EXPECT_EQ("/jsonrpc", server_.requests().back().path);
}

TEST_F(BackupdClient, FailuresAreFalse) {
    Value result;
    EXPECT_FALSE(query("nope", result, json_spirit::null_type));
    server_.set_query_result_override("[1, 2]");
    EXPECT_FALSE(query("inst-1", result, json_spirit::obj_type)) << "a result of another type";
    server_.set_rpc_error(true);
    EXPECT_FALSE(query("inst-1", result, json_spirit::null_type));
    EXPECT_EQ(json_spirit::null_type, result.type());

    server_.stop();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(query("inst-1", result, json_spirit::null_type, 5000, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
}

TEST_F(BackupdClient, AlertsReachTheServer) {
    RESTful_Alert_Client client;
    const Object detail{{"id", Value("vm-1")}, {"name", Value("web")}};
    time_t start = 100, last = 0;
    const Error_ID id(Error_ID::LV_ERROR, 3, 39, 1, 28, 0);
    EXPECT_EQ(0x700000327010001cull, id.value());
    ASSERT_TRUE(client.send_alert(id.value(), detail, 2, "host-1", "res-1", "def-1", "job-1",
                                  &start, &last, 1));
    const auto alerts = server_.alerts();
    ASSERT_EQ(1u, alerts.size());
    const Object& a = alerts[0].get_obj();
    EXPECT_EQ(id.value(), json_spirit::object_get_uint64_or_throw(a, "code"));
    EXPECT_EQ(detail, json_spirit::object_get_object_or_throw(a, "detail"));
    EXPECT_EQ(100, json_spirit::object_get_int64_or_throw(a, "start_time"));

    server_.stop();
    EXPECT_FALSE(client.send_alert(id.value(), detail, 2, "host-1", "res-1", "def-1", "job-1",
                                   &start, &last, 1));
}

}  // namespace
