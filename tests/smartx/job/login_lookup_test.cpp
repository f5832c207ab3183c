// Fetching an instance's CloudTower login from the simulated backup server,
// and raising job alerts through it.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/backupd_client.h"
#include "host/job/job_types.h"
#include "host/uuid.h"
#include "sim/backup_server/backup_server.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "support/host_settings.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

const char* const kPassword = "Pa55w0rd!";
const char* const kToken = "token-abc-123";

class LoginLookup : public ::testing::Test {
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

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(LoginLookup, FetchesAndDecryptsTheLogin) {
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

    smartx::Login_Info no_token;
    ASSERT_TRUE(smartx::get_login_info("inst-no-token", no_token));
    EXPECT_EQ(kPassword, no_token.secure_pwd);
    EXPECT_TRUE(no_token.secure_token.empty());
}

TEST_F(LoginLookup, FailuresLogTheirCauseAndNeverASecret) {
    const char* const not_object = ", result is not object!\n";
    const char* const no_load = "Failed to load SmartX login info.\n";
    const struct Row {
        const char* uuid;
        const char* answer;  // instead of the instance's login
        bool rpc_error;
        int lines;  // -1: not checked
        const char* first_begins;
        const char* last_ends;
    } rows[] = {
        {"inst-1", "[1, 2]", false, 1, "Unexpected error in ", not_object},
        {"inst-1", "\"text\"", false, 1, "Unexpected error in ", not_object},
        {"inst-1", "7", false, 1, "Unexpected error in ", not_object},
        {"inst-1", "null", false, 1, "Unexpected error in ", not_object},
        {"inst-1",
         "{\"host\": \"h\", \"port\": 70000, \"ssl\": false, \"username\": \"u\", \"password\": "
         "\"x\"}",
         false, 2, "Failed to parse login info, details: ", no_load},
        {"inst-1", "{\"host\": \"h\", \"port\": 443, \"ssl\": false, \"username\": \"u\"}", false,
         2, "Failed to parse login info, details: ", no_load},
        // A secret that does not decrypt fails quietly.
        {"inst-1",
         "{\"host\": \"h\", \"port\": 443, \"ssl\": true, \"username\": \"u\", \"password\": "
         "\"UGE1NXcwcmQh\"}",
         false, 0, "", ""},
        {"no-such-instance", "", false, -1, "", ""},
        {"inst-1", "", true, -1, "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.uuid) + " " + r.answer);
        server_->set_query_result_override(r.answer);
        server_->set_rpc_error(r.rpc_error);
        smartx::Login_Info info;
        Log_Capture log;
        EXPECT_FALSE(smartx::get_login_info(r.uuid, info));
        for (const auto& line : log.lines()) {
            EXPECT_EQ(std::string::npos, line.text.find(kPassword)) << line.text;
            EXPECT_EQ(std::string::npos, line.text.find(kToken)) << line.text;
            // base64 padding of a ciphertext
            EXPECT_EQ(std::string::npos, line.text.find("==")) << line.text;
        }
        if (r.lines <= 0) {
            EXPECT_TRUE(r.lines < 0 || log.lines().empty());
            continue;
        }
        ASSERT_EQ(static_cast<size_t>(r.lines), log.lines().size());
        const std::string& first = log.lines().front().text;
        const std::string& last = log.lines().back().text;
        EXPECT_EQ(0u, first.find(r.first_begins)) << first;
        EXPECT_EQ(r.lines == 1 ? LM_EMERGENCY : LM_ERROR, log.lines().front().priority);
        EXPECT_EQ(r.last_ends,
                  last.substr(last.size() - std::min(last.size(), std::strlen(r.last_ends))));
    }
}

TEST_F(LoginLookup, AStoppedServerFailsLookupsAndAlerts) {
    server_->stop();
    smartx::Login_Info info;
    Log_Capture log;
    EXPECT_FALSE(smartx::get_login_info("inst-1", info));
    EXPECT_TRUE(info.host.empty());
    RESTful_Alert_Client client;
    EXPECT_FALSE(
        smartx::send_alert(client, 1, json_spirit::Object(), smartx::Control_Param(), nullptr));
}

// Only a finished run's alert carries its last run time; without an activity
// the job is unnamed.
TEST_F(LoginLookup, AlertsCarryTheJobAndTheTimesOfItsRun) {
    smartx::Control_Param control;
    control.def_id = "def-9";
    control.host_id = "host-7";
    control.resource_uuid = "res-5";
    control.job_revision = 12;
    json_spirit::Object detail;
    detail["id"] = "vm-1";
    detail["name"] = "web";
    const uint64_t code = Error_ID(Error_ID::LV_WARNING, 3, 39, 1, 21, 0).value();
    const char* const job_id = "01234567-89ab-cdef-0123-456789abcdef";
    const struct Row {
        bool with_activity;
        Job_State state;
        const char* job_id;
        int start_time, last_run_time;
    } rows[] = {
        {true, JOB_STATE_COMPLETED, job_id, 1700000000, 1700000100},
        {true, JOB_STATE_CANCELED, job_id, 1700000000, 1700000100},
        {true, JOB_STATE_ERROR, job_id, 1700000000, 1700000100},
        {true, JOB_STATE_RUNNING, job_id, 1700000000, 0},
        {false, JOB_STATE_IDLE, "", 0, 0},
    };
    RESTful_Alert_Client client;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.state);
        Job_Activity a;
        std::memset(&a, 0, sizeof a);
        ASSERT_TRUE(uuid_from_string("0123456789abcdef0123456789abcdef", a.id));
        a.state = r.state;
        a.start_time = 1700000000;
        a.last_run_time = 1700000100;
        ASSERT_TRUE(
            smartx::send_alert(client, code, detail, control, r.with_activity ? &a : nullptr));
        const auto alerts = server_->alerts();
        ASSERT_FALSE(alerts.empty());
        json_spirit::Object expected;
        expected["code"] = static_cast<unsigned long long>(code);
        expected["detail"] = detail;
        expected["job_revision"] = 12;
        expected["host_id"] = "host-7";
        expected["resource_uuid"] = "res-5";
        expected["def_id"] = "def-9";
        expected["job_id"] = r.job_id;
        expected["start_time"] = r.start_time;
        expected["last_run_time"] = r.last_run_time;
        expected["count"] = 1;
        for (const auto& kv : expected)
            EXPECT_EQ(kv.second, alerts.back().get_obj().at(kv.first)) << kv.first;
    }
}

}  // namespace
