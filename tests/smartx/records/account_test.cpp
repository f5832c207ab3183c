// Labels, label settings, tasks, users and roles.
#include "smartx/common/label.h"
#include "smartx/common/role.h"
#include "smartx/common/task.h"
#include "smartx/common/user.h"

#include "vm_bodies.h"

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
}  // namespace

TEST(AccountRecords, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<Label>(
        label_body(),
        {
            {drop("id"), {"Failed to parse label, details: 'id' is expected as string.\n"}},
            {put("key", Value()),
             {"Failed to parse label, details: 'key' is expected as string.\n"}},
            {drop("value"), {}},
            {drop("datacenters.1.organization"), {}},
            {put("datacenters.1.name", Value()),
             {"Failed to load datacenter, details: 'name' is expected as string.\n",
              "Failed to parse datacenters in label.\n"}},
            {put("datacenters.0", body(R"({"name": "dc"})")),
             {"Failed to parse one 'id' of items datacenters, details: 'id' is expected as "
              "string.\n",
              "Failed to parse datacenters in label.\n"}},
            {put("clusters.0.local_id", "lc1"),
             {"Failed to parse cluster, details: 'connect_state' is expected as string.\n",
              "Failed to parse clusters in label.\n"}},
            {put("hosts.0.local_id", "lh1"),
             {"Failed to parse host, details: 'chunk_id' is expected as string.\n",
              "Failed to parse hosts in label.\n"}},
            {put("vms.1.win_opt", Value()),
             {"Failed to parse VM, details: 'win_opt' is expected as boolean.\n",
              "Failed to parse VMs in label.\n"}},
            {put("vms.0.id", 5),
             {"Failed to parse one 'id' of items vms, details: 'id' is expected as string.\n",
              "Failed to parse VMs in label.\n"}},
            {put("vm_volumes.0.local_id", "lvol1"),
             {"Failed to parse VM volume, details: 'elf_storage_policy' is expected as string.\n",
              "Failed to parse VM volumes in label.\n"}},
        });

    check_load_cases<Task>(
        task_body(),
        {
            {drop("progress"),
             {"Failed to parse task, details: 'progress' is expected as number.\n"}},
            {put("progress", Value()),
             {"Failed to parse task, details: 'progress' is expected as number.\n"}},
            {put("progress", "50%"),
             {"Failed to parse task, details: 'progress' is expected as number.\n"}},
            {put("progress", HUGE_NUMBER), {}},
            {drop("status"), {"Failed to parse task, details: 'status' is expected as string.\n"}},
            {drop("id"), {"Failed to parse task, details: 'id' is expected as string.\n"}},
            {put("error_code", 5), {}},
            {drop("cluster"), {}},
            {put("user", Value()), {}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in task.\n"}},
            {drop("user.name"), {ITEM_NAME, "Failed to parse user in task.\n"}},
        });

    check_load_cases<Role>(
        role_body(),
        {
            {drop("actions"), {"Failed to parse role, details: 'actions' is expected as array.\n"}},
            {put("actions", "*"),
             {"Failed to parse role, details: 'actions' is expected as array.\n"}},
            {put("actions", Array{Value("*"), Value(5)}),
             {"Failed to parse role, details: 'actions' is expected as array of strings.\n"}},
            {put("actions", Array{Value()}),
             {"Failed to parse role, details: 'actions' is expected as array of strings.\n"}},
            {put("actions", Array()), {}},
            {drop("preset"), {}},
            {drop("platform"),
             {"Failed to parse role, details: 'platform' is expected as string.\n"}},
            {put("name", Value()),
             {"Failed to parse role, details: 'name' is expected as string.\n"}},
        });

    check_load_cases<User>(
        user_body(),
        {
            {drop("display_username"),
             {"Failed to parse user, details: 'display_username' is expected as string.\n"}},
            {put("internal", "false"),
             {"Failed to parse user, details: 'internal' is expected as boolean.\n"}},
            {drop("source"), {"Failed to parse user, details: 'source' is expected as string.\n"}},
            {drop("username"),
             {"Failed to parse user, details: 'username' is expected as string.\n"}},
            {drop("email_address"), {}},
            {put("role", Value()), {}},
            {drop("roles.1.actions"),
             {"Failed to parse role, details: 'actions' is expected as array.\n",
              "Failed to parse roles in user.\n"}},
            {put("roles.0", body(R"({"name": "r"})")),
             {"Failed to parse one 'id' of items roles, details: 'id' is expected as string.\n",
              "Failed to parse roles in user.\n"}},
        });
}

TEST(AccountRecords, LabelListsHoldWholeRecordsOrIds) {
    Log_Capture log;
    Label label;
    ASSERT_TRUE(label.load(label_body()));
    ASSERT_EQ(label.vms.size(), 2u);
    EXPECT_EQ(label.vms[0].id, "v0");
    EXPECT_TRUE(label.vms[0].name.empty());
    EXPECT_TRUE(label.vms[0].ha);  // a reference keeps the defaults
    EXPECT_EQ(label.vms[1].name, "vm1");
    EXPECT_EQ(label.vms[1].vm_disks.size(), 2u);
    ASSERT_EQ(label.datacenters.size(), 2u);
    EXPECT_EQ(label.datacenters[1].organization.id, "o1");
    EXPECT_EQ(label.clusters.at(0).id, "c1");
    EXPECT_EQ(label.hosts.at(0).cpu_cores, -1);
    EXPECT_EQ(label.vm_volumes.at(0).id, "vol1");

    // Without "organization" a datacenter element is a reference, even with more keys.
    Label no_org;
    ASSERT_TRUE(no_org.load(edited(label_body(), drop("datacenters.1.organization"))));
    EXPECT_EQ(no_org.datacenters.at(1).id, "d2");
    EXPECT_TRUE(no_org.datacenters.at(1).name.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST(AccountRecords, LabelSettingSendsOnlyIds) {
    smartx::Label_Setting setting;
    EXPECT_EQ(setting.dump(), Object());
    setting.vms = {{"a", "vm a"}, {"b", "vm b"}};
    EXPECT_EQ(setting.dump(), body(R"({"vms": {"id_in": ["a", "b"]}})"));
}

TEST(AccountRecords, TaskProgressAndOptionalParts) {
    Task task;
    ASSERT_TRUE(task.load(edited(edited(task_body(), drop("cluster")), drop("user"))));
    EXPECT_EQ(task.progress, 100.0);
    EXPECT_TRUE(task.cluster.id.empty());
    EXPECT_TRUE(task.user.name.empty());

    Task huge;
    ASSERT_TRUE(huge.load(edited(task_body(), put("progress", HUGE_NUMBER))));
    EXPECT_EQ(huge.progress, 18446744073709551616.0);
}

TEST(AccountRecords, RolesAndTheirTables) {
    Log_Capture log;
    User user;
    ASSERT_TRUE(user.load(user_body()));
    ASSERT_EQ(user.roles.size(), 2u);
    // A role without "platform" is a reference: no preset, no actions.
    EXPECT_EQ(user.roles[0].id, "r1");
    EXPECT_TRUE(user.roles[0].preset.empty());
    EXPECT_TRUE(user.roles[0].actions.empty());
    EXPECT_EQ(user.roles[0].get_preset(), Role::Preset::UNKNOWN);
    EXPECT_EQ(user.roles[1].actions, std::vector<std::string>{"*"});
    EXPECT_EQ(user.roles[1].get_preset(), Role::Preset::ADMIN);

    // The same name, different values in the two tables.
    EXPECT_EQ(user.get_role(), User::Role_Type::ROOT);
    EXPECT_EQ(static_cast<int>(user.get_role()), 3);
    Role root;
    root.preset = "ROOT";
    EXPECT_EQ(static_cast<int>(root.get_preset()), 4);
    for (const char* name : {"", "SUPER", "root", "USER_ADMIN"}) {
        user.role = name;
        EXPECT_EQ(user.get_role(), User::Role_Type::UNKNOWN) << name;
    }
    root.preset = "USER_ADMIN";
    EXPECT_EQ(root.get_preset(), Role::Preset::USER_ADMIN);
    root.preset = "OPERATOR";
    EXPECT_EQ(root.get_preset(), Role::Preset::UNKNOWN);
    EXPECT_TRUE(log.lines().empty());

    // Actions before a bad one stay; the vector is appended to.
    Role partial;
    EXPECT_FALSE(
        partial.load(edited(role_body(), put("actions", Array{Value("a"), Value(1), Value("b")}))));
    EXPECT_EQ(partial.actions, std::vector<std::string>{"a"});
    Role twice;
    ASSERT_TRUE(twice.load(role_body()));
    ASSERT_TRUE(twice.load(role_body()));
    EXPECT_EQ(twice.actions.size(), 2u);
}
