// The HTTP rules of the simulated CloudTower: login, tokens, the version,
// malformed bodies and the request log.
#include "sim_test_support.h"

namespace ct_test {
namespace {

class ServerTest : public SimTest {};

TEST_F(ServerTest, BadLoginsAreRefusedWithAnErrorBody) {
    struct Row {
        const char* user;
        const char* password;
        const char* source;
    } rows[] = {{"admin", "wrong", "LOCAL"},
                {"nobody", "admin123", "LOCAL"},
                {"admin", "admin123", "LDAP"},
                {"admin", nullptr, "LOCAL"},
                {"admin", "admin123", "SOMEWHERE"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.user) + "/" + row.source);
        Object body{{"username", Value(row.user)}, {"source", Value(row.source)}};
        if (row.password)
            body["password"] = row.password;
        Reply r = post_as("login", body, nullptr);
        expect_error(r, 400, "login");
        EXPECT_TRUE(member(r.json, "data").is_null());
    }
    EXPECT_EQ(400, exchange("POST", "/v2/api/login", "{not json", nullptr).status);
}

TEST_F(ServerTest, TokenMustBeBareKnownAndUnexpired) {
    const std::string bearer = "Bearer " + token_;
    const std::string wrong = token_ + "x";
    const std::string empty;
    struct Row {
        const char* what;
        const std::string* token;
        const char* path;
    } rows[] = {{"no header", nullptr, "get-vms"}, {"bearer", &bearer, "get-vms"},
                {"unknown", &wrong, "get-vms"},    {"empty", &empty, "get-vms"},
                {"mutation", nullptr, "start-vm"}, {"my info", nullptr, "get-my-info"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        expect_error(post_as(row.path, where_id("x"), row.token), 401, row.path);
    }
    EXPECT_EQ(200, post("get-vms", Object()).status);

    server_->expire_tokens();
    EXPECT_EQ(401, post("get-vms", Object()).status);
    std::string fresh = server_->issue_token();
    EXPECT_EQ(200, post_as("get-vms", Object(), &fresh).status);

    expect_error(post_as("get-everything", Object(), &fresh), 404, "get-everything");
}

TEST_F(ServerTest, MyInfoIsTheLoggedInUser) {
    Value me = post("get-my-info", Object()).json;
    EXPECT_EQ("admin", str(me, "username"));
    EXPECT_EQ(fixture_id("users", "Administrator"), str(me, "id"));

    // Every login gets a token of its own; older ones stay valid.
    std::string again = login("admin", "admin123");
    EXPECT_NE(again, token_);
    EXPECT_EQ(200, post_as("get-clusters", Object(), &token_).status);

    server_->set_credentials("ops", "0ps-secret");
    EXPECT_TRUE(login("admin", "admin123").empty());
    std::string ops = login("ops", "0ps-secret");
    ASSERT_FALSE(ops.empty());
    Reply r = post_as("get-my-info", Object(), &ops);
    EXPECT_EQ("ops", str(r.json, "username"));
    ASSERT_EQ(json_spirit::array_type, member(r.json, "roles").type());
    EXPECT_EQ(1u, member(r.json, "roles").get_array().size());
}

TEST_F(ServerTest, RequestLogKeepsEverythingButTheToken) {
    server_->clear_requests();
    Object body = where_id("some-id");
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
    EXPECT_EQ("<hidden>", log[1].headers.at("Authorization"));
    EXPECT_EQ("none", log[2].auth);
    EXPECT_EQ(0u, log[2].headers.count("Authorization"));
}

TEST_F(ServerTest, MalformedBodiesAnswerBadRequest) {
    for (const char* text :
         {R"({"where": {"id_in": "x"}})", R"({"first": -5})", R"({"wherever": {}})", "{oops"}) {
        SCOPED_TRACE(text);
        expect_error(exchange("POST", "/v2/api/get-vms", text, &token_), 400, "get-vms");
    }
    // An empty body is an empty query.
    EXPECT_EQ(200, exchange("POST", "/v2/api/get-vms", "", &token_).status);
    // The module asks get-data-stores; CloudTower 4.1.0 publishes the same
    // records as get-elf-data-stores. Both are served.
    EXPECT_EQ(3u, list("get-data-stores").size());
    EXPECT_EQ(3u, list("get-elf-data-stores").size());
}

}  // namespace
}  // namespace ct_test
