// The catalog operators against the simulated backup server, whose catalog
// lives in an SQLite file.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "host/backup_set_sample.h"
#include "host/catalog.h"
#include "host/json_spirit/json_io.h"
#include "sim/backup_server/backup_server.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

SmartX_Backup_Set make_set(const std::string& uuid, const std::string& vm_id,
                           const std::string& base = "") {
    SmartX_Backup_Set s = sample_backup_set();
    s.uuid = uuid;
    s.vm_id = vm_id;
    s.type = base.empty() ? "full" : "incremental";
    s.base_sets.assign(base.empty() ? 0 : 1, base);
    return s;
}

std::vector<std::string> uuids(const Value& rows) {
    std::vector<std::string> out;
    for (const Value& r : rows.get_array())
        out.push_back(json_spirit::object_get_str_or_throw(r.get_obj(), "uuid"));
    return out;
}

class Catalog : public ::testing::Test {
protected:
    void SetUp() override { restart(); }

    // A new server process over the same catalog file, on a new port.
    void restart() {
        server_.reset();
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        std::string error;
        ASSERT_TRUE(server_->open_catalog(root_.file("catalog.db"), &error)) << error;
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
    }

    Value view(const char* name, const Object& filter = Object()) {
        Value out;
        EXPECT_TRUE(Catalog_Operator(-1, -1).get_view("smartx", name, filter, out)) << name;
        return out;
    }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(Catalog, CommittedSetsSurviveARestartInCommitOrderAndAreReplacedOnlyWhenAsked) {
    SmartX_Backup_Set c1 = make_set("c-1", "vm-1");
    {
        Catalog_Operator op(-1, -1);
        // Uuids out of alphabetical order: the order must be the commit order.
        for (auto s : {c1, make_set("a-2", "vm-2"), make_set("b-3", "vm-1", "c-1")})
            ASSERT_TRUE(op.commit(s, false));
        c1.name = "renamed";
        EXPECT_FALSE(op.commit(c1, false));  // a duplicate uuid
        ASSERT_TRUE(op.commit(c1, true));    // in place
    }  // its kept-alive connection would hold the server's stop
    restart();
    EXPECT_EQ((std::vector<std::string>{"c-1", "b-3"}),
              uuids(view("base_catalog",
                         Object{{"resource_uuid", Value("res-1")}, {"vm_id", Value("vm-1")}})));
    EXPECT_EQ((std::vector<std::string>{"c-1", "a-2", "b-3"}), uuids(view("catalogs")));

    // The row reads back as the set that was committed last.
    Value one = view("catalogs", Object{{"uuid", Value("c-1")}, {"limit", Value(1)}});
    ASSERT_EQ(1u, one.get_array().size());
    SmartX_Backup_Set back;
    std::string why;
    ASSERT_TRUE(back.load(one.get_array()[0].get_obj(), &why)) << why;
    EXPECT_EQ(c1.dump(), back.dump());
}

TEST_F(Catalog, RestoreViewGivesTheChainOfASetOldestFirstOrFails) {
    Catalog_Operator op(-1, -1);
    for (auto s :
         {make_set("f1", "vm-1"), make_set("i1", "vm-1", "f1"), make_set("lost", "vm-1", "gone")})
        ASSERT_TRUE(op.commit(s, false));
    EXPECT_EQ((std::vector<std::string>{"f1", "i1"}),
              uuids(view("restore", Object{{"uuid", Value("i1")}})));
    Value out;
    // Its base is missing; no such view; a view name that is a path.
    for (const char* name : {"restore", "no_such_view", "../escape"})
        EXPECT_FALSE(op.get_view("smartx", name, Object{{"uuid", Value("lost")}}, out)) << name;
}

TEST_F(Catalog, ServerFailuresAreRetriedAsToldAndRefusalsAreNot) {
    SmartX_Backup_Set s = make_set("r-1", "vm-1");
    server_->fail_catalog(1, 503);
    EXPECT_FALSE(Catalog_Operator(-1, -1).commit(s, true));  // one attempt only
    server_->fail_catalog(1, 503);
    EXPECT_TRUE(Catalog_Operator(2, -1).commit(s, true));

    // A refusal is final: of two armed refusals the first operator meets one.
    server_->fail_catalog(2, 409);
    Value out;
    EXPECT_FALSE(Catalog_Operator(3, 60).get_view("smartx", "catalogs", Object(), out));
    EXPECT_FALSE(Catalog_Operator(-1, -1).get_view("smartx", "catalogs", Object(), out));
    EXPECT_TRUE(Catalog_Operator(-1, -1).get_view("smartx", "catalogs", Object(), out));
    EXPECT_EQ(1u, server_->catalog_rows("smartx").size());
}

TEST_F(Catalog, ARefusedKeyOrAnUnreachableServerFailsWithoutHanging) {
    server_->set_access_key("test-access-key");  // the one the host settings hold
    view("catalogs");
    RESTful_Catalog_Operator wrong("127.0.0.1", static_cast<uint16_t>(server_->port()), false,
                                   secure_string("other"), 3, -1);
    Value out;
    EXPECT_FALSE(wrong.get_view("smartx", "catalogs", Object(), out));
    EXPECT_FALSE(wrong.commit(make_set("k-1", "vm-1"), true));
    EXPECT_TRUE(server_->catalog_rows("smartx").empty());
    const int port = server_->port();
    server_.reset();
    RESTful_Catalog_Operator op("127.0.0.1", static_cast<uint16_t>(port), false, secure_string(),
                                -1, -1);
    op.set_timeouts(2000, 5000);
    EXPECT_FALSE(op.get_view("smartx", "catalogs", Object(), out));
    EXPECT_FALSE(RESTful_Catalog_Operator("", 0, false, secure_string(), 1, 1)
                     .commit(make_set("x", "vm"), true));
}

// A commit to a server that cannot be reached was never sent; a look-up
// answers only from the filtered list, and a failed one says nothing.
TEST_F(Catalog, UnsentCommitsAreNotCommittedAndLookUpsFindOnlyTheirSet) {
    using Answer = sim::Backup_Server::Commit_Answer;
    using Op = RESTful_Catalog_Operator;
    // Nothing there to connect to: nothing was sent.
    const int port = server_->port();
    server_->stop();
    RESTful_Catalog_Operator gone("127.0.0.1", static_cast<uint16_t>(port), false, secure_string(),
                                  1, -1);
    EXPECT_EQ(gone.commit_set(make_set("unsent", "vm-1"), true), Op::NOT_COMMITTED);
    bool found = true;
    EXPECT_FALSE(gone.find_set("smartx", "unsent", found));
    EXPECT_FALSE(found);
    ASSERT_TRUE(server_->start(port));
    // A look-up that fails says nothing; one that lists others says nothing
    // either.
    server_->fault_commits(1, true, Answer::CUT_OFF);
    server_->fail_views_after_commit(1, 400);
    Catalog_Operator op(-1, -1);
    EXPECT_EQ(op.commit_set(make_set("unheard", "vm-1"), true), Op::UNSETTLED);
    EXPECT_FALSE(op.find_set("smartx", "unheard", found));
    server_->set_view_override(R"([{"uuid": "other"}, {"uuid": "another"}])");
    EXPECT_FALSE(op.find_set("smartx", "unheard-of", found));
    EXPECT_FALSE(found);
    EXPECT_TRUE(op.find_set("smartx", "unheard", found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(op.find_set("smartx", "unheard-of", found));
    EXPECT_FALSE(found);
}

// What a look-up answer proves: the set when every row names it, its
// absence when the list is empty, and nothing when any row is not the
// set's (a server that ignored the filter) or does not name it as text.
TEST_F(Catalog, OnlyTheFilteredListSaysWhetherASetIsThere) {
    enum Proof { LISTED, ABSENT, NOTHING };
    const struct {
        const char* answer;
        Proof proof;
    } cases[] = {
        {R"([{"uuid": "s-1", "vm_id": "vm-1"}])", LISTED},
        {R"([{"uuid": "s-1"}, {"uuid": "s-1"}])", LISTED},
        {"[]", ABSENT},
        {R"([{"uuid": "s-0"}, {"uuid": "s-1"}])", NOTHING},
        {R"([{"uuid": "s-0"}, {"uuid": "s-2"}])", NOTHING},
        {R"([{"uuid": 5}])", NOTHING},
        {R"([{"uuid": ["s-1"]}])", NOTHING},
        {R"([{"vm_id": "vm-1"}])", NOTHING},
        {R"(["s-1"])", NOTHING},
        {R"([null])", NOTHING},
        {R"({"uuid": "s-1"})", NOTHING},
        {R"({"rows": [{"uuid": "s-1"}]})", NOTHING},
        {"42", NOTHING},
    };
    Catalog_Operator op(-1, -1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        server_->set_view_override(c.answer);
        bool found = c.proof != LISTED;
        EXPECT_EQ(op.find_set("smartx", "s-1", found), c.proof != NOTHING);
        EXPECT_EQ(found, c.proof == LISTED);
    }
}

// Only the catalog's answer naming the set makes a commit: any other 2xx
// answer (a proxy's page, an empty or foreign body) leaves it unsettled. A
// refusal settles it only when no earlier attempt may have been recorded.
TEST(CatalogCommit, ASuccessStatusAloneIsNotACommit) {
    using Op = RESTful_Catalog_Operator;
    struct Answer {
        int status;
        const char* body;
    };
    const struct {
        std::vector<Answer> answers;  // one per attempt
        Op::Commit_Outcome outcome;
    } cases[] = {
        {{{201, R"({"uuid":"s-1"})"}}, Op::COMMITTED},
        {{{200, R"({"uuid":"s-1","replaced":true})"}}, Op::COMMITTED},
        {{{200, "<html><body>OK</body></html>"}}, Op::UNSETTLED},
        {{{200, ""}}, Op::UNSETTLED},
        {{{200, "{}"}}, Op::UNSETTLED},
        {{{200, R"({"uuid":"s-2"})"}}, Op::UNSETTLED},
        {{{200, R"({"uuid":1})"}}, Op::UNSETTLED},
        {{{201, R"(["s-1"])"}}, Op::UNSETTLED},
        {{{204, ""}}, Op::UNSETTLED},
        {{{409, R"({"message":"no"})"}}, Op::NOT_COMMITTED},
        {{{503, "{}"}, {409, R"({"message":"no"})"}}, Op::UNSETTLED},
        {{{503, "{}"}, {201, R"({"uuid":"s-1"})"}}, Op::COMMITTED},
    };
    httplib::Server stray;
    std::atomic<size_t> row{0};
    std::atomic<size_t> attempt{0};
    stray.Post(".*", [&](const httplib::Request&, httplib::Response& res) {
        const Answer& a = cases[row].answers.at(attempt++);
        res.status = a.status;
        res.set_content(a.body, "application/json");
    });
    const int port = stray.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { stray.listen_after_bind(); });
    for (row = 0; row < sizeof cases / sizeof cases[0]; ++row) {
        SCOPED_TRACE(cases[row].answers.back().body);
        attempt = 0;
        RESTful_Catalog_Operator op("127.0.0.1", static_cast<uint16_t>(port), false,
                                    secure_string(), 3, 10);
        EXPECT_EQ(op.commit_set(make_set("s-1", "vm-1"), true), cases[row].outcome);
        EXPECT_EQ(attempt, cases[row].answers.size());
    }
    stray.stop();
    serving.join();
}

}  // namespace
