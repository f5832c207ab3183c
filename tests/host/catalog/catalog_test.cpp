// The catalog operators against the simulated backup server, whose catalog
// lives in an SQLite file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/catalog.h"
#include "host/curl_transfer.h"
#include "host/json_spirit/json_io.h"
#include "host/smartx_backup_set.h"
#include "sim/backup_server/backup_server.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

SmartX_Backup_Set make_set(const std::string& uuid, const std::string& vm_id,
                           const std::string& base = "") {
    SmartX_Backup_Set s;
    s.uuid = uuid;
    s.name = "nightly";
    s.resource_uuid = "res-1";
    s.uri = "res-1";
    s.type = base.empty() ? "full" : "incremental";
    s.incarnation = "inc-" + vm_id;
    s.minor_resource_id = "minor-" + vm_id;
    s.source_size = 4096;
    s.size = 4096;
    s.backup_start_time = 1700000000;
    s.backup_end_time = 1700000100;
    if (!base.empty())
        s.base_sets.push_back(base);
    s.vm_id = vm_id;
    s.vm_name = "name-" + vm_id;
    s.snap_id = "snap-" + uuid;
    s.base_info.vnc_password = "vnc-secret";
    s.cpu_info.cpu_cores = 2;
    s.mem_info.memory = 2048;
    s.aggregates.emplace_back("folder-1", SmartX_Backup_Set::FOLDER);
    Backup_Set_Storage st;
    st.pool_uuid = "pool-1";
    st.size = 1024;
    s.storages.push_back(st);
    Backup_Piece p;
    p.path = vm_id + "/disk.img";
    p.size = 1024;
    p.object = "vol-1";
    s.pieces.push_back(p);
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
    void SetUp() override {
        db_ = root_.file("catalog.db");
        restart();
    }

    // A new server process over the same catalog file, on a new port.
    void restart() {
        server_.reset();
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        std::string error;
        ASSERT_TRUE(server_->open_catalog(db_, &error)) << error;
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
    }

    Value view(const char* name, const Object& filter) {
        Catalog_Operator op(-1, -1);
        Value out;
        EXPECT_TRUE(op.get_view("smartx", name, filter, out)) << name;
        return out;
    }

    Temp_Root root_;
    std::string db_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(Catalog, CommittedSetsSurviveARestartAndComeBackInCommitOrder) {
    {
        Catalog_Operator op(-1, -1);
        // Uuids out of alphabetical order: the order must be the commit order.
        for (auto s :
             {make_set("c-1", "vm-1"), make_set("a-2", "vm-2"), make_set("b-3", "vm-1", "c-1")})
            ASSERT_TRUE(op.commit(s, true));
    }  // its kept-alive connection would hold the server's stop

    restart();
    Value by_vm =
        view("base_catalog", Object{{"resource_uuid", Value("res-1")}, {"vm_id", Value("vm-1")}});
    EXPECT_EQ((std::vector<std::string>{"c-1", "b-3"}), uuids(by_vm));
    EXPECT_EQ((std::vector<std::string>{"c-1", "a-2", "b-3"}), uuids(view("catalogs", Object())));

    // The row reads back as the set that was committed.
    Value one = view(
        "catalogs",
        Object{{"uuid", Value("b-3")}, {"resource_uuid", Value("res-1")}, {"limit", Value(1)}});
    ASSERT_EQ(1u, one.get_array().size());
    SmartX_Backup_Set back;
    std::string why;
    ASSERT_TRUE(back.load(one.get_array()[0].get_obj(), &why)) << why;
    EXPECT_EQ(json_spirit::write(Value(make_set("b-3", "vm-1", "c-1").dump())),
              json_spirit::write(Value(back.dump())));
}

TEST_F(Catalog, ARecommitReplacesInPlaceOnlyWhenAsked) {
    Catalog_Operator op(-1, -1);
    SmartX_Backup_Set a = make_set("a", "vm-1"), b = make_set("b", "vm-1");
    ASSERT_TRUE(op.commit(a, false));
    ASSERT_TRUE(op.commit(b, false));
    a.name = "renamed";
    EXPECT_FALSE(op.commit(a, false));  // a duplicate uuid
    ASSERT_TRUE(op.commit(a, true));
    Value rows = view("catalogs", Object{{"vm_id", Value("vm-1")}});
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), uuids(rows));
    EXPECT_EQ("renamed",
              json_spirit::object_get_str_or_throw(rows.get_array()[0].get_obj(), "name"));
}

