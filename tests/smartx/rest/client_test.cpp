// Login, request sending and error decoding against the simulated CloudTower.
#include <functional>

#include "host/http_client.h"
#include "rest_test_support.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/label.h"

namespace rest_test {
namespace {

using smartx::Message;

class ClientTest : public RestTest {
protected:
    bool query_datacenters(smartx::Error* error, int method = HTTP_METHOD_POST) {
        std::vector<smartx::Datacenter> dcs;
        return client_.send_sm_request(smartx::Query_Params(), Message::QUERY_DATACENTERS, dcs,
                                       error, method);
    }
};

class LoginTest : public ClientTest {
protected:
    LoginTest() { log_in_first_ = false; }
};

class ErrorTest : public ClientTest {};

TEST_F(LoginTest, WithoutTokenAsksForOneAndSendsItAfterwards) {
    smartx::Login_Info info = login_info();
    Log_Capture log;
    ASSERT_TRUE(client_.login(info, &error_)) << error_.message;
    EXPECT_TRUE(error_.empty());
    EXPECT_EQ("GET", server_->requests().at(0).method);
    expect_requests(
        R"(get-version; login {"username": "admin", "password": "admin123", "source": "LOCAL"})");
    EXPECT_EQ("CloudTower/4.1.0", client_.version());
    ASSERT_FALSE(info.secure_token.empty());

    server_->clear_requests();
    ASSERT_TRUE(query_datacenters(&error_)) << error_.message;
    EXPECT_EQ("valid", server_->requests().at(0).auth);
    EXPECT_EQ("application/json; charset=utf-8", server_->requests()[0].headers.at("Content-Type"));
    EXPECT_FALSE(log.has("Failed")) << ::testing::PrintToString(log.texts());

    // A stored token is used without logging in, and trusted, not checked:
    // an expired one shows at the next request.
    const std::string token = server_->issue_token();
    info = login_info("not-the-password");
    info.secure_token = token.c_str();
    server_->clear_requests();
    ASSERT_TRUE(client_.login(info, &error_)) << error_.message;
    expect_requests("get-version");
    EXPECT_EQ(token, std::string(info.secure_token.c_str()));
    server_->expire_tokens();
    EXPECT_FALSE(query_datacenters(&error_));
    EXPECT_EQ(401, error_.status);
    EXPECT_EQ("Invalid token", error_.message);
}

// The version query, the login and the queries go over the one connection
// the client owns.
TEST_F(LoginTest, VersionQueryLoginAndQueriesShareOneConnection) {
    const size_t before = server_->connections();
    smartx::Login_Info info = login_info();
    ASSERT_TRUE(client_.login(info, &error_)) << error_.message;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(query_datacenters(&error_)) << error_.message;
    EXPECT_EQ(5u, server_->requests().size());
    EXPECT_EQ(1u, server_->connections() - before);
}

TEST_F(LoginTest, OldCloudTowerRefusesEveryRequestButTheVersionQuery) {
    server_->set_version("2.8.0");
    smartx::Login_Info info = login_info();
    EXPECT_FALSE(client_.login(info, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("Failed to generate SmartX request, type: 0, url: .", error_.message);
    EXPECT_TRUE(info.secure_token.empty());

    // With a token the login passes, and the first request fails unsent.
    info.secure_token = server_->issue_token().c_str();
    ASSERT_TRUE(client_.login(info, &error_)) << error_.message;
    EXPECT_EQ("CloudTower/2.8.0", client_.version());
    EXPECT_FALSE(query_datacenters(&error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("Failed to generate SmartX request, type: 3, url: .", error_.message);
    expect_requests("get-version; get-version");
}

TEST_F(LoginTest, VersionDetectionFailures) {
    // An empty version answer.
    server_->answer_raw("get-version", 200, "", "application/json", 1);
    smartx::Login_Info info = login_info();
    EXPECT_FALSE(client_.login(info, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());
    expect_requests("get-version");

    // No server.
    server_->stop();  // the port now refuses connections
    Log_Capture log;
    EXPECT_FALSE(client_.login(info, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("Failed to generate SmartX request, type: 23, url: .", error_.message);
    EXPECT_TRUE(log.has("Failed to connect to '127.0.0.1'\n"));
    EXPECT_EQ("", client_.version());

    // Without a record, each failure is logged and nothing is kept.
    log.clear();
    EXPECT_FALSE(client_.login(info));
    EXPECT_TRUE(log.has(
        "Failed to send SmartX request, type: 23, url: /v2/api/get-version, status: 200.\n"));
    EXPECT_TRUE(log.has("Failed to generate SmartX request, type: 23, url: .\n"));
    EXPECT_TRUE(client_.error_.empty());
}

TEST_F(LoginTest, RefusedLoginKeepsSecretsOutOfTheLog) {
    smartx::Login_Info info = login_info("wrong-pass-4711");
    Log_Capture log;
    EXPECT_FALSE(client_.login(info, &error_));
    EXPECT_EQ(400, error_.status);
    EXPECT_EQ("/v2/api/login", error_.path);
    EXPECT_FALSE(error_.message.empty());
    EXPECT_FALSE(client_.login(info));
    EXPECT_TRUE(log.has("Failed to send request, url: /v2/api/login, status: 400, details: "));

    // A successful login and a failed request: logged once, at error
    // priority, and forgotten; the token is in no line either.
    smartx::Login_Info good = login_info();
    ASSERT_TRUE(client_.login(good));
    server_->fail_path("get-datacenters", 401, "Token expired", 1);
    EXPECT_FALSE(query_datacenters(nullptr));
    EXPECT_EQ(LM_ERROR, log.lines().back().priority);
    EXPECT_EQ(
        "Failed to send request, url: /v2/api/get-datacenters, status: 401, details: Token "
        "expired.\n",
        log.lines().back().text);
    EXPECT_TRUE(client_.error_.empty());
    const std::string token(good.secure_token.c_str());
    size_t query_lines = 0;
    for (const auto& line : log.lines()) {
        query_lines += line.text.find("get-datacenters") != std::string::npos;
        for (const std::string& secret :
             {std::string("wrong-pass-4711"), std::string("admin123"), token})
            EXPECT_EQ(std::string::npos, line.text.find(secret)) << line.text;
    }
    EXPECT_EQ(1u, query_lines);
}

TEST_F(ErrorTest, CloudTowerErrorBodyIsTheRecord) {
    server_->fail_path(
        "get-datacenters", 409, "Resource is locked", 1,
        parse(R"({"props": {"resource_id": "r1"}, "stack": "Error: locked"})").get_obj());
    error_.op = "from an earlier failure";
    EXPECT_FALSE(query_datacenters(&error_));
    EXPECT_EQ(409, error_.status);
    EXPECT_EQ("Resource is locked", error_.message);
    EXPECT_EQ("/v2/api/get-datacenters", error_.path);
    EXPECT_EQ("Error: locked", error_.stack);
    EXPECT_EQ(parse(R"({"resource_id": "r1"})"), error_.props);
    EXPECT_EQ("", error_.op);
}

TEST_F(ErrorTest, AnswersThatAreNoRecordOrNoError) {
    const std::string url = "url: /v2/api/get-datacenters, status: ";
    auto raw = [&](int status, const char* body) {
        return [=] { server_->answer_raw("get-datacenters", status, body, "application/json", 1); };
    };
    struct Row {
        const char* what;
        std::function<void()> arm;
        int method;
        int status;
        std::string message;
    } rows[] = {
        {"HTML error page",
         [&] { server_->answer_raw("get-datacenters", 500, "<html>error</html>", "text/html", 1); },
         HTTP_METHOD_POST, 500, "Failed to generate SmartX error, type: 3, " + url + "500."},
        {"element missing a required key",
         raw(200, R"([{"id": "dc-1", "organization": {"id": "o1", "name": "o"}}])"),
         HTTP_METHOD_POST, 200, "Failed to generate SmartX response, type: 3, " + url + "200."},
        {"error body that says nothing",
         raw(500, R"({"status": 0, "path": "/v2/api/get-datacenters", "message": ""})"),
         HTTP_METHOD_POST, 500, "Failed to send SmartX request, type: 3, " + url + "500."},
        {"method the client does not send", [] {}, 5, -1,
         "Failed to send SmartX request, type: 3, url: /v2/api/get-datacenters, method: 5."},
        {"no answer at all", [&] { stop_server(); }, HTTP_METHOD_POST, -1,
         "Failed to send SmartX request, type: 3, " + url + "0."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.arm();
        error_.clear();
        EXPECT_FALSE(query_datacenters(&error_, row.method));
        EXPECT_EQ(row.status, error_.status);
        EXPECT_EQ(row.message, error_.message);
    }
}

TEST_F(ErrorTest, SingleRecordNotFoundIsLoggedWithoutARecord) {
    smartx::Label label;
    label.id = "untouched";
    smartx::Query_Params none;
    none.where("id", "no-such-label");
    Log_Capture log;
    EXPECT_FALSE(client_.send_sm_request_and_get_one(none, Message::QUERY_LABELS, label, nullptr,
                                                     HTTP_METHOD_POST));
    EXPECT_EQ("untouched", label.id);
    EXPECT_EQ(std::vector<std::string>{"Failed to send request, type 15, details: not found."},
              log.texts());
    EXPECT_TRUE(client_.error_.empty());
}

TEST(VersionRead, ReadsWhatIsBufferedUpTo64KiB) {
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
    EXPECT_TRUE(Open_Client::read_version_text(full, text));
    EXPECT_EQ(64u * 1024u, text.size());
    HTTP_Connection too_long(std::string(64 * 1024 + 1, '1'));
    text.clear();
    Log_Capture log;
    EXPECT_FALSE(Open_Client::read_version_text(too_long, text));
    EXPECT_EQ(1u, log.lines().size());
}

}  // namespace
}  // namespace rest_test
