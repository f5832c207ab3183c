// Fault switches, their admin endpoints, concurrency and the program.
#include <thread>

#include "sim/cloudtower/volume_store.h"
#include "sim_test_support.h"
#include "support/process.h"

namespace ct_test {
namespace {

class Switch_Test : public Sim_Test {
protected:
    Reply admin(const std::string& what, const std::string& body_json) {
        return exchange("POST", "/__sim/" + what, body_json, nullptr);
    }
};

TEST_F(Switch_Test, ErrorAnswerWithCloudTowerBody) {
    Object extra;
    extra["props"] = parse(R"({"resource": "vm"})");
    extra["stack"] = "Error: boom\n    at resolver";
    extra["code"] = "ResourceLocked";
    server_->fail_path("get-vms", 500, "resource is locked", 1, extra);
    Reply r = post("get-vms", Object());
    EXPECT_EQ(500, r.status);
    EXPECT_EQ(500, member(r.json, "status").get_int());
    EXPECT_EQ("resource is locked", str(r.json, "message"));
    EXPECT_EQ("/v2/api/get-vms", str(r.json, "path"));
    EXPECT_EQ("vm", str(member(r.json, "props"), "resource"));
    EXPECT_EQ("ResourceLocked", str(r.json, "code"));
    EXPECT_EQ("GetVms", str(r.json, "operationName"));
    // Fired once; other paths never.
    EXPECT_EQ(200, post("get-vms", Object()).status);

    server_->fail_path("/v2/api/login", 503, "maintenance");
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(login("admin", "admin123").empty());
    server_->reset_switches();
    EXPECT_FALSE(login("admin", "admin123").empty());
}

TEST_F(Switch_Test, RawAnswerThatIsNotJson) {
    server_->answer_raw("get-hosts", 502, "<html>Bad Gateway</html>", "text/html", 2);
    for (int i = 0; i < 2; ++i) {
        Reply r = post("get-hosts", Object());
        EXPECT_EQ(502, r.status);
        EXPECT_EQ("<html>Bad Gateway</html>", r.body);
        EXPECT_EQ("text/html", r.content_type);
    }
    EXPECT_EQ(200, post("get-hosts", Object()).status);
    // A 200 answer whose body is cut short.
    server_->answer_raw("get-clusters", 200, "[{\"id\": ", "application/json", 1);
    Reply r = post("get-clusters", Object());
    EXPECT_EQ(200, r.status);
    EXPECT_TRUE(r.json.is_null());
    // Even the version.
    server_->answer_raw("get-version", 200, "4.1.0", "text/plain", 1);
    EXPECT_EQ("4.1.0", exchange("GET", "/v2/api/get-version", "", nullptr).body);
}

TEST_F(Switch_Test, FailedTaskChangesNothing) {
    std::string test = str(fixture_record("vms", "test-01"), "id");
    server_->fail_tasks("start-vm", "host has no free memory", 1, "HostMemoryExhausted");
    server_->set_task_timing({1, 1});
    Array answer = list("start-vm", where_id(test));
    ASSERT_EQ(1u, answer.size());
    Object task;
    std::vector<std::string> seen = wait_task(str(answer[0], "task_id"), &task);
    EXPECT_EQ(std::vector<std::string>({"PENDING", "EXECUTING", "FAILED"}), seen);
    EXPECT_EQ("host has no free memory", str(task, "error_message"));
    EXPECT_EQ("HostMemoryExhausted", str(task, "error_code"));
    EXPECT_EQ("STOPPED", str(one("get-vms", test), "status"));
    // Armed for one task only.
    EXPECT_EQ("SUCCESSED", run_one("start-vm", where_id(test)));
}

TEST_F(Switch_Test, FailedSnapshotTaskLeavesNoCopies) {
    server_->fail_tasks("create-vm-snapshot", "snapshot quota exceeded");
    size_t lun_snapshots = list("get-iscsi-lun-snapshots").size();
    Object setting;
    setting["name"] = "never";
    setting["vm_id"] = str(fixture_record("vms", "db-01"), "id");
    Object body;
    body["data"] = Array{setting};
    Array answer = list("create-vm-snapshot", body);
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ("FAILED", wait_task(str(answer[0], "task_id")).back());
    EXPECT_EQ(0u, list("get-vm-snapshots", where_id(str(member(answer[0], "data"), "id"))).size());
    EXPECT_EQ(lun_snapshots, list("get-iscsi-lun-snapshots").size());
}

TEST_F(Switch_Test, DelayHoldsTheAnswer) {
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

TEST_F(Switch_Test, AdminEndpointsDriveTheSameSwitches) {
    EXPECT_EQ(200,
              admin("error", R"({"path": "get-vms", "status": 500, "message": "down", "times": 1})")
                  .status);
    EXPECT_EQ(500, post("get-vms", Object()).status);
    EXPECT_EQ(
        200,
        admin("raw", R"({"path": "get-vms", "status": 200, "body": "nope", "times": 1})").status);
    EXPECT_EQ("nope", post("get-vms", Object()).body);
    EXPECT_EQ(
        200,
        admin("fail-task", R"({"path": "poweroff-vm", "message": "stuck", "times": 1})").status);
    EXPECT_EQ("FAILED",
              run_one("poweroff-vm", where_id(str(fixture_record("vms", "web-01"), "id"))));
    EXPECT_EQ(200, admin("ignore-skip", R"({"path": "get-hosts", "on": true})").status);
    Object body;
    body["skip"] = 2;
    EXPECT_EQ(3u, list("get-hosts", body).size());
    EXPECT_EQ(200, admin("task-timing", R"({"pending_polls": 2, "executing_polls": 0})").status);
    Array answer = list("poweroff-vm", where_id(str(fixture_record("vms", "web-01"), "id")));
    EXPECT_EQ(std::vector<std::string>({"PENDING", "PENDING", "SUCCESSED"}),
              wait_task(str(answer[0], "task_id")));
    EXPECT_EQ(200, admin("version", R"({"version": "3.0.0"})").status);
    EXPECT_EQ("\"3.0.0\"", exchange("GET", "/v2/api/get-version", "", nullptr).body);
    EXPECT_EQ(200, admin("reset", "{}").status);
    EXPECT_EQ(2u, list("get-hosts", body).size() + 1);

    Reply token = admin("token", "{}");
    std::string issued = str(token.json, "token");
    EXPECT_EQ(200, post_as("get-vms", Object(), &issued).status);
    EXPECT_EQ(200, admin("expire-tokens", "{}").status);
    EXPECT_EQ(401, post_as("get-vms", Object(), &issued).status);
    token_ = login("admin", "admin123");

    EXPECT_EQ(200, admin("records",
                         R"({"kind": "vm_folders", "records": [{"id": "f-new", "name": "new folder",
      "cluster": {"id": "x", "name": "y"}}]})")
                       .status);
    EXPECT_EQ(1u, list("get-vm-folders", where_id("f-new")).size());
    EXPECT_EQ(400, admin("records", R"({"kind": "spaceships", "records": []})").status);
    EXPECT_EQ(404, admin("teleport", "{}").status);

