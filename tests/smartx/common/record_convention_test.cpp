// The load conventions every resource record follows, on a record built the
// way the resource records are.
#include "smartx/common/item.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using namespace json_spirit;

namespace {
struct Sample {
    std::string id;
    int count = -1;
    int64_t size = -1;
    unsigned short port = 0;
    double used = -1.0;
    double progress = -1.0;
    bool ha = false;
    smartx::Item_Identity cluster;
    std::vector<smartx::Item_Label> labels;
    std::vector<smartx::Host_Identity> hosts;

    bool load(const Object& obj) {
        return smartx::try_load("Failed to parse sample, details: %s.\n",
                                [&] {
                                    extract_or_throw(obj)("id", id, true)("count", count, false)(
                                        "size", size, false)("port", port, true)(
                                        "used", used, true)("progress", progress, false)("ha", ha,
                                                                                         false);
                                }) &&
               smartx::load_part(smartx::load_item_in_object(obj, "cluster", cluster, true),
                                 "Failed to parse cluster in sample.\n") &&
               smartx::load_part(smartx::load_items_in_object(obj, "labels", labels, false),
                                 "Failed to parse labels in sample.\n") &&
               smartx::load_part(smartx::load_items_in_object(obj, "hosts", hosts, true),
                                 "Failed to parse hosts in sample.\n");
    }
};

Value host(const char* id) {
    return Object_Maker()("id", id)("name", "n")("management_ip", "10.0.0.1");
}

Object full() {
    return Object_Maker()("id", "s1")("count", 3)("size", 1L << 40)("port", 8080)("used", 4096)(
               "progress", 12.5)("ha", true)("cluster", Object_Maker()("id", "c")("name", "cn"))(
               "labels", Array{Object_Maker()("id", "l1")})("hosts", Array{host("h1"), host("h2")})
        .get_obj();
}
}  // namespace

TEST(RecordLoad, FullBodyLoadsSilently) {
    Log_Capture log;
    Sample s;
    ASSERT_TRUE(s.load(full()));
    EXPECT_EQ(s.size, int64_t(1) << 40);
    EXPECT_EQ(s.port, 8080);
    EXPECT_EQ(s.used, 4096.0);
    EXPECT_EQ(s.progress, 12.5);
    EXPECT_EQ(s.cluster.name, "cn");
    EXPECT_EQ(s.labels.size(), 1u);
    EXPECT_EQ(s.hosts.size(), 2u);
    EXPECT_TRUE(log.lines().empty());
}

TEST(RecordLoad, OptionalKeysAbsentMistypedOrTooWideKeepTheirDefaults) {
    Log_Capture log;
    Object obj = full();
    obj.erase("count");
    obj["size"] = Value("big");
    obj["progress"] = Value();
    obj["ha"] = Value(1);
    Sample s;
    ASSERT_TRUE(s.load(obj));
    EXPECT_EQ(s.count, -1);
    EXPECT_EQ(s.size, -1);
    EXPECT_EQ(s.progress, -1.0);
    EXPECT_FALSE(s.ha);

    // 2^32+5 never becomes 5.
    obj["count"] = Value(static_cast<long>((int64_t(1) << 32) + 5));
    Sample wide;
    ASSERT_TRUE(wide.load(obj));
    EXPECT_EQ(wide.count, -1);
    EXPECT_TRUE(log.lines().empty());
}

TEST(RecordLoad, RequiredNumbersThatDoNotFitFailTheLoad) {
    Log_Capture log;
    Object obj = full();
    obj["port"] = Value(70000);
    Sample s;
    EXPECT_FALSE(s.load(obj));
    // Never 4464; the key read before the failing one keeps its new value.
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(s.id, "s1");
    EXPECT_EQ(s.size, int64_t(1) << 40);
    EXPECT_EQ(s.used, -1.0);
    EXPECT_TRUE(s.hosts.empty());

    obj["port"] = Value(-1);
    EXPECT_FALSE(Sample().load(obj));
    EXPECT_EQ(
        log.texts(),
        (std::vector<std::string>{
            "Failed to parse sample, details: 'port' is expected as 16-bit unsigned integer.\n",
            "Failed to parse sample, details: 'port' is expected as 16-bit unsigned integer.\n"}));
}

TEST(RecordLoad, DoubleKeysTakeIntegersRealsAndTheWholeUnsignedRange) {
    Object obj = full();
    obj["used"] = Value(std::numeric_limits<unsigned long>::max());
    Sample s;
    ASSERT_TRUE(s.load(obj));
    EXPECT_EQ(s.used, 18446744073709551616.0);

    obj["used"] = Value(0.25);
    ASSERT_TRUE(s.load(obj));
    EXPECT_EQ(s.used, 0.25);

    Log_Capture log;
    obj["used"] = Value("1");
    EXPECT_FALSE(Sample().load(obj));
    EXPECT_EQ(log.texts(), std::vector<std::string>{
                               "Failed to parse sample, details: 'used' is expected as number.\n"});
}

TEST(RecordLoad, ANestedFailureLogsBothMessagesAndKeepsEarlierParts) {
    Log_Capture log;
    Object obj = full();
    obj["hosts"] = Array{host("h1"), Object_Maker()("id", "h2")("name", "n"), host("h3")};
    Sample s;
    EXPECT_FALSE(s.load(obj));
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n",
                  "Failed to parse hosts in sample.\n"}));
    EXPECT_EQ(s.id, "s1");
    EXPECT_EQ(s.cluster.id, "c");
    EXPECT_EQ(s.labels.size(), 1u);
    ASSERT_EQ(s.hosts.size(), 1u);
    EXPECT_EQ(s.hosts[0].id, "h1");
}

TEST(RecordLoad, AMissingRequiredPartStopsBeforeLaterParts) {
    Log_Capture log;
    Object obj = full();
    obj["cluster"] = Value();
    Sample s;
    EXPECT_FALSE(s.load(obj));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Failed to parse cluster in sample.\n"});
    EXPECT_TRUE(s.labels.empty());
    EXPECT_TRUE(s.hosts.empty());
}

TEST(RecordLoad, NullOptionalListIsAbsentAndARepeatedLoadDoublesLists) {
    Log_Capture log;
    Object obj = full();
    obj["labels"] = Value();
    Sample s;
    ASSERT_TRUE(s.load(obj));
    EXPECT_TRUE(s.labels.empty());

    ASSERT_TRUE(s.load(full()));
    ASSERT_TRUE(s.load(full()));
    EXPECT_EQ(s.labels.size(), 2u);
    EXPECT_EQ(s.hosts.size(), 6u);
    EXPECT_TRUE(log.lines().empty());
}
