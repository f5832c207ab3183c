// Login, token and version rules of the simulated CloudTower.
#include "sim_test_support.h"

namespace ct_test {
namespace {

class Auth_Test : public Sim_Test {};

TEST_F(Auth_Test, VersionIsAQuotedJsonStringWithoutLogin) {
    Reply r = exchange("GET", "/v2/api/get-version", "", nullptr);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("\"4.1.0\"", r.body);  // read raw by the client: the quotes are part of it
    EXPECT_EQ(0u, r.content_type.find("application/json"));

    server_->set_version("3.4.2");
    EXPECT_EQ("\"3.4.2\"", exchange("GET", "/v2/api/get-version", "", nullptr).body);
    // Only GET serves it.
    EXPECT_EQ(404, exchange("POST", "/v2/api/get-version", "{}", &token_).status);
}

TEST_F(Auth_Test, LoginAnswersATokenInData) {
    Object body;
    body["username"] = "admin";
    body["password"] = "admin123";
    body["source"] = "LOCAL";
    Reply r = post_as("login", body, nullptr);
    ASSERT_EQ(200, r.status) << r.body;
    EXPECT_TRUE(member(r.json, "task_id").is_null());
    std::string token = str(member(r.json, "data"), "token");
    EXPECT_FALSE(token.empty());
    // Every login gets a token of its own; older ones stay valid.
    EXPECT_NE(token, token_);
    EXPECT_EQ(200, post_as("get-clusters", Object(), &token).status);
    EXPECT_EQ(200, post_as("get-clusters", Object(), &token_).status);
}

TEST_F(Auth_Test, BadLoginsAreRefusedWithAnErrorBody) {
    struct Case {
        const char* user;
        const char* password;
        const char* source;
    } cases[] = {{"admin", "wrong", "LOCAL"},
                 {"nobody", "admin123", "LOCAL"},
                 {"admin", "admin123", "LDAP"},
                 {"admin", nullptr, "LOCAL"},
                 {"admin", "admin123", "SOMEWHERE"}};
    for (const Case& c : cases) {
        Object body;
        body["username"] = c.user;
        if (c.password)
            body["password"] = c.password;
        body["source"] = c.source;
        Reply r = post_as("login", body, nullptr);
        EXPECT_EQ(400, r.status) << c.user << "/" << c.source;
        EXPECT_EQ(400, member(r.json, "status").get_int());
        EXPECT_EQ("/v2/api/login", str(r.json, "path"));
        EXPECT_FALSE(str(r.json, "message").empty());
        EXPECT_TRUE(member(r.json, "data").is_null());
    }
    EXPECT_EQ(400, exchange("POST", "/v2/api/login", "{not json", nullptr).status);
}

TEST_F(Auth_Test, TokenMustBeBareAndKnown) {
    const std::string bearer = "Bearer " + token_;
    const std::string wrong = token_ + "x";
    const std::string empty;
    for (const std::string* token :
         {static_cast<const std::string*>(nullptr), &bearer, &wrong, &empty}) {
        Reply r = post_as("get-vms", Object(), token);
        EXPECT_EQ(401, r.status) << (token ? *token : "no header");
        EXPECT_EQ(401, member(r.json, "status").get_int());
        EXPECT_EQ("/v2/api/get-vms", str(r.json, "path"));
        EXPECT_FALSE(str(r.json, "message").empty());
    }
    EXPECT_EQ(200, post("get-vms", Object()).status);
    // Mutations and get-my-info need it too.
    EXPECT_EQ(401, post_as("start-vm", where_id("x"), nullptr).status);
    EXPECT_EQ(401, post_as("get-my-info", Object(), nullptr).status);
}

TEST_F(Auth_Test, ExpiredTokensAreRefused) {
    server_->expire_tokens();
    EXPECT_EQ(401, post("get-vms", Object()).status);
    std::string fresh = server_->issue_token();
    EXPECT_EQ(200, post_as("get-vms", Object(), &fresh).status);
}

TEST_F(Auth_Test, MyInfoIsTheLoggedInUser) {
    Value me = ok("get-my-info", Object());
    EXPECT_EQ("admin", str(me, "username"));
    EXPECT_EQ(fixture_record("users", "Administrator").at("id").get_str(), str(me, "id"));

    server_->set_credentials("ops", "0ps-secret");
    EXPECT_TRUE(login("admin", "admin123").empty());
    std::string ops = login("ops", "0ps-secret");
    ASSERT_FALSE(ops.empty());
    Reply r = post_as("get-my-info", Object(), &ops);
    EXPECT_EQ("ops", str(r.json, "username"));
    ASSERT_EQ(json_spirit::array_type, member(r.json, "roles").type());
    EXPECT_EQ(1u, member(r.json, "roles").get_array().size());

    // A login the inventory does not list still has a user record.
    server_->set_credentials("guest", "pw");
    std::string guest = login("guest", "pw");
    r = post_as("get-my-info", Object(), &guest);
    EXPECT_EQ("guest", str(r.json, "username"));
    EXPECT_FALSE(str(r.json, "id").empty());
}

TEST_F(Auth_Test, RequestLogKeepsEverythingButTheToken) {
    server_->clear_requests();
    Object body;
    body["where"] = where_id("some-id").at("where");
    post("get-vms", body);
    const std::string bearer = "Bearer " + token_;
    post_as("get-hosts", Object(), &bearer);
    post_as("get-hosts", Object(), nullptr);

    std::vector<sim::cloudtower::Logged_Request> log = server_->requests();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("POST", log[0].method);
    EXPECT_EQ("/v2/api/get-vms", log[0].path);
    EXPECT_EQ(json_spirit::write(body), log[0].body);
    EXPECT_EQ("valid", log[0].auth);
    EXPECT_EQ("<hidden>", log[0].headers.at("Authorization"));
    EXPECT_EQ("application/json", log[0].headers.at("Content-Type"));
    EXPECT_EQ("bearer", log[1].auth);
    EXPECT_EQ("none", log[2].auth);
    EXPECT_EQ(0u, log[2].headers.count("Authorization"));
    for (const auto& entry : log) {
        for (const auto& h : entry.headers)
            EXPECT_EQ(std::string::npos, h.second.find(token_));
        EXPECT_EQ(std::string::npos, entry.body.find(token_));
    }
}

TEST_F(Auth_Test, UnknownPathsAnswerNotFound) {
    Reply r = post("get-everything", Object());
    EXPECT_EQ(404, r.status);
    EXPECT_EQ(404, member(r.json, "status").get_int());
    EXPECT_EQ("/v2/api/get-everything", str(r.json, "path"));
}

}  // namespace
}  // namespace ct_test
