#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/json_parser.h"

using namespace json_spirit;

namespace {

class Recorder : public YAJL_Handler {
public:
    std::vector<std::string> events;
    size_t stop_after = static_cast<size_t>(-1);

    int handle_null_i() override { return note("null"); }
    int handle_boolean_i(bool v) override { return note(v ? "true" : "false"); }
    int handle_integer_i(long long) override { return note("integer (unexpected)"); }
    int handle_double_i(double) override { return note("double (unexpected)"); }
    int handle_number_i(const char* s, size_t len) override {
        return note("number " + std::string(s, len));
    }
    int handle_string_i(const char* s, size_t len) override {
        return note("string " + std::string(s, len));
    }
    int handle_start_map_i() override { return note("start_map"); }
    int handle_map_key_i(const char* s, size_t len) override {
        return note("key " + std::string(s, len));
    }
    int handle_end_map_i() override { return note("end_map"); }
    int handle_start_array_i() override { return note("start_array"); }
    int handle_end_array_i() override { return note("end_array"); }

private:
    int note(const std::string& e) {
        events.push_back(e);
        return events.size() < stop_after ? 1 : 0;
    }
};

TEST(YajlHandler, EventsArriveInDocumentOrder) {
    Recorder r;
    ASSERT_TRUE(r.parse(R"({"a":[1,"x",true,null],"b":{}})"));
    const std::vector<std::string> expected = {
        "start_map", "key a",     "start_array", "number 1",  "string x", "true",
        "null",      "end_array", "key b",       "start_map", "end_map",  "end_map",
    };
    EXPECT_EQ(r.events, expected);
}

TEST(YajlHandler, EveryNumberArrivesAsText) {
    Recorder r;
    ASSERT_TRUE(r.parse("[18446744073709551616,-0.0,1E+2,-7]"));
    const std::vector<std::string> expected = {
        "start_array", "number 18446744073709551616", "number -0.0", "number 1E+2", "number -7",
        "end_array",
    };
    EXPECT_EQ(r.events, expected);
    Recorder top;
    ASSERT_TRUE(top.parse("42"));  // a bare number is only complete at the end of the text
    EXPECT_EQ(top.events, std::vector<std::string>{"number 42"});
}

TEST(YajlHandler, ZeroFromACallbackStopsTheParse) {
    Recorder r;
    r.stop_after = 2;
    std::string error;
    EXPECT_FALSE(r.parse(R"({"a":1,"b":2})", &error));
    EXPECT_EQ(r.events.size(), 2u);
    EXPECT_EQ(error, "parse cancelled by handler");
}

TEST(YajlHandler, MalformedTextReportsYajlsMessage) {
    Recorder r;
    std::string error;
    EXPECT_FALSE(r.parse("[1] x", &error));
    EXPECT_EQ(error, "parse error: trailing garbage");
    EXPECT_FALSE(r.parse("", 0, &error));
    EXPECT_NE(error.find("premature EOF"), std::string::npos);
}

TEST(YajlHandler, CallbackExceptionsReachTheCaller) {
    struct Thrower : YAJL_Handler {
        int handle_string_i(const char*, size_t) override { throw std::invalid_argument("boom"); }
    } t;
    EXPECT_THROW(t.parse(R"(["x"])"), std::invalid_argument);
    EXPECT_TRUE(t.parse("[1]"));
}

TEST(YajlHandler, ChunksMakeOneDocument) {
    Value v;
    JSON_Parser p(&v);
    std::string error;
    ASSERT_TRUE(p.parse_chunk(R"({"a": 12)", 8, &error));
    ASSERT_TRUE(p.parse_chunk(R"(34, "b": "x"})", 13, &error));
    ASSERT_TRUE(p.parse_complete(&error)) << error;
    EXPECT_EQ(v, Value(Object{{"a", Value(1234)}, {"b", Value("x")}}));

    EXPECT_FALSE(p.parse_chunk("[1,]", 4, &error));
    ASSERT_TRUE(p.parse_chunk("[2]", 3, &error));  // the failure ended the old document
    ASSERT_TRUE(p.parse_complete(&error));
    EXPECT_EQ(v, Value(Array{2}));
}

// Records where each string member was seen.
class PositionWatcher : public JSON_Parser {
public:
    using JSON_Parser::JSON_Parser;
    std::vector<std::string> seen;
    int handle_string_i(const char* s, size_t len) override {
        seen.push_back(std::string(s, len) + "@" + std::to_string(levels()) + ":" + key());
        return JSON_Parser::handle_string_i(s, len);
    }
    int handle_start_map_i() override {
        seen.push_back("{@" + std::to_string(levels()) + ":" + key());
        return JSON_Parser::handle_start_map_i();
    }
};

TEST(JsonParser, LevelsAndKeyDescribeThePosition) {
    Value v;
    PositionWatcher w(&v);
    EXPECT_EQ(w.levels(), 0);
    ASSERT_TRUE(w.parse(R"({"name":"x","inner":{"deep":"y","list":["z"]},"after":"w"})"));
    const std::vector<std::string> expected = {"{@0:",     "x@1:name", "{@1:inner",
                                               "y@2:deep", "z@3:",     "w@1:after"};
    EXPECT_EQ(w.seen, expected);
    EXPECT_EQ(w.levels(), 0);
    EXPECT_EQ(v.get_obj().at("inner").get_obj().at("list"), Value(Array{"z"}));
}

TEST(JsonParser, WithoutATargetEventsAreAccepted) {
    PositionWatcher w;
    ASSERT_TRUE(w.parse(R"({"a":{"b":"c"}})"));
    EXPECT_EQ(w.seen.back(), "c@2:b");
    EXPECT_EQ(w.result(), nullptr);
}

TEST(JsonParser, AFailedParseDoesNotLeakIntoTheNext) {
    Value v;
    JSON_Parser p(&v);
    EXPECT_FALSE(p.parse(R"([[1,{"a":)"));
    ASSERT_TRUE(p.parse("[2]"));
    EXPECT_EQ(v, Value(Array{2}));
}

TEST(JsonParser, DrivenDirectly) {
    Value v;
    JSON_Parser p(&v);
    p.handle_start_array_i();
    p.handle_integer_i(-5);
    p.handle_double_i(2.5);
    p.handle_number_i("9223372036854775808", 19);
    EXPECT_EQ(p.levels(), 1);
    EXPECT_EQ(p.handle_end_map_i(), 0);  // mismatched close is refused
    EXPECT_EQ(p.handle_map_key_i("k", 1), 0);
    p.handle_end_array_i();
    EXPECT_EQ(v, Value(Array{-5, 2.5, 9223372036854775808ull}));
}

}  // namespace
