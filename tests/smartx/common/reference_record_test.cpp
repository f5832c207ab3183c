// The load conventions every resource record follows, on a record built the
// way the resource records are, and the reference records it points with.
#include "host/json_spirit/json_io.h"
#include "smartx/common/item.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace json_spirit;
using smartx::Host_Identity;
using smartx::Item_Identity;
using smartx::Item_Label;

namespace {
struct Sample {
    std::string id;
    int count = -1;
    int64_t size = -1;
    unsigned short port = 0;
    double used = -1.0;
    bool ha = false;
    Item_Identity cluster;
    std::vector<Item_Label> labels;
    std::vector<Host_Identity> hosts;

    bool load(const Object& obj) {
        using namespace smartx;
        return try_load("Failed to parse sample, details: %s.\n",
                        [&] {
                            extract_or_throw(obj)("id", id, true)("count", count, false)(
                                "size", size, false)("port", port, true)("used", used, true)(
                                "ha", ha, false);
                        }) &&
               load_part(load_item_in_object(obj, "cluster", cluster, true),
                         "Failed to parse cluster in sample.\n") &&
               load_part(load_items_in_object(obj, "labels", labels, false),
                         "Failed to parse labels in sample.\n") &&
               load_part(load_items_in_object(obj, "hosts", hosts, true),
                         "Failed to parse hosts in sample.\n");
    }

    // The scalars, doubles exact: "id count size port used ha".
    std::string scalars() const {
        char text[200];
        std::snprintf(text, sizeof text, "%s %d %lld %d %.17g %d", id.c_str(), count,
                      static_cast<long long>(size), port, used, ha);
        return text;
    }
    // The parts: "cluster [labels] [hosts]".
    std::string parts() const {
        std::string s = cluster.id + "/" + cluster.name + " [";
        for (const Item_Label& l : labels)
            s += " " + l.id;
        s += "] [";
        for (const Host_Identity& h : hosts)
            s += " " + h.id;
        return s + "]";
    }
};

Value host(const char* id) {
    return Object_Maker()("id", id)("name", "n")("management_ip", "10.0.0.1");
}

Object full() {
    return Object_Maker()("id", "s1")("count", 3)("size", 5000000000L)("port", 8080)("used", 4096)(
               "ha", true)("cluster", Object_Maker()("id", "c")("name", "cn"))(
               "labels", Array{Object_Maker()("id", "l1")})("hosts", Array{host("h1"), host("h2")})
        .get_obj();
}

const char* const S = "s1 3 5000000000 8080 4096 1";
const char* const P = "c/cn [ l1] [ h1 h2]";
const char* const NO_PARTS = "/ [] []";
const char* const PORT =
    "Failed to parse sample, details: 'port' is expected as 16-bit unsigned integer.\n";
const char* const CLUSTER = "Failed to parse cluster in sample.\n";
}  // namespace

TEST(RecordLoad, EditsOfAFullBody) {
    const struct {
        const char* key;
        std::optional<Value> value;  // none: the key is removed
        std::vector<std::string> log;
        const char* scalars;
        const char* parts;
    } rows[] = {
        {"id", Value("s1"), {}, S, P},
        // Optional keys absent, mistyped, null or too wide keep their defaults.
        {"count", std::nullopt, {}, "s1 -1 5000000000 8080 4096 1", P},
        {"count", Value((int64_t(1) << 32) + 5), {}, "s1 -1 5000000000 8080 4096 1", P},
        {"size", Value("big"), {}, "s1 3 -1 8080 4096 1", P},
        {"ha", Value(1), {}, "s1 3 5000000000 8080 4096 0", P},
        // Doubles take the whole unsigned range and reals.
        {"used", Value(UINT64_MAX), {}, "s1 3 5000000000 8080 1.8446744073709552e+19 1", P},
        {"used", Value(0.25), {}, "s1 3 5000000000 8080 0.25 1", P},
        // A required key that does not fit fails; what was read before stays.
        {"used",
         Value("1"),
         {"Failed to parse sample, details: 'used' is expected as number.\n"},
         "s1 3 5000000000 8080 -1 0",
         NO_PARTS},
        {"port", Value(70000), {PORT}, "s1 3 5000000000 0 -1 0", NO_PARTS},
        {"port", Value(-1), {PORT}, "s1 3 5000000000 0 -1 0", NO_PARTS},
        // A missing required part stops before the later ones, with no message of its own.
        {"cluster", Value(), {CLUSTER}, S, NO_PARTS},
        {"cluster", std::nullopt, {CLUSTER}, S, NO_PARTS},
        // A part that is there but not an object is broken, not missing.
        {"cluster",
         Value("c"),
         {"Failed to load Item_Identity from JSON: json_spirit: value is a string, not an object\n",
          CLUSTER},
         S,
         NO_PARTS},
        {"cluster",
         Object_Maker()("id", "c")("name", 5),
         {"Failed to load Item_Identity from JSON: 'name' is expected as string\n", CLUSTER},
         S,
         "c/ [] []"},
        // Lists: null or of another type is absent; elements that are not objects are skipped.
        {"labels", Value(), {}, S, "c/cn [] [ h1 h2]"},
        {"labels",
         Array{Value(1), Object_Maker()("id", "a"), Value("s"), Value(), Object_Maker()("id", "b")},
         {},
         S,
         "c/cn [ a b] [ h1 h2]"},
        {"hosts", Object(), {"Failed to parse hosts in sample.\n"}, S, "c/cn [ l1] []"},
        // The first element that fails stops the list; those before it stay.
        {"hosts",
         Array{host("h1"), Object_Maker()("id", "h2")("name", "n"), host("h3")},
         {"Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n",
          "Failed to parse hosts in sample.\n"},
         S,
         "c/cn [ l1] [ h1]"},
    };
    for (const auto& row : rows) {
        Object obj = full();
        if (row.value)
            obj[row.key] = *row.value;
        else
            obj.erase(row.key);
        SCOPED_TRACE(std::string(row.key) + " = " +
                     (row.value ? json_spirit::write(*row.value) : "absent"));
        Log_Capture log;
        Sample s;
        EXPECT_EQ(s.load(obj), row.log.empty());
        EXPECT_EQ(log.texts(), row.log);
        EXPECT_EQ(s.scalars(), row.scalars);
        EXPECT_EQ(s.parts(), row.parts);
    }
}

TEST(RecordLoad, ARepeatedLoadAppendsToLists) {
    Sample s;
    ASSERT_TRUE(s.load(full()));
    ASSERT_TRUE(s.load(full()));
    EXPECT_EQ(s.parts(), "c/cn [ l1 l1] [ h1 h2 h1 h2]");
}

TEST(ReferenceRecords, AnIdentityIsEmptyWhenEitherPartIs) {
    for (const Item_Identity& item :
         {Item_Identity{}, Item_Identity{"a", ""}, Item_Identity{"", "n"}})
        EXPECT_TRUE(item.empty()) << item.id << "/" << item.name;
    Item_Identity item{"a", "n"};
    EXPECT_FALSE(item.empty());
    item.clear();
    EXPECT_TRUE(item.id.empty() && item.name.empty());
}

TEST(ReferenceRecords, AMutationAnswerNeedsItsId) {
    Log_Capture log;
    smartx::Identity ident;
    EXPECT_TRUE(ident.load(Object_Maker()("id", "i").get_obj()));
    EXPECT_EQ(ident.id, "i");
    EXPECT_FALSE(smartx::Identity().load(Object()));
    EXPECT_EQ(log.texts(), std::vector<std::string>{
                               "Failed to parse identity, details: 'id' is expected as string.\n"});
}
