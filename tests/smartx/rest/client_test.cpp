// Login, request sending and error decoding against the simulated CloudTower.
#include "host/http_client.h"
#include "rest_test_support.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/label.h"

namespace rest_test {
namespace {

using smartx::Message;

const std::string VERSION_CALL = "GET /v2/api/get-version";
const std::string LOGIN_CALL = "POST /v2/api/login";
const std::string DATACENTERS_CALL = "POST /v2/api/get-datacenters";

class Login_Test : public Rest_Test {};

TEST_F(Login_Test, WithoutTokenAsksForOneAndSendsItAfterwards) {
    smartx::Login_Info info = login_info();
    smartx::Error error;
    Log_Capture log;
    ASSERT_TRUE(client_.login(info, &error)) << error.message;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(std::vector<std::string>({VERSION_CALL, LOGIN_CALL}), calls());
    EXPECT_EQ(parse(R"({"username": "admin", "password": "admin123", "source": "LOCAL"})"),
              bodies()[1]);
    EXPECT_EQ("CloudTower/4.1.0", client_.version());
    ASSERT_FALSE(info.secure_token.empty());
    EXPECT_EQ(info.secure_token, client_.login_info_.secure_token);

    server_->clear_requests();
    std::vector<smartx::Datacenter> dcs;
    ASSERT_TRUE(client_.send_sm_request(smartx::Query_Params(), Message::QUERY_DATACENTERS, dcs,
                                        &error, HTTP_METHOD_POST));
    EXPECT_EQ(1u, dcs.size());
    ASSERT_EQ(1u, server_->requests().size());
    EXPECT_EQ("valid", server_->requests()[0].auth);
    EXPECT_EQ("application/json; charset=utf-8", server_->requests()[0].headers.at("Content-Type"));
    EXPECT_FALSE(logged(log, "Failed")) << ::testing::PrintToString(log.texts());
}

TEST_F(Login_Test, StoredTokenIsUsedWithoutLoggingIn) {
    const std::string token = server_->issue_token();
    smartx::Login_Info info = login_info("not-the-password");
    info.secure_token = token.c_str();
    smartx::Error error;
    ASSERT_TRUE(client_.login(info, &error)) << error.message;
    EXPECT_EQ(std::vector<std::string>({VERSION_CALL}), calls());
    EXPECT_EQ(token, std::string(info.secure_token.c_str()));

    // The token is trusted, not checked: an expired one shows at the next request.
    server_->expire_tokens();
    std::vector<smartx::Datacenter> dcs;
    EXPECT_FALSE(client_.send_sm_request(smartx::Query_Params(), Message::QUERY_DATACENTERS, dcs,
                                         &error, HTTP_METHOD_POST));
    EXPECT_EQ(401, error.status);
    EXPECT_EQ("Invalid token", error.message);
}

TEST_F(Login_Test, OldCloudTowerRefusesEveryRequestButTheVersionQuery) {
    server_->set_version("2.8.0");
    smartx::Login_Info info = login_info();
    smartx::Error error;
    EXPECT_FALSE(client_.login(info, &error));
    EXPECT_EQ(-1, error.status);
    EXPECT_EQ("Failed to generate SmartX request, type: 0, url: .", error.message);
    EXPECT_EQ(std::vector<std::string>({VERSION_CALL}), calls());
    EXPECT_TRUE(info.secure_token.empty());

    // With a token the login passes, and the first request fails unsent.
    server_->clear_requests();
    info.secure_token = server_->issue_token().c_str();
    error.clear();
    ASSERT_TRUE(client_.login(info, &error)) << error.message;
    EXPECT_EQ("CloudTower/2.8.0", client_.version());
    std::vector<smartx::Datacenter> dcs;
    EXPECT_FALSE(client_.send_sm_request(smartx::Query_Params(), Message::QUERY_DATACENTERS, dcs,
                                         &error, HTTP_METHOD_POST));
    EXPECT_EQ(-1, error.status);
    EXPECT_EQ("Failed to generate SmartX request, type: 3, url: .", error.message);
    EXPECT_EQ(std::vector<std::string>({VERSION_CALL}), calls());
}

TEST_F(Login_Test, UnreachableHostFailsAtVersionDetection) {
    smartx::Login_Info info = login_info();
    server_->stop();  // the port now refuses connections
    smartx::Error error;
    Log_Capture log;
    EXPECT_FALSE(client_.login(info, &error));
    EXPECT_EQ(-1, error.status);
    EXPECT_EQ("Failed to generate SmartX request, type: 23, url: .", error.message);
    EXPECT_TRUE(logged(log, "Failed to connect to '127.0.0.1'\n"));
    EXPECT_EQ("", client_.version());

    // Without a record, each failure is logged and nothing is kept.
    log.clear();
    EXPECT_FALSE(client_.login(info));
    EXPECT_TRUE(logged(
        log, "Failed to send SmartX request, type: 23, url: /v2/api/get-version, status: 200.\n"));
    EXPECT_TRUE(logged(log, "Failed to generate SmartX request, type: 23, url: .\n"));
    EXPECT_TRUE(client_.error_.empty());
}

TEST_F(Login_Test, RefusedLoginKeepsSecretsOutOfTheLog) {
    smartx::Login_Info info = login_info("wrong-pass-4711");
    smartx::Error error;
    Log_Capture log;
    EXPECT_FALSE(client_.login(info, &error));
    EXPECT_EQ(400, error.status);
    EXPECT_EQ("/v2/api/login", error.path);
    EXPECT_FALSE(error.message.empty());

    EXPECT_FALSE(client_.login(info));
    EXPECT_TRUE(logged(log, "Failed to send request, url: /v2/api/login, status: 400, details: "));
    EXPECT_TRUE(client_.error_.empty());

    // A successful login and a request: the token is in no line either.
    smartx::Login_Info good = login_info();
    ASSERT_TRUE(client_.login(good));
    server_->fail_path("get-datacenters", 500, "down", 1);
    std::vector<smartx::Datacenter> dcs;
    EXPECT_FALSE(client_.send_sm_request(smartx::Query_Params(), Message::QUERY_DATACENTERS, dcs,
                                         nullptr, HTTP_METHOD_POST));
    ASSERT_FALSE(log.lines().empty());
    const std::string token(good.secure_token.c_str());
    for (const auto& line : log.lines()) {
        EXPECT_EQ(std::string::npos, line.text.find("wrong-pass-4711")) << line.text;
        EXPECT_EQ(std::string::npos, line.text.find("admin123")) << line.text;
        EXPECT_EQ(std::string::npos, line.text.find(token)) << line.text;
    }
}

class Error_Test : public Rest_Test {
protected:
    void SetUp() override {
        Rest_Test::SetUp();
        log_in();
    }

