// The console's handlers as a console meets them: the websvcs-agent program
// over loopback, with the backup server and CloudTower simulators in this
// process.
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "host/json_spirit/json_io.h"
#include "sim/backup_server/backup_server.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "smartx/websvcs_agent/list_handler.h"
#include "smartx/websvcs_agent/login_handler.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/host_settings.h"
#include "world/sim_process.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

const char* const PASSWORD = "admin123";

class WebsvcsAgent : public ::testing::Test {
protected:
    void SetUp() override {
        backupd_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(backupd_->start());
        write_host_settings(root_.path(), backupd_->port());
        sim::cloudtower::Options o;
        o.inventory_file = std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower/inventory.json";
        o.store_dir = root_.file("store");
        o.password = PASSWORD;
        tower_.reset(new sim::cloudtower::Server(o));
        std::string error;
        ASSERT_TRUE(tower_->start(&error)) << error;
        for (auto [uuid, port, password] : {std::make_tuple("inst-ok", tower_->port(), PASSWORD),
                                            std::make_tuple("inst-bad", tower_->port(), "wrong"),
                                            std::make_tuple("inst-big-port", 70000, PASSWORD)})
            backupd_->add_instance(
                sim::Instance_Login{uuid, "127.0.0.1", port, false, "admin", password, ""});
        agent_.reset(new world::Sim_Process(
            "websvcs-agent",
            {WEBSVCS_AGENT_PATH, "--module", SMARTX_MODULE_PATH, "--max-request", "65536",
             "--list-arg", "--zbs-timeout", "--list-arg", "5000", "--list-arg", "-r", "--list-arg",
             "7", "--list-arg", "-x"},
            root_.path()));
        port_ = agent_->wait_for_port();
    }

    // The agent ends cleanly: no sanitizer report (leak, race, undefined
    // behaviour) in its log.
    void TearDown() override {
        if (!agent_)
            return;
        agent_->stop();
        const std::string log = agent_log();
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }

    // The HTTP status unless 200, then the error's code and message, or the
    // result as text (a login's token taken out into token_).
    std::string post(const std::string& body, httplib::Client* client = nullptr) {
        httplib::Client own("127.0.0.1", port_);
        httplib::Client& c = client ? *client : own;
        c.set_read_timeout(120, 0);
        auto res = c.Post("/jsonrpc", body, "application/json");
        if (!res)
            return "no answer";
        const std::string status = res->status == 200 ? "" : std::to_string(res->status) + " ";
        Value answer;
        if (!json_spirit::read(res->body, answer) || answer.type() != json_spirit::obj_type)
            return status + res->body;
        const Object& o = answer.get_obj();
        if (const Object* e = json_spirit::object_get_object(o, "error"))
            return status + json_spirit::write(e->at("code")) + " " + e->at("message").get_str();
        Value result = o.at("result");
        if (result.type() == json_spirit::obj_type && result.get_obj().count("token")) {
            if (!client)
                token_ = result.get_obj().at("token").get_str();
            result.get_obj().erase("token");
        }
        return status + json_spirit::write(result);
    }

    // params: JSON text.
    std::string call(const std::string& method, const std::string& params,
                     httplib::Client* client = nullptr) {
        return post(
            R"({"jsonrpc":"2.0","id":7,"method":")" + method + R"(","params":)" + params + "}",
            client);
    }
    std::string call(const std::string& method, const Object& params) {
        return call(method, json_spirit::write(Value(params)));
    }

    std::string id_of(const char* kind, const std::string& name) const {
        for (const Value& r : tower_->records(kind))
            if (r.get_obj().at("name").get_str() == name)
                return r.get_obj().at("id").get_str();
        ADD_FAILURE() << "no " << kind << " named " << name;
        return "";
    }

    // A login record as the console sends it: the password encrypted for
    // this host, unless told otherwise.
    static Object login(const std::string& password, int port, bool encrypt = true) {
        std::string pw = password;
        EXPECT_TRUE(!encrypt || rsa_encrypt_to_base64(test_host_keys().public_pem, password, pw));
        return Object{{"host", Value("127.0.0.1")},
                      {"port", Value(port)},
                      {"ssl", Value(false)},
                      {"username", Value("admin")},
                      {"password", Value(pw)}};
    }