TEST_F(Catalog, RestoreViewGivesTheChainOfASetOldestFirst) {
    Catalog_Operator op(-1, -1);
    for (auto s : {make_set("f1", "vm-1"), make_set("i1", "vm-1", "f1"), make_set("f2", "vm-1"),
                   make_set("i2", "vm-1", "i1"), make_set("lost", "vm-1", "gone")})
        ASSERT_TRUE(op.commit(s, false));
    auto restore = [&](const char* uuid) {
        return view("restore", Object{{"resource_uuid", Value("res-1")}, {"uuid", Value(uuid)}});
    };
    EXPECT_EQ((std::vector<std::string>{"f1", "i1", "i2"}), uuids(restore("i2")));
    EXPECT_EQ((std::vector<std::string>{"f2"}), uuids(restore("f2")));
    EXPECT_TRUE(restore("nobody").get_array().empty());
    Value out;
    EXPECT_FALSE(op.get_view("smartx", "restore", Object{{"uuid", Value("lost")}},
                             out));  // its base is missing
    EXPECT_FALSE(op.get_view("smartx", "no_such_view", Object(), out));
    EXPECT_FALSE(op.get_view("smartx", "../escape", Object(), out));
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

TEST_F(Catalog, TheAccessKeyIsSentAndARefusedKeyFails) {
    server_->set_access_key("test-access-key");  // the one the host settings hold
    Value out;
    EXPECT_TRUE(Catalog_Operator(-1, -1).get_view("smartx", "catalogs", Object(), out));
    RESTful_Catalog_Operator wrong("127.0.0.1", static_cast<uint16_t>(server_->port()), false,
                                   secure_string("other"), 3, -1);
    EXPECT_FALSE(wrong.get_view("smartx", "catalogs", Object(), out));
    EXPECT_FALSE(wrong.commit(make_set("k-1", "vm-1"), true));
    EXPECT_TRUE(server_->catalog_rows("smartx").empty());
}

TEST_F(Catalog, AnUnreachableServerFailsWithoutHanging) {
    int port = server_->port();
    server_.reset();
    RESTful_Catalog_Operator op("127.0.0.1", static_cast<uint16_t>(port), false, secure_string(),
                                -1, -1);
    op.set_timeouts(2000, 5000);
    Value out;
    EXPECT_FALSE(op.get_view("smartx", "catalogs", Object(), out));
    EXPECT_FALSE(RESTful_Catalog_Operator("", 0, false, secure_string(), 1, 1)
                     .commit(make_set("x", "vm"), true));
}

TEST_F(Catalog, ResourceProtectionFlagsAreAnsweredPerResourceAndKept) {
    server_->set_resource_flags("target-1", {"other", "protected"});
    server_->set_resource_flags("target-2", {});
    restart();
    auto get = [&](const std::string& uuid) {
        Http_Exchange x;
        x.url = "http://127.0.0.1:" + std::to_string(server_->port()) +
                "/zq/r/v2/resources?uuid=" + uuid;
        EXPECT_TRUE(curl_transfer(x));
        EXPECT_EQ(200, x.status);
        Value v;
        EXPECT_TRUE(json_spirit::read(x.response, v)) << x.response;
        return v;
    };
    Value one = get("target-1");
    const Array& rows = json_spirit::object_get_array_or_throw(one.get_obj(), "rows");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ((Array{Value("other"), Value("protected")}),
              json_spirit::object_get_array_or_throw(rows[0].get_obj(), "flags"));
    Value none = get("target-2");
    EXPECT_TRUE(
        json_spirit::object_get_array_or_throw(
            json_spirit::object_get_array_or_throw(none.get_obj(), "rows")[0].get_obj(), "flags")
            .empty());
    EXPECT_TRUE(json_spirit::object_get_array_or_throw(get("unknown").get_obj(), "rows").empty());

    // Armed raw answers, for readers' failure paths, are given once.
    server_->set_resources_override(R"({"rows": [{"uuid": "x"}]})");
    EXPECT_EQ(Value(Array{Value(Object{{"uuid", Value("x")}})}),
              *json_spirit::object_get_value(get("target-1").get_obj(), "rows"));
    server_->set_view_override(R"({"rows": []})");
    EXPECT_EQ(json_spirit::obj_type, view("catalogs", Object()).type());
    EXPECT_EQ(json_spirit::array_type, view("catalogs", Object()).type());
}

// The simulator program with its catalog in a file: started, stopped with
// SIGTERM, started again.
class Backup_Server_Program {
public:
    Backup_Server_Program(const std::string& config, const std::string& db,
                          const std::string& out) {
        std::vector<std::string> args = {BACKUP_SERVER_SIM_PATH, "--config", config, "--db", db};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 3000 && pid_ > 0 && port_ == 0; ++i) {
            std::ifstream in(out);
            std::string line;
            if (std::getline(in, line) && line.find("listening on http://127.0.0.1:") == 0 &&
                in.good())
                port_ = std::stoi(line.substr(line.rfind(':') + 1));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Backup_Server_Program() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST_F(Catalog, TheSimulatorProgramKeepsItsCatalogInTheFileItIsGiven) {
    std::string config = root_.file("backupd.json"), db = root_.file("program.db");
    std::ofstream(config) << R"({"public_key_file": ")" << root_.file("host-key.pub.pem")
                          << R"(", "instances": []})";
    {
        Backup_Server_Program p(config, db, root_.file("out1"));
        ASSERT_GT(p.port(), 0);
        write_host_settings(root_.path(), p.port());
        ASSERT_TRUE(Catalog_Operator(-1, -1).commit(make_set("p-1", "vm-1"), false));
    }
    Backup_Server_Program p(config, db, root_.file("out2"));
    ASSERT_GT(p.port(), 0);
    write_host_settings(root_.path(), p.port());
    EXPECT_EQ((std::vector<std::string>{"p-1"}), uuids(view("catalogs", Object())));
}

}  // namespace
