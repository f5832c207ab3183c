// Fault switches, their admin endpoints, concurrency and the program.
#include <set>
#include <thread>

#include "sim/cloudtower/volume_store.h"
#include "sim_test_support.h"
#include "support/process.h"

namespace ct_test {
namespace {

class SwitchTest : public SimTest {
protected:
    Reply admin(const std::string& what, const std::string& body_json) {
        return exchange("POST", "/__sim/" + what, body_json, nullptr);
    }
};

TEST_F(SwitchTest, FaultAnswersFireAsOftenAsArmed) {
    server_->fail_path(
        "get-vms", 500, "resource is locked", 1,
        parse(R"({"props": {"resource": "vm"}, "code": "ResourceLocked"})").get_obj());
    Reply r = post("get-vms", Object());
    EXPECT_EQ(500, r.status);
    EXPECT_EQ(parse(R"({"status": 500, "message": "resource is locked", "path": "/v2/api/get-vms",
        "props": {"resource": "vm"}, "code": "ResourceLocked", "operationName": "GetVms"})"),
              r.json);
    // Fired once; other paths never.
    EXPECT_EQ(200, post("get-vms", Object()).status);
    server_->fail_path("/v2/api/login", 503, "maintenance");
    EXPECT_TRUE(login("admin", "admin123").empty());
    EXPECT_TRUE(login("admin", "admin123").empty());
    server_->reset_switches();
    EXPECT_FALSE(login("admin", "admin123").empty());

    server_->answer_raw("get-hosts", 502, "<html>Bad Gateway</html>", "text/html", 2);
    EXPECT_EQ(502, post("get-hosts", Object()).status);
    r = post("get-hosts", Object());
    EXPECT_EQ("<html>Bad Gateway</html>", r.body);
    EXPECT_EQ("text/html", r.content_type);
    EXPECT_EQ(200, post("get-hosts", Object()).status);
    // Even the version.
    server_->answer_raw("get-version", 200, "4.1.0", "text/plain", 1);
    EXPECT_EQ("4.1.0", exchange("GET", "/v2/api/get-version", "", nullptr).body);
}

TEST_F(SwitchTest, DelayHoldsTheAnswer) {
    server_->set_delay("get-vms", 3000);
    httplib::Client impatient("127.0.0.1", server_->port());
    impatient.set_read_timeout(0, 200 * 1000);
    httplib::Headers headers{{"Authorization", token_}};
    EXPECT_FALSE(impatient.Post("/v2/api/get-vms", headers, "{}", "application/json"));
    // Other paths answer at once.
    EXPECT_TRUE(impatient.Post("/v2/api/get-hosts", headers, "{}", "application/json"));
    server_->set_delay("get-vms", 0);
    EXPECT_TRUE(impatient.Post("/v2/api/get-vms", headers, "{}", "application/json"));
}

TEST_F(SwitchTest, AdminEndpointsDriveTheSameSwitches) {
    auto set = [&](const std::string& what, const std::string& body) {
        EXPECT_EQ(200, admin(what, body).status) << what;
    };
    set("raw", R"({"path": "get-vms", "status": 200, "body": "nope", "times": 1})");
    EXPECT_EQ("nope", post("get-vms", Object()).body);
    set("ignore-skip", R"({"path": "get-hosts", "on": true})");
    const Object skip{{"skip", Value(2)}};
    EXPECT_EQ(3u, list("get-hosts", skip).size());
    set("task-timing", R"({"pending_polls": 2, "executing_polls": 0})");
    Array answer = list("poweroff-vm", where_id(fixture_id("vms", "web-01")));
    EXPECT_EQ(std::vector<std::string>({"PENDING", "PENDING", "SUCCESSED"}),
              wait_task(str(answer[0], "task_id")));
    set("version", R"({"version": "3.0.0"})");
    EXPECT_EQ("\"3.0.0\"", exchange("GET", "/v2/api/get-version", "", nullptr).body);
    set("reset", "{}");
    EXPECT_EQ(1u, list("get-hosts", skip).size());

    std::string issued = str(admin("token", "{}").json, "token");
    EXPECT_EQ(200, post_as("get-vms", Object(), &issued).status);
    set("expire-tokens", "{}");
    EXPECT_EQ(401, post_as("get-vms", Object(), &issued).status);
    token_ = login("admin", "admin123");

    set("records", R"({"kind": "vm_folders", "records": [{"id": "f-new", "name": "new folder",
      "cluster": {"id": "x", "name": "y"}}]})");
    EXPECT_EQ(1u, list("get-vm-folders", where_id("f-new")).size());
    EXPECT_EQ(400, admin("records", R"({"kind": "spaceships", "records": []})").status);
    EXPECT_EQ(404, admin("teleport", "{}").status);

    const Array log = exchange("GET", "/__sim/requests", "", nullptr).json.get_array();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("/v2/api/get-vm-folders", str(log.back(), "path"));
    EXPECT_EQ("<hidden>", str(member(log.back(), "headers"), "Authorization"));
    set("requests/clear", "{}");
    EXPECT_EQ(0u, exchange("GET", "/__sim/requests", "", nullptr).json.get_array().size());
    const Value inventory = exchange("GET", "/__sim/inventory", "", nullptr).json;
    EXPECT_EQ(7u, member(inventory, "vms").get_array().size());
}

