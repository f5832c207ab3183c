// The host's calls to the backup server, against the simulated server over
// loopback.
#include <chrono>

#include <gtest/gtest.h>

#include "host/backupd_client.h"
#include "host/rsa_codec.h"
#include "sim/backup_server/backup_server.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

class Backupd_Client : public ::testing::Test {
protected:
    void SetUp() override {
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
        sim::Instance_Login login;
        login.uuid = "inst-1";
        login.host = "10.0.0.5";
        login.port = 443;
        login.ssl = true;
        login.username = "admin";
        login.password = "p@ss";
        login.token = "tok-123";
        server_->add_instance(login);
    }

    static std::string decrypt(const std::string& cipher) {
        const std::string& key = test_host_keys().private_pem;
        RSA_Decoder d(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                      reinterpret_cast<const unsigned char*>(key.data()), key.size(), true, 1);
        return d ? std::string(reinterpret_cast<const char*>(d.get()), d.length())
                 : std::string("<failed>");
    }

    static json_spirit::Value uuid_params(const char* uuid) {
        json_spirit::Object p;
        p["uuid"] = uuid;
        return p;
    }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(Backupd_Client, QueryReturnsTheLoginWithSecretsEncryptedForTheHost) {
    json_spirit::Value result;
    ASSERT_TRUE(global_json_rpc("smartx.query", uuid_params("inst-1"), -1, result,
                                json_spirit::null_type, -1));
    ASSERT_EQ(json_spirit::obj_type, result.type());
    const json_spirit::Object& o = result.get_obj();
    EXPECT_EQ("10.0.0.5", json_spirit::object_get_str_or_throw(o, "host"));
    std::string pwd = json_spirit::object_get_str_or_throw(o, "password");
    EXPECT_NE("p@ss", pwd);
    EXPECT_EQ("p@ss", decrypt(pwd));
    EXPECT_EQ("tok-123", decrypt(json_spirit::object_get_str_or_throw(o, "token")));
    auto requests = server_->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("/jsonrpc", requests.back().path);
}

TEST_F(Backupd_Client, FailuresAreFalse) {
    json_spirit::Value result;
    EXPECT_FALSE(global_json_rpc("smartx.query", uuid_params("nope"), -1, result,
                                 json_spirit::null_type, -1));
    server_->set_query_result_override("[1, 2]");
    EXPECT_FALSE(global_json_rpc("smartx.query", uuid_params("inst-1"), -1, result,
                                 json_spirit::obj_type, -1));
    server_->set_rpc_error(true);
    EXPECT_FALSE(global_json_rpc("smartx.query", uuid_params("inst-1"), -1, result,
                                 json_spirit::null_type, -1));
    EXPECT_EQ(json_spirit::null_type, result.type());
}

TEST_F(Backupd_Client, UnreachableServerFailsWithinTheTimeOut) {
    int port = server_->port();
    server_->stop();
    write_host_settings(root_.path(), port);
    json_spirit::Value result;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(global_json_rpc("smartx.query", uuid_params("inst-1"), 5000, result,
                                 json_spirit::null_type, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
}

TEST_F(Backupd_Client, AlertsReachTheServer) {
    RESTful_Alert_Client client;
    json_spirit::Object detail;
    detail["id"] = "vm-1";
    detail["name"] = "web";
    time_t start = 100, last = 0;
    Error_ID id(Error_ID::LV_ERROR, 3, 39, 1, 28, 0);
    EXPECT_EQ(0x700000327010001cull, id.value());
    ASSERT_TRUE(client.send_alert(id.value(), detail, 2, "host-1", "res-1", "def-1", "job-1",
                                  &start, &last, 1));
    auto alerts = server_->alerts();
    ASSERT_EQ(1u, alerts.size());
    const json_spirit::Object& a = alerts[0].get_obj();
    EXPECT_EQ(0x700000327010001cull, json_spirit::object_get_uint64_or_throw(a, "code"));
    EXPECT_EQ("vm-1", json_spirit::object_get_str_or_throw(
                          json_spirit::object_get_object_or_throw(a, "detail"), "id"));
    EXPECT_EQ(100, json_spirit::object_get_int64_or_throw(a, "start_time"));

    server_->stop();
    EXPECT_FALSE(client.send_alert(id.value(), detail, 2, "host-1", "res-1", "def-1", "job-1",
                                   &start, &last, 1));
}

}  // namespace