    // The login user gets exactly these roles: {preset, actions}.
    void set_roles(const std::vector<std::pair<const char*, Array>>& roles) {
        Array records, refs;
        for (const auto& [preset, actions] : roles) {
            const std::string id = "role-" + std::to_string(refs.size());
            Object role{{"id", Value(id)}, {"name", Value(id)}, {"preset", Value(preset)}};
            role["platform"] = "MANAGEMENT";
            role["actions"] = actions;
            records.push_back(role);
            refs.push_back(Object{{"id", Value(id)}, {"name", Value(id)}});
        }
        Object admin;
        ASSERT_TRUE(tower_->record("users", id_of("users", "Administrator"), admin));
        admin["roles"] = refs;
        ASSERT_TRUE(records.empty() || tower_->put_records("user_roles", records));
        ASSERT_TRUE(tower_->put_records("users", Array{Value(admin)}));
    }

    std::string agent_log() const { return root_.text("websvcs-agent.err"); }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> backupd_;
    std::unique_ptr<sim::cloudtower::Server> tower_;
    std::unique_ptr<world::Sim_Process> agent_;
    int port_ = 0;
    std::string token_;
};

TEST_F(WebsvcsAgent, ListErrorsComeInTheOrderOfChecks) {
    const std::string p = "-32602 Invalid params: ", i = "-32603 Internal error: ";
    const std::string ok = R"({"uuid":"inst-ok","subtype":)";
    const struct {
        std::string params;
        std::string expected;
    } cases[] = {
        {"[1]", p + "params type must be object."},
        {R"({"uuid":3})", p + "'uuid' is expected as string in params."},
        {R"({"uuid":"inst-ok"})", p + "'subtype' is expected as string in params."},
        {R"({"uuid":"nobody","subtype":"x"})", i + "failed to get login info."},
        {R"({"uuid":"inst-big-port","subtype":"x"})", i + "failed to get login info."},
        {R"({"uuid":"inst-bad","subtype":"x"})",
         i + "failed to login smartx, details: Invalid username or password"},
        {ok + R"("Inventory","view":"hosts","type":"","moid":""})", p + "'subtype' is invalid."},
        {ok + R"("inventory","type":"","moid":""})", p + "'view' is expected as string in params."},
        {ok + R"("inventory","view":"","type":1,"moid":""})",
         p + "'type' is expected as string in params."},
        {ok + R"("inventory","view":"","type":""})", p + "'moid' is expected as string in params."},
        {ok + R"("inventory","view":"","type":"VirtualMachine","moid":""})",
         i + "failed to list items."},
        {ok + R"("verify_vms","vms":{}})", p + "'vms' is expected as array in params."},
        {ok + R"("verify_vms","vms":[{"vm_name":"a"}]})", i + "failed to verify vms."},
        {ok + R"("search","search_type":"Cluster","name":""})",
         p + "'view' is expected as string in params."},
        {ok + R"("search","view":"","search_type":2,"name":""})",
         p + "'search_type' is expected as string in params."},
        {ok + R"("search","view":"","search_type":"Cluster"})",
         p + "'name' is expected as string in params."},
        {ok + R"("search","view":"","search_type":"Hardware","name":""})",
         i + "failed to search items."},
        {ok + R"("disk"})", p + "'moid' is expected as string in params."},
        {ok + R"("disk","moid":"no-such-vm"})", i + "failed to list disks."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        EXPECT_EQ(call("smartx.list", c.params), c.expected);
    }
    // Console mistakes are errors, not emergencies; the ZBS options applied
    // and the unknown one was skipped.
    const std::string log = agent_log();
    for (const char* line : {"LM_ERROR@SmartX list request answered -32602: Invalid params: 'uuid'",
                             "Zbs timeout: 5000ms,\nZbs initial interval: 1s,\n", "Zbs retries: 7.",
                             "LM_ERROR@Unkown Smartx connect param -?.\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find("LM_EMERGENCY"), std::string::npos) << log;
}

TEST_F(WebsvcsAgent, LoginTestChecksRecordPasswordLoginAndRoles) {
    const int port = tower_->port();
    const Object ok = login(PASSWORD, port);
    Object no_password = ok;
    no_password.erase("password");
    const Array all{Value("*")}, some{Value("VIEW_RESOURCE"), Value("MANAGE_VM")};
    const std::string failed = "-32603 Failed to ";
    const std::string no_role = failed + "check SmartX user, details: not has valid role.\n";
    const std::string passed =
        R"({"code":0,"message":"Success to login SmartX","version":"CloudTower/4.1.0"})";
    const struct {
        Object params;
        std::vector<std::pair<const char*, Array>> roles;  // none: the fixture's ROOT user
        std::string expected;
    } cases[] = {
        {no_password, {}, failed + "parse and decrypt login info."},
        {login(PASSWORD, 65536 + port), {}, failed + "parse and decrypt login info."},
        {login(PASSWORD, port, false), {}, failed + "decrypt the password."},
        {login("", port, false), {}, failed + "decrypt the password."},
        {login("admin124", port),
         {},
         failed + "login SmartX, details: Invalid username or password"},
        {ok, {}, passed},
        {ok, {{"AUDITOR", some}}, no_role},
        {ok, {{"READ_ONLY", some}, {"AUDITOR", some}}, no_role},
        {ok, {{"USER_ADMIN", some}}, no_role},
        {ok, {{"ADMIN", some}}, passed},
        {ok, {{"ROOT", Array()}}, passed},
        {ok, {{"USER_ADMIN", all}}, passed},
        {ok, {{"READ_ONLY", some}, {"ADMIN", some}}, passed},
    };
    EXPECT_EQ(call("smartx.login", "[]"), "-32602 Invalid params");
    std::vector<std::string> tokens;
    for (const auto& c : cases) {
        SCOPED_TRACE(json_spirit::write(Value(c.params)) + " " + c.expected);
        if (!c.roles.empty())
            set_roles(c.roles);
        token_.clear();
        EXPECT_EQ(call("smartx.login", c.params), c.expected);
        EXPECT_EQ(token_.empty(), c.expected != passed);
        tokens.push_back(token_);
    }
    set_roles({});
    EXPECT_EQ(call("smartx.login", ok), no_role);
    tower_->fail_path("get-my-info", 500, "user store down", 1);
    EXPECT_EQ(call("smartx.login", ok), failed + "check SmartX user, details: user store down");
    // Neither the password nor a token the logins got reaches the log.
    const std::string log = agent_log();
    EXPECT_EQ(log.find(PASSWORD), std::string::npos) << log;
    for (const std::string& t : tokens)
        EXPECT_TRUE(t.empty() || log.find(t) == std::string::npos) << log;
}

TEST_F(WebsvcsAgent, RequestsItCannotTakeGetJsonRpcErrors) {
    const std::string deep = std::string(20000, '[') + std::string(20000, ']');
    const std::string head = R"({"jsonrpc":"2.0","id":1,"method":)";
    const struct {
        std::string body;
        std::string expected;
    } cases[] = {
        {deep, "-32700 Parse error"},
        {head + R"("smartx.list","params":)" + deep + "}", "-32700 Parse error"},
        {head + R"("smartx.list","params":{"x":")" + std::string(70000, 'a') + R"("}})",
         "413 -32600 Invalid Request: larger than 65536 bytes"},
        {head, "-32700 Parse error"},
        {R"({"jsonrpc":"2.0","id":1,"result":0})", "-32600 Invalid Request"},
        // An id beyond a double has no text to be answered with.
        {R"({"jsonrpc":"2.0","id":51e999,"method":"smartx.login","params":{}})",
         "-32600 Invalid Request"},
        {"[" + head + R"("smartx.instances"}])", "-32600 Invalid Request"},
        {head + R"("smartx.nothing"})", "-32601 Method not found"},
        {head + R"("smartx.instances"})",
         R"({"SmartX_Proxy":{"name":"SmartX_Proxy","options":{"is_proxy":true},"type":"smartx"}})"},
        {head + R"("smartx.instance.state","params":{"name":"other"}})",
         R"({"name":"other","state":"enabled"})"},
        {R"({"jsonrpc":"2.0","method":"smartx.list","params":{}})", "204 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 80));
        EXPECT_EQ(post(c.body), c.expected);
    }
}

// Each call logs in on a connection of its own, over which its version
// query, login and queries go; the agent's connection to the backup server
// stays open from one call to the next, and is made again when the server
// dropped it.
TEST_F(WebsvcsAgent, EachCallHasOneCloudTowerConnectionAndTheBackupServerOneIsKept) {
    const std::string params = R"({"uuid":"inst-ok","subtype":"inventory","view":"hosts",)"
                               R"("type":"","moid":""})";
    const size_t tower = tower_->connections(), backupd = backupd_->connections();
    const std::string first = call("smartx.list", params);
    EXPECT_NE(first.find("dc-hangzhou"), std::string::npos) << first;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(first, call("smartx.list", params));
    EXPECT_EQ(4u, tower_->connections() - tower);
    EXPECT_EQ(1u, backupd_->connections() - backupd);

    backupd_->stop();
    ASSERT_TRUE(backupd_->start(backupd_->port()));
    EXPECT_EQ(first, call("smartx.list", params));
    EXPECT_EQ(2u, backupd_->connections() - backupd);
}

TEST_F(WebsvcsAgent, ConcurrentBrowsesAllAnswerCompletely) {
    const auto browse = [](const char* view, const char* type, const std::string& moid) {
        return R"({"uuid":"inst-ok","subtype":"inventory","view":")" + std::string(view) +
               R"(","type":")" + type + R"(","moid":")" + moid + R"("})";
    };
    const std::string cluster = id_of("clusters", "cluster-hz-01");
    const struct {
        std::string params;
        std::vector<const char*> names;
    } steps[] = {
        {browse("hosts", "", ""), {"dc-hangzhou"}},
        {browse("hosts", "Datacenter", id_of("datacenters", "dc-hangzhou")),
         {"cluster-hz-01", "cluster-hz-02"}},
        {browse("hosts", "Cluster", cluster), {"node-hz01-01", "node-hz01-02"}},
        {browse("recovery", "Cluster", cluster), {"node-hz01-01", "node-hz01-02", "cpu_hz"}},
    };
    // Each answer once on its own, then many at once from several clients.
    const size_t n = std::size(steps);
    std::vector<std::string> expected;
    for (const auto& s : steps) {
        expected.push_back(call("smartx.list", s.params));
        for (const char* name : s.names)
            EXPECT_NE(expected.back().find(name), std::string::npos) << expected.back();
    }
    const int clients = 6, rounds = 8;
    std::vector<std::vector<std::string>> got(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port_);
            for (size_t i = 0; i < rounds * n; ++i)
                got[c].push_back(call("smartx.list", steps[(i + c) % n].params, &client));
        });
    for (std::thread& t : threads)
        t.join();
    for (int c = 0; c < clients; ++c)
        for (size_t i = 0; i < got[c].size(); ++i)
            EXPECT_EQ(got[c][i], expected[(i + c) % n]) << "client " << c << ", call " << i;
}

}  // namespace

namespace {

// A handler given no channel cannot answer: a broken invariant of its host.
TEST(ConsoleHandlers, NoChannelIsAnInvariantFailure) {
    smartx::JSON_RPC_SmartX_List_Handler list;
    smartx::JSON_RPC_SmartX_Login_Handler login;
    for (JSON_RPC_Thread_Pool_Handler_Impl* handler :
         std::initializer_list<JSON_RPC_Thread_Pool_Handler_Impl*>{&list, &login}) {
        JSON_RPC_Request request("smartx.list", Value(Object()), Value(1));
        Log_Capture log;
        EXPECT_EQ(handler->handle_request(nullptr, request), -1);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].priority, LM_EMERGENCY);
        EXPECT_TRUE(log.has(", channel is NULL:\n")) << log.texts()[0];
    }
}

}  // namespace
