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
#include "json_spirit/json_spirit_helper.h"
#include "sim/backup_server/backup_server.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

const char* const kPassword = "Pa55w0rd!";
const char* const kToken = "token-abc-123";

class LoginLookup : public ::testing::Test {
protected:
    void SetUp() override {
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
        server_->add_instance({"inst-1", "10.1.2.3", 8443, true, "root", kPassword, kToken});
        server_->add_instance({"inst-no-token", "10.1.2.3", 8443, true, "root", kPassword, ""});
    }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(LoginLookup, FetchesAndDecryptsTheLogin) {
    smartx::Login_Info info;
    Log_Capture log;
    ASSERT_TRUE(smartx::get_login_info("inst-1", info));
    EXPECT_EQ("10.1.2.3:8443 ssl root", info.host + ":" + std::to_string(info.port) +
                                            (info.ssl ? " ssl " : " ") + info.username);
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
    const json_spirit::Object common =
        json_spirit::Object_Maker()("code", static_cast<unsigned long long>(code))(
            "detail", detail)("job_revision", 12)("host_id", "host-7")("resource_uuid", "res-5")(
            "def_id", "def-9")("count", 1)
            .get_obj();
    const struct Row {
        Job_State state;
        bool with_activity;
        int last_run_time;
    } rows[] = {
        {JOB_STATE_COMPLETED, true, 1700000100},
        {JOB_STATE_CANCELED, true, 1700000100},
        {JOB_STATE_ERROR, true, 1700000100},
        {JOB_STATE_RUNNING, true, 0},
        {JOB_STATE_IDLE, false, 0},
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
        json_spirit::Object expected = common;
        json_spirit::insert(expected)(
            "job_id", r.with_activity ? "01234567-89ab-cdef-0123-456789abcdef" : "")(
            "start_time", r.with_activity ? 1700000000 : 0)("last_run_time", r.last_run_time);
        for (const auto& kv : expected)
            EXPECT_EQ(kv.second, alerts.back().get_obj().at(kv.first)) << kv.first;
    }
}

}  // namespace
