// A simulated CloudTower over the shared fixtures and a REST client whose
// internals tests can reach.
#ifndef TESTS_SMARTX_REST_REST_TEST_SUPPORT_H
#define TESTS_SMARTX_REST_REST_TEST_SUPPORT_H

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/http_client.h"
#include "sim/cloudtower/sim_test_support.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/restful_client_templates.h"
#include "support/log_capture.h"

namespace rest_test {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

using ct_test::fixture_id;
using ct_test::parse;

// The client with its internals in reach.
class Open_Client : public smartx::RESTful_Client {
public:
    using RESTful_Client::client_;
    using RESTful_Client::error_;
    using RESTful_Client::query_items_by_ids;
    using RESTful_Client::query_items_by_page;
    using RESTful_Client::read_version_text;
    using RESTful_Client::send_sm_request;
    using RESTful_Client::send_sm_request_and_get_one;
};

// The simulator of the CloudTower tests and a REST client (client_, which
// hides the base's raw HTTP client), logged in unless log_in_first_ is
// cleared; the request log starts empty.
class RestTest : public ct_test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        if (log_in_first_) {
            smartx::Login_Info info = login_info();
            smartx::Error error;
            ASSERT_TRUE(client_.login(info, &error)) << error.message;
        }
        server_->clear_requests();
    }

    // The client goes first: a kept-alive connection would hold the server's
    // stop for its idle time-out.
    void TearDown() override {
        owned_client_.reset();
        SimTest::TearDown();
    }

    smartx::Login_Info login_info(const std::string& password = "admin123") const {
        smartx::Login_Info info;
        info.host = "127.0.0.1";
        info.port = static_cast<uint16_t>(server_->port());
        info.username = "admin";
        info.secure_pwd = password.c_str();
        return info;
    }

    // Stops the server at once: kept-alive connections are dropped first.
    void stop_server() {
        if (client_.client_)
            client_.client_->reset("127.0.0.1", static_cast<uint16_t>(server_->port()), false);
        server_->stop();
    }

    // The text with each "$KEY" of ids_ replaced; backwards, so "$AB" goes before "$A".
    std::string fill(std::string text) const {
        for (auto key = ids_.rbegin(); key != ids_.rend(); ++key)
            for (size_t at; (at = text.find(key->first)) != std::string::npos;)
                text.replace(at, key->first.size(), key->second);
        return text;
    }

    // The requests since the last clear against "name [json]; ...": the name
    // after /v2/api/, and where json is given, the body (or its member part)
    // as json after fill().
    void expect_requests(const std::string& expected, const char* part = nullptr) const {
        std::vector<std::string> want, got;
        std::istringstream in(fill(expected));
        for (std::string call; std::getline(in, call, ';');) {
            call.erase(0, call.find_first_not_of(" \n"));
            const size_t space = call.find(' ');
            want.push_back(space == std::string::npos
                               ? call
                               : call.substr(0, space) + " " +
                                     json_spirit::write(parse(call.substr(space + 1))));
        }
        for (const auto& r : server_->requests()) {
            Value body = r.body.empty() ? Value() : parse(r.body);
            if (part)
                body = ct_test::member(body, part);
            got.push_back(r.path.substr(std::string("/v2/api/").size()));
            if (got.size() <= want.size() && want[got.size() - 1].find(' ') != std::string::npos)
                got.back() += " " + json_spirit::write(body);
        }
        EXPECT_EQ(want, got);
    }

    std::vector<Value> bodies() const {
        std::vector<Value> out;
        for (const auto& r : server_->requests())
            out.push_back(r.body.empty() ? Value() : parse(r.body));
        return out;
    }

    std::map<std::string, std::string> ids_;  // for fill()
    bool log_in_first_ = true;
    std::unique_ptr<Open_Client> owned_client_{new Open_Client};
    Open_Client& client_ = *owned_client_;
    smartx::Error error_;
};

}  // namespace rest_test

#endif