    Reply requests = exchange("GET", "/__sim/requests", "", nullptr);
    ASSERT_EQ(json_spirit::array_type, requests.json.type());
    ASSERT_FALSE(requests.json.get_array().empty());
    const Value& last = requests.json.get_array().back();
    EXPECT_EQ("/v2/api/get-vm-folders", str(last, "path"));
    EXPECT_EQ("<hidden>", str(member(last, "headers"), "Authorization"));
    EXPECT_EQ(200, admin("requests/clear", "{}").status);
    EXPECT_EQ(0u, exchange("GET", "/__sim/requests", "", nullptr).json.get_array().size());

    Reply inventory = exchange("GET", "/__sim/inventory", "", nullptr);
    EXPECT_EQ(7u, member(inventory.json, "vms").get_array().size());
}

TEST_F(Switch_Test, ConcurrentClients) {
    const int threads = 6, rounds = 10;
    std::vector<std::thread> pool;
    std::vector<int> failures(threads, 0);
    const std::string cluster = str(fixture_record("clusters", "cluster-hz-01"), "id");
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", server_->port());
            auto login_body = R"({"username": "admin", "password": "admin123", "source": "LOCAL"})";
            auto r = c.Post("/v2/api/login", login_body, "application/json");
            if (!r || r->status != 200) {
                ++failures[t];
                return;
            }
            std::string token = str(member(parse(r->body), "data"), "token");
            httplib::Headers h{{"Authorization", token}};
            for (int i = 0; i < rounds; ++i) {
                std::string name = "vol-" + std::to_string(t) + "-" + std::to_string(i);
                std::string body =
                    "[{\"elf_storage_policy\": \"REPLICA_2_THIN_PROVISION\", \"size\": 1048576, "
                    "\"sharing\": false, \"cluster_id\": \"" +
                    cluster + "\", \"name\": \"" + name + "\"}]";
                auto m = c.Post("/v2/api/create-vm-volume", h, body, "application/json");
                auto q = c.Post("/v2/api/get-vms", h,
                                R"({"where": {"name_not": "CloudTower"}, "first": 100})",
                                "application/json");
                if (!m || m->status != 200 || !q || q->status != 200 ||
                    parse(q->body).get_array().size() != 6)
                    ++failures[t];
            }
        });
    }
    for (auto& th : pool)
        th.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    Object body;
    body["where"] = parse(R"({"name_starts_with": "vol-"})");
    EXPECT_EQ(static_cast<size_t>(threads * rounds), list("get-vm-volumes", body).size());
    // Every volume got a LUN number of its own within its target.
    std::set<std::pair<std::string, int64_t>> lun_ids;
    for (const Value& lun : list("get-iscsi-luns"))
        lun_ids.emplace(str(member(lun, "iscsi_target"), "id"), member(lun, "lun_id").get_int64());
    EXPECT_EQ(list("get-iscsi-luns").size(), lun_ids.size());
}