TEST_F(SwitchTest, ConcurrentClients) {
    const int threads = 6, rounds = 10;
    const std::string volume = R"([{"elf_storage_policy": "REPLICA_2_THIN_PROVISION",
        "size": 1048576, "sharing": false, "cluster_id": ")" +
                               fixture_id("clusters", "cluster-hz-01") + R"(", "name": "vol-)";
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", server_->port());
            auto r = c.Post("/v2/api/login",
                            R"({"username": "admin", "password": "admin123", "source": "LOCAL"})",
                            "application/json");
            httplib::Headers h{
                {"Authorization", r ? str(member(parse(r->body), "data"), "token") : ""}};
            for (int i = 0; i < rounds; ++i) {
                auto m =
                    c.Post("/v2/api/create-vm-volume", h,
                           volume + std::to_string(t * rounds + i) + "\"}]", "application/json");
                auto q = c.Post("/v2/api/get-vms", h, R"({"where": {"name_not": "CloudTower"}})",
                                "application/json");
                failures[t] += !m || m->status != 200 || !q || q->status != 200 ||
                               parse(q->body).get_array().size() != 6;
            }
        });
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(std::vector<int>(threads, 0), failures);
    EXPECT_EQ(static_cast<size_t>(threads * rounds),
              list("get-vm-volumes", parse(R"({"where": {"name_starts_with": "vol-"}})")).size());
    // Every volume got a LUN number of its own within its target.
    std::set<std::pair<std::string, int64_t>> lun_ids;
    for (const Value& lun : list("get-iscsi-luns"))
        lun_ids.emplace(str(member(lun, "iscsi_target"), "id"), member(lun, "lun_id").get_int64());
    EXPECT_EQ(list("get-iscsi-luns").size(), lun_ids.size());
}

// What a copy holds is checked through the module's snapshots; here, what
// the store refuses.
TEST(VolumeStore, NeverOverwritesAndKeepsNamesInsideTheStore) {
    Temp_Root root;
    sim::cloudtower::Volume_Store store(root.file("store"));
    std::string error;
    ASSERT_TRUE(store.prepare(&error)) << error;
    const int64_t size = int64_t(4) << 30;
    ASSERT_TRUE(store.create("vol", size, &error)) << error;
    EXPECT_FALSE(store.create("vol", size, &error));
    ASSERT_TRUE(store.copy_sparse("vol", "snap", &error)) << error;
    EXPECT_FALSE(file_exists(store.path("snap") + ".part"));
    EXPECT_FALSE(store.copy_sparse("vol", "snap", &error));
    EXPECT_FALSE(store.copy_sparse("missing", "other", &error));
    EXPECT_FALSE(file_exists(store.path("other")));
    for (const char* bad : {"../escape", "a/b", "", "..", ".", "a..b"}) {
        EXPECT_FALSE(store.create(bad, 1, &error)) << bad;
        EXPECT_FALSE(store.copy_sparse("vol", bad, &error)) << bad;
        EXPECT_FALSE(store.remove(bad, &error)) << bad;
    }
    EXPECT_TRUE(store.remove("snap", &error));
    EXPECT_TRUE(store.remove("snap", &error));  // already gone
    EXPECT_TRUE(store.ensure("vol", 1, &error));
    EXPECT_EQ(size, stat_of(store.path("vol")).st_size);  // ensure keeps what is there
}

TEST(Program, RefusesBadInventoryAndArguments) {
    Temp_Root root;
    Command_Result r =
        run_command(std::string(CLOUDTOWER_SIM_PATH) + " --inventory /nonexistent.json --store " +
                    shell_quote(root.file("store")));
    EXPECT_EQ(1, r.exit_code);
    EXPECT_NE(std::string::npos, r.output.find("/nonexistent.json"));
    r = run_command(std::string(CLOUDTOWER_SIM_PATH) + " --bogus 1");
    EXPECT_EQ(2, r.exit_code);
    EXPECT_NE(std::string::npos, r.output.find("usage"));
}

}  // namespace
}  // namespace ct_test
