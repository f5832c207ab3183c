// Fetching an instance's CloudTower login from the simulated backup server,
// and raising job alerts through it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/backupd_client.h"
#include "host/job/job_types.h"
#include "host/uuid.h"
#include "sim/backup_server/backup_server.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

const char* const kPassword = "Pa55w0rd!";
const char* const kToken = "token-abc-123";

class Login_Lookup : public ::testing::Test {
protected:
    void SetUp() override {
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
        sim::Instance_Login login;
        login.uuid = "inst-1";
        login.host = "10.1.2.3";
        login.port = 8443;
        login.ssl = true;
        login.username = "root";
        login.password = kPassword;
        login.token = kToken;
        server_->add_instance(login);
        login.uuid = "inst-no-token";
        login.token.clear();
        server_->add_instance(login);
    }

    // Nothing logged may carry a secret, plain or encrypted.
    void expect_no_secret_in(const Log_Capture& log) {
        for (const auto& line : log.lines()) {
            EXPECT_EQ(std::string::npos, line.text.find(kPassword)) << line.text;
            EXPECT_EQ(std::string::npos, line.text.find(kToken)) << line.text;
            EXPECT_EQ(std::string::npos, line.text.find("=="))
                << line.text;  // base64 padding of a ciphertext
        }
    }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(Login_Lookup, FetchesAndDecryptsTheLogin) {
    smartx::Login_Info info;
    Log_Capture log;
    ASSERT_TRUE(smartx::get_login_info("inst-1", info));
    EXPECT_EQ("10.1.2.3", info.host);
    EXPECT_EQ(8443, info.port);
    EXPECT_TRUE(info.ssl);
    EXPECT_EQ("root", info.username);
    EXPECT_EQ(kPassword, info.secure_pwd);
    EXPECT_EQ(kToken, info.secure_token);
    EXPECT_TRUE(log.lines().empty());
    auto requests = server_->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(std::string::npos, requests.back().body.find("\"smartx.query\""));
    EXPECT_NE(std::string::npos, requests.back().body.find("\"uuid\":\"inst-1\""));
}

TEST_F(Login_Lookup, TokenMayBeAbsent) {
    smartx::Login_Info info;
    ASSERT_TRUE(smartx::get_login_info("inst-no-token", info));
    EXPECT_EQ(kPassword, info.secure_pwd);
    EXPECT_TRUE(info.secure_token.empty());
}

TEST_F(Login_Lookup, NonObjectAnswersFailWithTheInvariantMessage) {
    for (const char* answer : {"[1, 2]", "\"text\"", "7", "null"}) {
        SCOPED_TRACE(answer);
        server_->set_query_result_override(answer);
        smartx::Login_Info info;
        Log_Capture log;
        EXPECT_FALSE(smartx::get_login_info("inst-1", info));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(LM_EMERGENCY, log.lines()[0].priority);
        const std::string& t = log.lines()[0].text;
        EXPECT_EQ(0u, t.find("Unexpected error in ")) << t;
        EXPECT_NE(std::string::npos, t.find("login_info.cpp:")) << t;
        EXPECT_EQ(", result is not object!\n",
                  t.substr(t.size() - std::strlen(", result is not object!\n")))
            << t;
    }
}

TEST_F(Login_Lookup, LoginThatDoesNotLoadFails) {
    for (const char* answer :
         {"{\"host\": \"h\", \"port\": 70000, \"ssl\": false, \"username\": \"u\", \"password\": "
          "\"x\"}",
          "{\"host\": \"h\", \"port\": 443, \"ssl\": false, \"username\": \"u\"}"}) {
        server_->set_query_result_override(answer);
        smartx::Login_Info info;
        Log_Capture log;
        EXPECT_FALSE(smartx::get_login_info("inst-1", info));
        ASSERT_EQ(2u, log.lines().size());
        EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse login info, details: "));
        EXPECT_EQ("Failed to load SmartX login info.\n", log.lines()[1].text);
    }
}

TEST_F(Login_Lookup, SecretThatDoesNotDecryptFailsQuietly) {
    server_->set_query_result_override(
        "{\"host\": \"h\", \"port\": 443, \"ssl\": true, \"username\": \"u\", \"password\": "
        "\"UGE1NXcwcmQh\"}");
    smartx::Login_Info info;
    Log_Capture log;
    EXPECT_FALSE(smartx::get_login_info("inst-1", info));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Login_Lookup, ServerErrorsAndUnknownInstancesFail) {
    smartx::Login_Info info;
    Log_Capture log;
    EXPECT_FALSE(smartx::get_login_info("no-such-instance", info));
    server_->set_rpc_error(true);
    EXPECT_FALSE(smartx::get_login_info("inst-1", info));
    expect_no_secret_in(log);
}

// A loopback port nothing listens on.
int dead_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

TEST(Backup_Server_Unreachable, LoginLookupAndAlertsFail) {
    Temp_Root root;
    const int port = dead_port();
    ASSERT_GT(port, 0);
    write_host_settings(root.path(), port);
    smartx::Login_Info info;
    Log_Capture log;
    EXPECT_FALSE(smartx::get_login_info("inst-1", info));
    EXPECT_TRUE(info.host.empty());
    RESTful_Alert_Client client;
    EXPECT_FALSE(
        smartx::send_alert(client, 1, json_spirit::Object(), smartx::Control_Param(), nullptr));
}

// ---- alerts ----

class Alerts : public Login_Lookup {
protected:
    smartx::Control_Param control() const {
        smartx::Control_Param c;
        c.def_id = "def-9";
        c.host_id = "host-7";
        c.resource_uuid = "res-5";
        c.job_revision = 12;
        return c;
    }