TEST(Volume_Store_Test, SparseCopyKeepsDataAndHoles) {
    Temp_Root root;
    sim::cloudtower::Volume_Store store(root.file("store"));
    std::string error;
    ASSERT_TRUE(store.prepare(&error)) << error;
    const int64_t size = int64_t(4) << 30;
    ASSERT_TRUE(store.create("vol", size, &error)) << error;
    EXPECT_FALSE(store.create("vol", size, &error));  // never over an existing volume
    int fd = ::open(store.path("vol").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string block(65536, 'x');
    ASSERT_EQ(65536, ::pwrite(fd, block.data(), block.size(), int64_t(3) << 30));
    ::close(fd);

    ASSERT_TRUE(store.copy_sparse("vol", "snap", &error)) << error;
    struct stat st;
    ASSERT_EQ(0, ::stat(store.path("snap").c_str(), &st));
    EXPECT_EQ(size, st.st_size);
    EXPECT_LT(st.st_blocks * 512, 16 << 20);
    fd = ::open(store.path("snap").c_str(), O_RDONLY);
    std::string back(65536, '\0');
    ASSERT_EQ(65536, ::pread(fd, &back[0], back.size(), int64_t(3) << 30));
    EXPECT_EQ(block, back);
    char zero = 1;
    ASSERT_EQ(1, ::pread(fd, &zero, 1, 4096));
    EXPECT_EQ(0, zero);
    ::close(fd);
    EXPECT_FALSE(file_exists(store.path("snap") + ".part"));

    EXPECT_FALSE(store.copy_sparse("vol", "snap", &error));  // the copy exists
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
    ASSERT_EQ(0, ::stat(store.path("vol").c_str(), &st));
    EXPECT_EQ(size, st.st_size);  // ensure keeps what is there
}

TEST(Program_Test, RefusesBadInventoryAndArguments) {
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
