// Messages, parameter objects and the path table, without a server.
#include "smartx/common/message.h"
#include "rest_test_support.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/error.h"
#include "smartx/common/message_generator.h"
#include "smartx/common/user.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_setting.h"

namespace rest_test {
namespace {

using smartx::Message;
using smartx::Version;

const Version cloudtower(Version::CLOUDTOWER, "4.1.0");

Object datacenter_record() {
    return ct_test::fixture_record("datacenters", "dc-hangzhou");
}

TEST(UriTable, OnlyTheVersionQueryEscapesTheVersionRule) {
    Version no_number;
    no_number.platform = Version::CLOUDTOWER;
    const std::string refused = "Failed to get cloudtower uri, details: version ";
    struct Row {
        Version version;
        Message::Type type;
        std::string uri;
        std::string log;  // "": none
    } rows[] = {
        // Types without a path resolve to nothing, quietly.
        {cloudtower, Message::ERROR, "", ""},
        {cloudtower, Message::UNKNOWN, "", ""},
        // Refused before the type matters.
        {Version(Version::CLOUDTOWER, "2.8.0"), Message::ERROR, "",
         refused + "CloudTower/2.8.0 is not supported.\n"},
        {no_number, Message::QUERY_VERSION, "/v2/api/get-version", ""},
        {no_number, Message::QUERY_VMS, "", refused + " is not supported.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version.str() + " " + std::to_string(static_cast<int>(row.type)));
        Log_Capture log;
        EXPECT_EQ(row.uri, smartx::get_uri(row.version, row.type));
        EXPECT_EQ(row.log.empty() ? std::vector<std::string>() : std::vector<std::string>{row.log},
                  log.texts());
        EXPECT_TRUE(log.lines().empty() || log.lines()[0].priority == LM_ERROR);
    }
}

TEST(MessageGenerator, EmptyMessagesAreRefusedOnBothSides) {
    Version no_number;
    no_number.platform = Version::CLOUDTOWER;
    smartx::Query_Params params;
    using Query_Request = smartx::Single_Item_Request<smartx::Query_Params>;
    EXPECT_FALSE(Query_Request(no_number, Message::QUERY_VERSION, params).empty());
    EXPECT_TRUE(Query_Request(no_number, Message::QUERY_VMS, params).empty());
    EXPECT_TRUE(Query_Request(cloudtower, Message::UNKNOWN, params).empty());

    smartx::Message_Generator generator;
    Log_Capture log;
    std::string uri = "untouched";
    Value body;
    EXPECT_FALSE(
        generator.generate(Query_Request(Version(), Message::QUERY_VMS, params), uri, body));
    std::vector<smartx::VM> vms;
    smartx::Multi_Item_Response<smartx::VM> response(cloudtower, Message::UNKNOWN, vms);
    EXPECT_FALSE(generator.generate(200, Value(Array()), response));
    EXPECT_EQ(std::vector<std::string>(2, "Failed to generate request, it's empty.\n"),
              log.texts());
}

TEST(Params, WhereKeepsTheFirstValueScalarsAreReplaced) {
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
    u.where("id", "vm1")
        .update(Object{{"name", Value("n1")}})
        .update(Object{{"name", Value("n2")}});
    EXPECT_EQ(parse(R"({"where": {"id": "vm1"}, "data": {"name": "n2"}})"), Value(u.dump()));
}

// The body's text is checked at the simulator; here, that the password wipes itself.
TEST(RequestBody, LoginPasswordIsASecureString) {
    smartx::Login_Info info;
    info.secure_pwd = "s3cret";
    Value body =
        smartx::Single_Item_Request<smartx::Login_Info>(cloudtower, Message::LOGIN, info).dump();
    EXPECT_EQ(json_spirit::secure_str_type, body.get_obj().at("password").type());
}

TEST(ListLoad, AppendsSkipsNonObjectsAndStopsAtABadRecord) {
    std::vector<smartx::Datacenter> items(1);
    items[0].id = "held-before";
    smartx::Multi_Item_Response<smartx::Datacenter> response(cloudtower, Message::QUERY_DATACENTERS,
                                                             items);
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

TEST(TaskLoad, TaskAndLoginAnswers) {
    struct Row {
        const char* answer;
        std::string log;  // the start of the last line logged; "": loads
    } rows[] = {
        {R"({"data": {"id": "vm1"}})", ""},
        {R"({"task_id": "t1"})", "Failed to parse task, details: "},
        {R"({"task_id": "t1", "data": {"name": "no id"}})", "Failed to load data.\n"},
        {R"([{"task_id": "t1", "data": {"id": "vm1"}}])", "Failed to parse task, details: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answer);
        Log_Capture log;
        smartx::Async_Task<smartx::Identity> task;
        EXPECT_EQ(row.log.empty(), task.load(parse(row.answer)));
        EXPECT_EQ(row.log.empty() ? "vm1" : "", task.data.id);
        EXPECT_EQ(0u, (log.texts().empty() ? std::string() : log.texts().back()).find(row.log));
    }

    Log_Capture log;
    smartx::Async_Task<smartx::Login_Info> answer;
    EXPECT_TRUE(answer.load(parse(R"({"task_id": null, "data": {"token": "tok"}})").get_obj()));
    EXPECT_EQ("tok", std::string(answer.data.secure_token.c_str()));
    EXPECT_FALSE(answer.load(parse(R"({"task_id": null, "data": {}})").get_obj()));
    EXPECT_EQ(0u, log.texts().at(0).find("Failed to parse login info, details: "));
}

TEST(Platform, OtherPlatformsSendNothingAndLoadOnlyTheVersion) {
    const Version fisheye(Version::FISHEYE, "2.0");
    smartx::Query_Params params;
    smartx::Login_Info info;
    std::vector<smartx::VM_Volume_Setting> volumes(1);
    using smartx::Single_Item_Request;
    EXPECT_TRUE(Single_Item_Request<smartx::Query_Params>(fisheye, Message::QUERY_VMS, params)
                    .dump()
                    .is_null());
    EXPECT_TRUE(
        Single_Item_Request<smartx::Login_Info>(fisheye, Message::LOGIN, info).dump().is_null());
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
    // Single answers that are not objects fail quietly.
    smartx::User user;
    smartx::Single_Item_Response<smartx::User> me(cloudtower, Message::GET_MY_INFO, user);
    EXPECT_FALSE(me.load(Value(Array())));
}

}  // namespace
}  // namespace rest_test
