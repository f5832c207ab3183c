// Labels, label settings, tasks, users and roles.
#include "smartx/common/label.h"
#include "smartx/common/role.h"
#include "smartx/common/task.h"
#include "smartx/common/user.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::Label;
using smartx::Role;
using smartx::Task;
using smartx::User;

namespace {
Object label_body() {
    Object label = body(R"({"id": "lb1", "key": "env", "value": "prod",
                            "datacenters": [{"id": "d1"}, {"id": "d2", "name": "dc", "organization": {"id": "o1", "name": "org"}}],
                            "clusters": [{"id": "c1"}], "hosts": [{"id": "h1"}], "vm_volumes": [{"id": "vol1"}]})");
    label["vms"] = Array{body(R"({"id": "v0"})"), vm_body()};
    return label;
}

Object task_body() {
    return body(
        R"({"cluster": {"id": "c1", "name": "cl"}, "error_code": "", "error_message": "", "id": "t1",
            "progress": 100, "status": "SUCCESSED", "type": "CREATE_VM", "user": {"id": "u1", "name": "root"}})");
}

Object role_body() {
    return body(
        R"({"actions": ["*"], "id": "r2", "name": "admin", "platform": "MANAGEMENT", "preset": "ADMIN"})");
}

Object user_body() {
    Object user =
        body(R"({"display_username": "Root", "email_address": "root@example.com", "id": "u1",
                           "internal": false, "mobile_phone": "", "name": "root", "role": "ROOT",
                           "roles": [{"id": "r1"}], "source": "LOCAL", "username": "root"})");
    user["roles"].get_array().push_back(role_body());
    return user;
}

std::string one_id(const char* list) {
    return std::string("Failed to parse one 'id' of items ") + list +
           ", details: 'id' is expected as string.\n";
}
}  // namespace

TEST(AccountRecords, FaultyBodiesFailWithTheirMessages) {
    const Fail label{"Failed to parse label, details: "};
    check_load_cases<Label>(
        label_body(),
        {
            {drop("id"), {label("id", "string")}},
            {drop("value"), {}},
            // Without "organization" a datacenter element is a reference, even with more keys.
            {drop("datacenters.1.organization"), {}},
            {put("datacenters.0", body(R"({"name": "dc"})")),
             {one_id("datacenters"), "Failed to parse datacenters in label.\n"}},
            {put("clusters.0.local_id", "lc1"),
             {"Failed to parse cluster, details: 'connect_state' is expected as string.\n",
              "Failed to parse clusters in label.\n"}},
            {put("vms.1.win_opt", Value()),
             {"Failed to parse VM, details: 'win_opt' is expected as boolean.\n",
              "Failed to parse VMs in label.\n"}},
            {put("vm_volumes.0.local_id", "lvol1"),
             {"Failed to parse VM volume, details: 'elf_storage_policy' is expected as string.\n",
              "Failed to parse VM volumes in label.\n"}},
        });

    const Fail task{"Failed to parse task, details: "};
    check_load_cases<Task>(
        task_body(), {
                         {drop("progress"), {task("progress", "number")}},
                         {put("progress", HUGE_NUMBER), {}},
                         {put("error_code", 5), {}},
                         {drop("cluster"), {}},
                         {put("user", Value()), {}},
                         {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in task.\n"}},
                     });

    const Fail role{"Failed to parse role, details: "};
    check_load_cases<Role>(role_body(), {
                                            {drop("actions"), {role("actions", "array")}},
                                            {put("actions", Array{Value("*"), Value(5)}),
                                             {role("actions", "array of strings")}},
                                            {put("actions", Array()), {}},
                                            {drop("preset"), {}},
                                            {drop("platform"), {role("platform", "string")}},
                                        });

    const Fail user{"Failed to parse user, details: "};
    check_load_cases<User>(user_body(),
                           {
                               {drop("display_username"), {user("display_username", "string")}},
                               {put("internal", "false"), {user("internal", "boolean")}},
                               {drop("email_address"), {}},
                               {put("role", Value()), {}},
                               {drop("roles.1.actions"),
                                {role("actions", "array"), "Failed to parse roles in user.\n"}},
                               {put("roles.0", body(R"({"name": "r"})")),
                                {one_id("roles"), "Failed to parse roles in user.\n"}},
                           });
}

TEST(AccountRecords, ListsHoldWholeRecordsOrReferences) {
    Log_Capture log;
    Label label;
    ASSERT_TRUE(label.load(label_body()));
    ASSERT_EQ(label.vms.size(), 2u);
    EXPECT_EQ(label.vms[0].id, "v0");
    EXPECT_TRUE(label.vms[0].ha);  // a reference keeps the defaults
    EXPECT_EQ(label.vms[1].vm_disks.size(), 2u);
    EXPECT_EQ(label.datacenters.at(1).organization.id, "o1");

    // A role without "platform" is a reference: no preset, no actions.
    User user;
    ASSERT_TRUE(user.load(user_body()));
    ASSERT_EQ(user.roles.size(), 2u);
    EXPECT_EQ(user.roles[0].get_preset(), Role::Preset::UNKNOWN);
    EXPECT_EQ(user.roles[1].actions, std::vector<std::string>{"*"});
    EXPECT_EQ(user.roles[1].get_preset(), Role::Preset::ADMIN);
    EXPECT_TRUE(log.lines().empty());
}
