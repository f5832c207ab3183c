// Mutations: the power rules and the refusals that come before any task
// (what mutations change is checked through the module's client in the
// REST tests).
#include "sim_test_support.h"

namespace ct_test {
namespace {

class MutationTest : public SimTest {
protected:
    // {"where": {"id"}, "data"}.
    static Object with_data(const std::string& id, const Value& data) {
        Object body = where_id(id);
        body["data"] = data;
        return body;
    }

    // The JSON text with every "$1" replaced by arg.
    static Value json_with(std::string text, const std::string& arg) {
        for (size_t at; (at = text.find("$1")) != std::string::npos;)
            text.replace(at, 2, arg);
        return parse(text);
    }

    const std::string cluster_a_ = fixture_id("clusters", "cluster-hz-01");
};

TEST_F(MutationTest, PowerRules) {
    const std::string web_id = fixture_id("vms", "web-01");
    const Object web = where_id(web_id);
    struct Row {
        const char* path;
        const char* ends;
        const char* vm_status;
    } rows[] = {{"suspend-vm", "SUCCESSED", "SUSPENDED"},
                {"start-vm", "FAILED", "SUSPENDED"},  // a suspended VM is resumed, not started
                {"resume-vm", "SUCCESSED", "RUNNING"},
                {"shutdown-vm", "SUCCESSED", "STOPPED"},
                {"restart-vm", "FAILED", "STOPPED"},
                {"poweroff-vm", "SUCCESSED", "STOPPED"},  // changes nothing and succeeds
                {"start-vm", "SUCCESSED", "RUNNING"},
                {"move-vm-to-recycle", "FAILED", "RUNNING"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        Object task;
        EXPECT_EQ(row.ends, run_one(row.path, web, &task));
        EXPECT_EQ(row.ends == std::string("FAILED"), !str(task, "error_message").empty());
        EXPECT_EQ(row.vm_status, str(one("get-vms", web_id), "status"));
    }
    // Cluster counts follow.
    EXPECT_EQ(3, member(one("get-clusters", cluster_a_), "running_vm_num").get_int());

    // In the recycle bin a VM does not start; the answer's data is the bare id.
    const std::string test = fixture_id("vms", "test-01");
    Array answer = list("move-vm-to-recycle", where_id(test));
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ(Value(Object{{"id", Value(test)}}), member(answer[0], "data"));
    EXPECT_EQ("FAILED", run_one("start-vm", where_id(test)));
}

TEST_F(MutationTest, RefusalsComeBeforeAnyTask) {
    const std::string volume = R"([{"elf_storage_policy": "REPLICA_2_THIN_PROVISION",
        "size": 1048576, "sharing": false, "cluster_id": "$1", "name": "v"}])";
    auto with = [&](std::string text, const std::string& from, const std::string& to) {
        return json_with(text.replace(text.find(from), from.size(), to), cluster_a_);
    };
    const std::string test = fixture_id("vms", "test-01");
    struct Row {
        const char* path;
        Value body;
    } rows[] = {
        {"start-vm", Object()},  // "where" is required
        {"create-vm-volume", with(volume, "\"v\"", "\"\"")},
        {"create-vm-volume", with(volume, "1048576", "0")},
        {"create-vm-volume", with(volume, "REPLICA_2_THIN_PROVISION", "REPLICA_9")},
        {"update-vm-disk", with_data(test, parse(R"({"vm_disk_id": "no-such-disk"})"))},
        {"update-vm-advanced-options", with_data(test, parse(R"({"video_type": "HOLOGRAM"})"))},
        {"add-labels-to-resources",
         with_data(fixture_id("labels", "owner"), parse(R"({"spaceships": {}})"))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + json_spirit::write(row.body));
        EXPECT_EQ(400, post(row.path, row.body).status);
    }
    EXPECT_EQ(0u, server_->running_tasks());
    EXPECT_EQ(200, post("create-vm-volume", json_with(volume, cluster_a_)).status);
}

}  // namespace
}  // namespace ct_test