    bool query(smartx::Error* error, int method = HTTP_METHOD_POST) {
        dcs_.clear();
        return client_.send_sm_request(smartx::Query_Params(), Message::QUERY_DATACENTERS, dcs_,
                                       error, method);
    }

    std::vector<smartx::Datacenter> dcs_;
};

TEST_F(Error_Test, CloudTowerErrorBodyIsTheRecord) {
    Object extra;
    extra["props"] = parse(R"({"resource_id": "r1"})");
    extra["stack"] = "Error: locked";
    server_->fail_path("get-datacenters", 409, "Resource is locked", 1, extra);
    smartx::Error error;
    error.op = "from an earlier failure";
    EXPECT_FALSE(query(&error));
    EXPECT_EQ(409, error.status);
    EXPECT_EQ("Resource is locked", error.message);
    EXPECT_EQ("/v2/api/get-datacenters", error.path);
    EXPECT_EQ("Error: locked", error.stack);
    EXPECT_EQ(parse(R"({"resource_id": "r1"})"), error.props);
    EXPECT_EQ("", error.op);
}

TEST_F(Error_Test, WithoutRecordTheErrorIsLoggedOnceAndForgotten) {
    server_->fail_path("get-datacenters", 401, "Token expired", 1);
    Log_Capture log;
    EXPECT_FALSE(query(nullptr));
    size_t send_lines = 0;
    for (const auto& line : log.lines())
        if (line.text.find("Failed to send request, url: ") == 0) {
            ++send_lines;
            EXPECT_EQ(
                "Failed to send request, url: /v2/api/get-datacenters, status: 401, details: Token "
                "expired.\n",
                line.text);
            EXPECT_EQ(LM_ERROR, line.priority);
        }
    EXPECT_EQ(1u, send_lines);
    EXPECT_TRUE(client_.error_.empty());
}

TEST_F(Error_Test, HtmlErrorPage) {
    server_->answer_raw("get-datacenters", 500, "<html><body>Internal Server Error</body></html>",
                        "text/html", 1);
    smartx::Error error;
    EXPECT_FALSE(query(&error));
    EXPECT_EQ(500, error.status);
    EXPECT_EQ(
        "Failed to generate SmartX error, type: 3, url: /v2/api/get-datacenters, status: 500.",
        error.message);
}

TEST_F(Error_Test, ElementMissingARequiredKey) {
    server_->answer_raw("get-datacenters", 200,
                        R"([{"id": "dc-1", "organization": {"id": "o1", "name": "org"}}])",
                        "application/json", 1);
    smartx::Error error;
    EXPECT_FALSE(query(&error));
    EXPECT_EQ(200, error.status);
    EXPECT_EQ(
        "Failed to generate SmartX response, type: 3, url: /v2/api/get-datacenters, status: 200.",
        error.message);
}

TEST_F(Error_Test, NoFailureReadsAsNoError) {
    // An error body that says nothing.
    server_->answer_raw("get-datacenters", 500,
                        R"({"status": 0, "path": "/v2/api/get-datacenters", "message": ""})",
                        "application/json", 1);
    smartx::Error error;
    EXPECT_FALSE(query(&error));
    EXPECT_EQ(500, error.status);
    EXPECT_EQ("Failed to send SmartX request, type: 3, url: /v2/api/get-datacenters, status: 500.",
              error.message);

    // A method the client does not send.
    error.clear();
    server_->clear_requests();
    EXPECT_FALSE(query(&error, 5));
    EXPECT_EQ(-1, error.status);
    EXPECT_FALSE(error.message.empty());
    EXPECT_TRUE(calls().empty());

    // No answer at all.
    error.clear();
    stop_server();
    EXPECT_FALSE(query(&error));
    EXPECT_EQ(-1, error.status);
    EXPECT_EQ("Failed to send SmartX request, type: 3, url: /v2/api/get-datacenters, status: 0.",
              error.message);
}

TEST_F(Error_Test, SingleRecordIsTheFirstOrNotFound) {
    smartx::Query_Params all;
    smartx::Label label;
    smartx::Error error;
    ASSERT_TRUE(client_.send_sm_request_and_get_one(all, Message::QUERY_LABELS, label, &error,
                                                    HTTP_METHOD_POST));
    EXPECT_EQ(fixture_id("labels", "env"), label.id);

    smartx::Query_Params none;
    none.where("id", "no-such-label");
    EXPECT_FALSE(client_.send_sm_request_and_get_one(none, Message::QUERY_LABELS, label, &error,
                                                     HTTP_METHOD_POST));
    EXPECT_EQ(-1, error.status);
    EXPECT_EQ("not found.", error.message);
    EXPECT_EQ(fixture_id("labels", "env"), label.id);

    Log_Capture log;
    EXPECT_FALSE(client_.send_sm_request_and_get_one(none, Message::QUERY_LABELS, label, nullptr,
                                                     HTTP_METHOD_POST));
    EXPECT_EQ(std::vector<std::string>{"Failed to send request, type 15, details: not found."},
              log.texts());
    EXPECT_TRUE(client_.error_.empty());
}

TEST(Version_Read_Test, ReadsWhatIsBufferedUpTo64KiB) {
    HTTP_Connection fresh("\"4.1.0\"");
    std::string text;
    EXPECT_TRUE(Open_Client::read_version_text(fresh, text));
    EXPECT_EQ("\"4.1.0\"", text);

    // Content already received: accepted, and the empty read ends it.
    EXPECT_EQ(HTTP_Connection::SS_CONTENT_RECEIVED, fresh.socket_state());
    text.clear();
    EXPECT_TRUE(Open_Client::read_version_text(fresh, text));
    EXPECT_EQ("", text);

    HTTP_Connection full(std::string(64 * 1024, '1'));
    text.clear();
    EXPECT_TRUE(Open_Client::read_version_text(full, text));
    EXPECT_EQ(64u * 1024u, text.size());

    HTTP_Connection too_long(std::string(64 * 1024 + 1, '1'));
    text.clear();
    Log_Capture log;
    EXPECT_FALSE(Open_Client::read_version_text(too_long, text));
    EXPECT_EQ(1u, log.lines().size());
}

TEST_F(Login_Test, VersionAnswerThatIsNoVersion) {
    server_->answer_raw("get-version", 200, "", "application/json");
    smartx::Login_Info info = login_info();
    smartx::Error error;
    EXPECT_FALSE(client_.login(info, &error));
    EXPECT_EQ(-1, error.status);
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(std::vector<std::string>({VERSION_CALL}), calls());
}

}  // namespace
}  // namespace rest_test
