// Messages, parameter objects and the path table, without a server.
#include <cctype>
#include <map>
#include <set>

#include "rest_test_support.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/error.h"
#include "smartx/common/message.h"
#include "smartx/common/message_generator.h"
#include "smartx/common/user.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_setting.h"

namespace rest_test {
namespace {

using smartx::Message;
using smartx::Version;

const Version cloudtower(Version::CLOUDTOWER, "4.1.0");

// The names of the types LOGIN to ADD_LABELS_TO_RESOURCES, in value order.
const char* const TYPE_NAMES[] = {"LOGIN",
                                  "GET_MY_INFO",
                                  "GET_USER_ROLE_NEXTS",
                                  "QUERY_DATACENTERS",
                                  "QUERY_CLUSTERS",
                                  "QUERY_HOSTS",
                                  "QUERY_FOLDERS",
                                  "QUERY_VMS",
                                  "QUERY_VM_SNAPSHOTS",
                                  "QUERY_VM_DISKS",
                                  "QUERY_VM_NICS",
                                  "QUERY_VM_VOLUMES",
                                  "QUERY_VM_VOLUME_SNAPSHOTS",
                                  "QUERY_ISCSI_LUNS",
                                  "QUERY_ISCSI_LUN_SNAPSHOTS",
                                  "QUERY_LABELS",
                                  "QUERY_DATA_STORAGES",
                                  "QUERY_VLANS",
                                  "QUERY_VDS",
                                  "QUERY_GPU_DEVICES",
                                  "QUERY_USB_DEVICES",
                                  "QUERY_STORAGE_POLICY",
                                  "QUERY_TASKS",
                                  "QUERY_VERSION",
                                  "CREATE_VM",
                                  "CREATE_VM_SNAPSHOT",
                                  "UPDATE_VM_BASIC_INFO",
                                  "UPDATE_VM_ADVANCED_OPTIONS",
                                  "CREATE_VM_VOLUME",
                                  "CREATE_VM_VOLUME_SNAPSHOT",
                                  "ADD_VM_DISK",
                                  "UPDATE_VM_DISK",
                                  "REMOVE_VM_DISK",
                                  "DELETE_VM_SNAPSHOT",
                                  "DELETE_VM",
                                  "DELETE_VM_VOLUME_SNAPSHOT",
                                  "DELETE_VM_VOLUME",
                                  "START_VM",
                                  "RESTART_VM",
                                  "FORCE_RESTART_VM",
                                  "SHUTDOWN_VM",
                                  "POWEROFF_VM",
                                  "SUSPEND_VM",
                                  "RESUME_VM",
                                  "MOVE_VM_TO_RECYCLE",
                                  "RECOVER_VM_FROM_RECYCLE",
                                  "ADD_LABELS_TO_RESOURCES"};

// "/v2/api/" + the name in lower case with "-" for "_", QUERY_ read as "get-".
std::string path_by_rule(std::string name) {
    if (name.compare(0, 6, "QUERY_") == 0)
        name = "GET_" + name.substr(6);
    for (char& c : name)
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "/v2/api/" + name;
}

Object datacenter_record() {
    return ct_test::fixture_record("datacenters", "dc-hangzhou");
}

TEST(Uri_Table, EveryPathFollowsTheRuleButFourNamedOnes) {
    static_assert(sizeof(TYPE_NAMES) / sizeof(TYPE_NAMES[0]) == smartx::CLOUDTOWER_URI_COUNT,
                  "one name per path");
    const std::map<std::string, std::string> departures = {
        {"QUERY_FOLDERS", "/v2/api/get-vm-folders"},
        {"QUERY_DATA_STORAGES", "/v2/api/get-data-stores"},
        {"QUERY_VDS", "/v2/api/get-vdses"},
        {"QUERY_STORAGE_POLICY", "/v2/api/get-elf-storage-policies"}};
    std::set<std::string> seen;
    Log_Capture log;
    for (int t = 0; t < smartx::CLOUDTOWER_URI_COUNT; ++t) {
        auto d = departures.find(TYPE_NAMES[t]);
        const std::string expected =
            d != departures.end() ? d->second : path_by_rule(TYPE_NAMES[t]);
        EXPECT_EQ(expected, smartx::get_uri(cloudtower, static_cast<Message::Type>(t)))
            << TYPE_NAMES[t];
        EXPECT_EQ(expected, smartx::CLOUDTOWER_URI_LIST[t]) << TYPE_NAMES[t];
        seen.insert(expected);
    }
    EXPECT_EQ(47u, seen.size());
    // Types without a path resolve to nothing, quietly.
    EXPECT_EQ("", smartx::get_uri(cloudtower, Message::ERROR));
    EXPECT_EQ("", smartx::get_uri(cloudtower, Message::UNKNOWN));
    EXPECT_TRUE(log.lines().empty());
}

TEST(Uri_Table, OnlyTheVersionQueryEscapesTheVersionRule) {
    Log_Capture log;
    const Version old_tower(Version::CLOUDTOWER, "2.8.0");
    EXPECT_EQ("/v2/api/get-version", smartx::get_uri(old_tower, Message::QUERY_VERSION));
    EXPECT_EQ("", smartx::get_uri(old_tower, Message::LOGIN));
    EXPECT_EQ("", smartx::get_uri(old_tower, Message::ERROR));  // refused before the type matters
    ASSERT_EQ(2u, log.lines().size());
    EXPECT_EQ("Failed to get cloudtower uri, details: version CloudTower/2.8.0 is not supported.\n",
              log.lines()[0].text);
    EXPECT_EQ(LM_ERROR, log.lines()[0].priority);

    log.clear();
    Version unknown_number;
    unknown_number.platform = Version::CLOUDTOWER;
    EXPECT_EQ("/v2/api/get-version", smartx::get_uri(unknown_number, Message::QUERY_VERSION));
    EXPECT_EQ("", smartx::get_uri(unknown_number, Message::QUERY_VMS));
    EXPECT_EQ(
        std::vector<std::string>{
            "Failed to get cloudtower uri, details: version  is not supported.\n"},
        log.texts());

    log.clear();
    EXPECT_EQ("", smartx::get_uri(Version(Version::FISHEYE, "2.0"), Message::QUERY_VERSION));
    EXPECT_EQ(
        std::vector<std::string>{
            "Failed to get cloudtower uri, details: version FishEye/2.0 is not supported.\n"},
        log.texts());
}

TEST(Message_Test, EmptyMessagesAreRefusedOnBothSides) {
    Version no_number;
    no_number.platform = Version::CLOUDTOWER;
    smartx::Query_Params params;
    EXPECT_FALSE(
        smartx::Single_Item_Request<smartx::Query_Params>(no_number, Message::QUERY_VERSION, params)
            .empty());
    EXPECT_TRUE(
        smartx::Single_Item_Request<smartx::Query_Params>(no_number, Message::QUERY_VMS, params)
            .empty());
    EXPECT_TRUE(
        smartx::Single_Item_Request<smartx::Query_Params>(cloudtower, Message::UNKNOWN, params)
            .empty());

    smartx::Message_Generator generator;
    Log_Capture log;
    std::string uri = "untouched";
    Value body;
    EXPECT_FALSE(generator.generate(
        smartx::Single_Item_Request<smartx::Query_Params>(Version(), Message::QUERY_VMS, params),
        uri, body));
    std::vector<smartx::VM> vms;
    smartx::Multi_Item_Response<smartx::VM> response(cloudtower, Message::UNKNOWN, vms);
    EXPECT_FALSE(generator.generate(200, Value(Array()), response));
    EXPECT_EQ(std::vector<std::string>(2, "Failed to generate request, it's empty.\n"),
              log.texts());
}

TEST(Params_Test, WhereKeepsTheFirstValueScalarsAreReplaced) {
    smartx::Query_Params q;
    q.where("name", "a").where("name", "b").skip(0).skip(100).first(100).order_by("name_ASC");
    EXPECT_EQ(
        parse(R"({"where": {"name": "a"}, "skip": 100, "first": 100, "orderBy": "name_ASC"})"),
        Value(q.dump()));

    // A "where" that is not an object is replaced by one.
    smartx::Query_Params odd;
    odd.insert("where", "name = x");
    odd.where("id", "v1");
    EXPECT_EQ(parse(R"({"where": {"id": "v1"}})"), Value(odd.dump()));

    smartx::Update_Params u;
    u.where("id", "vm1");
    u.update(Object{{"name", Value("n1")}});
    u.update(Object{{"name", Value("n2")}});
    EXPECT_EQ(parse(R"({"where": {"id": "vm1"}, "data": {"name": "n2"}})"), Value(u.dump()));

    smartx::Query_Params none;
    EXPECT_EQ(Value(Object()), (smartx::Single_Item_Request<smartx::Query_Params>(
                                    cloudtower, Message::QUERY_VMS, none)
                                    .dump()));
}

TEST(Request_Body_Test, LoginBodyCarriesLocalSourceAndAWipingPassword) {
    smartx::Login_Info info;
    info.username = "admin";
    info.secure_pwd = "s3cret";
    info.secure_token = "never-sent";
    Value body =
        smartx::Single_Item_Request<smartx::Login_Info>(cloudtower, Message::LOGIN, info).dump();
    ASSERT_EQ(json_spirit::obj_type, body.type());
    const Object& o = body.get_obj();
    EXPECT_EQ(3u, o.size());
    EXPECT_EQ("admin", o.at("username").get_str());
    EXPECT_EQ("LOCAL", o.at("source").get_str());
    EXPECT_EQ(json_spirit::secure_str_type, o.at("password").type());
    EXPECT_EQ("s3cret", o.at("password").get_str());
}

TEST(Request_Body_Test, ListBodies) {
    smartx::VM_Snapshot_Setting snap;
    snap.name = "s1";
    snap.vm_id = "vm1";
    snap.consistent_type = "CRASH_CONSISTENT";
    std::vector<smartx::VM_Snapshot_Setting> snaps{snap, snap};
    Value body = smartx::Multi_Item_Request<smartx::VM_Snapshot_Setting>(
                     cloudtower, Message::CREATE_VM_SNAPSHOT, snaps)
                     .dump();
    EXPECT_EQ(Value(Object{{"data", Value(Array{Value(snap.dump()), Value(snap.dump())})}}), body);

    // A new VM is created from its basic settings alone.
    smartx::VM_Setting vm;
    vm.name = "new-vm";
    vm.vm_advanced_options.clock_offset = "UTC";
    std::vector<smartx::VM_Setting> vms{vm};
    body =
        smartx::Multi_Item_Request<smartx::VM_Setting>(cloudtower, Message::CREATE_VM, vms).dump();
    ASSERT_EQ(json_spirit::array_type, body.type());
    ASSERT_EQ(1u, body.get_array().size());
    EXPECT_EQ(Value(vm.dump_basic_setting()), body.get_array()[0]);
    EXPECT_NE(Value(vm.dump()), body.get_array()[0]);

    std::vector<smartx::VM_Volume_Setting> none;
    EXPECT_EQ(Value(Array()), smartx::Multi_Item_Request<smartx::VM_Volume_Setting>(
                                  cloudtower, Message::CREATE_VM_VOLUME, none)
                                  .dump());
}

TEST(List_Load_Test, AppendsSkipsNonObjectsAndStopsAtABadRecord) {
    std::vector<smartx::Datacenter> items(1);
    items[0].id = "held-before";
    smartx::Multi_Item_Response<smartx::Datacenter> response(cloudtower, Message::QUERY_DATACENTERS,
                                                             items);

    EXPECT_TRUE(response.load(Value(Array())));
    EXPECT_EQ(1u, items.size());

    Object good = datacenter_record();
    EXPECT_TRUE(response.load(Value(Array{Value(1), Value(good), Value("x")})));
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ("held-before", items[0].id);
    EXPECT_EQ("dc-hangzhou", items[1].name);

    Object bad = good;
    bad.erase("name");
    Log_Capture log;
    EXPECT_FALSE(response.load(Value(Array{Value(good), Value(bad), Value(good)})));
    EXPECT_EQ(3u, items.size());  // the record before the bad one stays

    log.clear();
    EXPECT_FALSE(response.load(Value(good)));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(LM_EMERGENCY, log.lines()[0].priority);
    const std::string& line = log.lines()[0].text;
    EXPECT_EQ(0u, line.find("Unexpected error in ")) << line;
    EXPECT_NE(std::string::npos, line.find(", body is not array!\n")) << line;
}

TEST(Task_Load_Test, TaskAnswers) {
    Log_Capture log;
    smartx::Async_Task<smartx::Identity> task;
    EXPECT_TRUE(task.load(parse(R"({"data": {"id": "vm1"}})")));
    EXPECT_EQ("", task.task_id);
    EXPECT_EQ("vm1", task.data.id);
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(task.load(parse(R"({"task_id": "t1"})")));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse task, details: "))
        << log.lines()[0].text;

    log.clear();
    EXPECT_FALSE(task.load(parse(R"({"task_id": "t1", "data": {"name": "no id"}})")));
    EXPECT_EQ("Failed to load data.\n", log.texts().back());

    log.clear();
    EXPECT_FALSE(task.load(parse(R"([{"task_id": "t1", "data": {"id": "vm1"}}])")));
    EXPECT_EQ(0u, log.texts().at(0).find("Failed to parse task, details: "));
}

TEST(Task_Load_Test, LoginAnswerNeedsItsToken) {
    Log_Capture log;
    smartx::Async_Task<smartx::Login_Info> answer;
    EXPECT_TRUE(answer.load(parse(R"({"task_id": null, "data": {"token": "tok"}})").get_obj()));
    EXPECT_EQ("tok", std::string(answer.data.secure_token.c_str()));
    EXPECT_FALSE(answer.load(parse(R"({"task_id": null, "data": {}})").get_obj()));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse login info, details: "))
        << log.lines()[0].text;
}

TEST(Platform_Test, OtherPlatformsSendNothingAndLoadOnlyTheVersion) {
    const Version fisheye(Version::FISHEYE, "2.0");
    smartx::Query_Params params;
    params.where("id", "x");
    smartx::Login_Info info;
    info.secure_pwd = "pw";
    std::vector<smartx::VM_Volume_Setting> volumes(1);
    EXPECT_TRUE(
        smartx::Single_Item_Request<smartx::Query_Params>(fisheye, Message::QUERY_VMS, params)
            .dump()
            .is_null());
    EXPECT_TRUE(smartx::Single_Item_Request<smartx::Login_Info>(fisheye, Message::LOGIN, info)
                    .dump()
                    .is_null());
    EXPECT_TRUE(smartx::Multi_Item_Request<smartx::VM_Volume_Setting>(
                    fisheye, Message::CREATE_VM_VOLUME, volumes)
                    .dump()
                    .is_null());

    Log_Capture log;
    std::vector<smartx::Datacenter> dcs;
    smartx::Multi_Item_Response<smartx::Datacenter> list(fisheye, Message::QUERY_DATACENTERS, dcs);
    EXPECT_FALSE(list.load(Value(Array{Value(datacenter_record())})));
    EXPECT_TRUE(dcs.empty());
    smartx::Error error;
    smartx::Single_Item_Response<smartx::Error> error_channel(fisheye, Message::ERROR, error);
    EXPECT_FALSE(error_channel.load(parse(R"({"status": 401, "path": "/x", "message": "m"})")));
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(log.lines().empty());

    Version found = fisheye;
    smartx::Single_Item_Response<Version> version(fisheye, Message::QUERY_VERSION, found);
    EXPECT_TRUE(version.load(Value("\"2.1.0\"")));
    EXPECT_EQ("FishEye/2.1.0", found.str());
}

TEST(Platform_Test, SingleAnswersThatAreNotObjectsFailQuietly) {
    smartx::User user;
    smartx::Single_Item_Response<smartx::User> response(cloudtower, Message::GET_MY_INFO, user);
    EXPECT_FALSE(response.load(Value()));
    EXPECT_FALSE(response.load(Value(Array())));
    EXPECT_FALSE(response.load(Value("text")));
}

}  // namespace
}  // namespace rest_test
