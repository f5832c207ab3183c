// A simulated CloudTower over the shared fixtures and a REST client whose
// internals tests can reach.
#ifndef TESTS_SMARTX_REST_REST_TEST_SUPPORT_H
#define TESTS_SMARTX_REST_REST_TEST_SUPPORT_H

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/http_client.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "sim/cloudtower/sim_test_support.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/restful_client_templates.h"
#include "support/log_capture.h"

namespace rest_test {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

using ct_test::fixtures_dir;
using ct_test::parse;

// The "id" of the fixture record of kind whose "name" or "key" is name.
inline std::string fixture_id(const std::string& kind, const std::string& name) {
    return ct_test::str(ct_test::fixture_record(kind, name), "id");
}

// The client with its internals in reach.
class Open_Client : public smartx::RESTful_Client {
public:
    using RESTful_Client::client_;
    using RESTful_Client::error_;
    using RESTful_Client::login_info_;
    using RESTful_Client::query_items_by_ids;
    using RESTful_Client::query_items_by_page;
    using RESTful_Client::read_version_text;
    using RESTful_Client::send_async_task_request_with_params;
    using RESTful_Client::send_async_task_request_with_setting;
    using RESTful_Client::send_sm_request;
    using RESTful_Client::send_sm_request_and_get_one;
    using RESTful_Client::send_ss_request;
    using RESTful_Client::version_;
    using RESTful_Client::wait_task_finish;
};

// The simulator of the CloudTower tests, with an empty request log and a
// REST client (client_, which hides the base's raw HTTP client).
class Rest_Test : public ct_test::Sim_Test {
protected:
    void SetUp() override {
        Sim_Test::SetUp();
        server_->clear_requests();
    }

    // The client goes first: a kept-alive connection would hold the server's
    // stop for its idle time-out.
    void TearDown() override {
        owned_client_.reset();
        Sim_Test::TearDown();
    }

    smartx::Login_Info login_info(const std::string& password = "admin123") const {
        smartx::Login_Info info;
        info.host = "127.0.0.1";
        info.port = static_cast<uint16_t>(server_->port());
        info.username = "admin";
        info.secure_pwd = password.c_str();
        return info;
    }

    // Logs client_ in and forgets the requests that took.
    void log_in() {
        smartx::Login_Info info = login_info();
        smartx::Error error;
        ASSERT_TRUE(client_.login(info, &error)) << error.message;
        server_->clear_requests();
    }

    // Stops the server at once: kept-alive connections are dropped first.
    void stop_server() {
        if (client_.client_)
            client_.client_->reset("127.0.0.1", static_cast<uint16_t>(server_->port()), false);
        server_->stop();
    }

    // "METHOD /path" of every request since the last clear.
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& r : server_->requests())
            out.push_back(r.method + " " + r.path);
        return out;
    }

    std::vector<Value> bodies() const {
        std::vector<Value> out;
        for (const auto& r : server_->requests())
            out.push_back(r.body.empty() ? Value() : parse(r.body));
        return out;
    }

    size_t count_calls(const std::string& call) const {
        std::vector<std::string> all = calls();
        return static_cast<size_t>(std::count(all.begin(), all.end(), call));
    }

    // Any captured line holding text.
    static bool logged(const Log_Capture& log, const std::string& text) {
        for (const auto& line : log.lines())
            if (line.text.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::unique_ptr<Open_Client> owned_client_{new Open_Client};
    Open_Client& client_ = *owned_client_;
};

}  // namespace rest_test

#endif