    Job_Activity activity(Job_State state) const {
        Job_Activity a;
        std::memset(&a, 0, sizeof a);
        EXPECT_TRUE(uuid_from_string("0123456789abcdef0123456789abcdef", a.id));
        a.state = state;
        a.start_time = 1700000000;
        a.last_run_time = 1700000100;
        return a;
    }

    json_spirit::Object detail() const {
        json_spirit::Object d;
        d["id"] = "vm-1";
        d["name"] = "web";
        return d;
    }

    const json_spirit::Object& last_alert() {
        alerts_ = server_->alerts();
        EXPECT_FALSE(alerts_.empty());
        return alerts_.back().get_obj();
    }

    std::vector<json_spirit::Value> alerts_;
};

TEST_F(Alerts, CarryTheJobAndTheRunTimesOfAFinishedRun) {
    RESTful_Alert_Client client;
    const uint64_t code = Error_ID(Error_ID::LV_WARNING, 3, 39, 1, 21, 0).value();
    for (Job_State state : {JOB_STATE_COMPLETED, JOB_STATE_CANCELED, JOB_STATE_ERROR}) {
        Job_Activity a = activity(state);
        ASSERT_TRUE(smartx::send_alert(client, code, detail(), control(), &a));
        const json_spirit::Object& alert = last_alert();
        EXPECT_EQ(json_spirit::Value(static_cast<unsigned long long>(code)), alert.at("code"));
        EXPECT_EQ(json_spirit::Value(detail()), alert.at("detail"));
        EXPECT_EQ(json_spirit::Value(12), alert.at("job_revision"));
        EXPECT_EQ(json_spirit::Value("host-7"), alert.at("host_id"));
        EXPECT_EQ(json_spirit::Value("res-5"), alert.at("resource_uuid"));
        EXPECT_EQ(json_spirit::Value("def-9"), alert.at("def_id"));
        EXPECT_EQ(json_spirit::Value("01234567-89ab-cdef-0123-456789abcdef"), alert.at("job_id"));
        EXPECT_EQ(json_spirit::Value(1700000000), alert.at("start_time"));
        EXPECT_EQ(json_spirit::Value(1700000100), alert.at("last_run_time"));
        EXPECT_EQ(json_spirit::Value(1), alert.at("count"));
    }
}

TEST_F(Alerts, RunningJobHasNoLastRunTime) {
    RESTful_Alert_Client client;
    Job_Activity a = activity(JOB_STATE_RUNNING);
    ASSERT_TRUE(smartx::send_alert(client, 1, detail(), control(), &a));
    EXPECT_EQ(json_spirit::Value(1700000000), last_alert().at("start_time"));
    EXPECT_EQ(json_spirit::Value(0), last_alert().at("last_run_time"));
}

TEST_F(Alerts, WithoutActivityTheJobIsUnnamed) {
    RESTful_Alert_Client client;
    ASSERT_TRUE(smartx::send_alert(client, 1, detail(), control(), nullptr));
    EXPECT_EQ(json_spirit::Value(""), last_alert().at("job_id"));
    EXPECT_EQ(json_spirit::Value(0), last_alert().at("start_time"));
    EXPECT_EQ(json_spirit::Value(0), last_alert().at("last_run_time"));
}

}  // namespace
