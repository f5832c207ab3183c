#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/json_parser.h"

using namespace json_spirit;

namespace {

// Every event as text, comma-separated; a callback returns 0 after stop_after.
class Recorder : public YAJL_Handler {
public:
    std::string events;
    size_t count = 0, stop_after = static_cast<size_t>(-1);

    int handle_null_i() override { return note("null"); }
    int handle_boolean_i(bool v) override { return note(v ? "true" : "false"); }
    int handle_integer_i(long long) override { return note("integer (unexpected)"); }
    int handle_double_i(double) override { return note("double (unexpected)"); }
    int handle_number_i(const char* s, size_t n) override { return note("#" + std::string(s, n)); }
    int handle_string_i(const char* s, size_t n) override { return note("'" + std::string(s, n)); }
    int handle_start_map_i() override { return note("{"); }
    int handle_map_key_i(const char* s, size_t n) override { return note(std::string(s, n) + ":"); }
    int handle_end_map_i() override { return note("}"); }
    int handle_start_array_i() override { return note("["); }
    int handle_end_array_i() override { return note("]"); }

private:
    int note(const std::string& e) {
        events += (events.empty() ? "" : ",") + e;
        return ++count < stop_after ? 1 : 0;
    }
};

TEST(YajlHandler, EventsArriveInDocumentOrderWithEveryNumberAsText) {
    const std::pair<const char*, const char*> rows[] = {
        {R"({"a":[1,"x",true,null],"b":{}})", "{,a:,[,#1,'x,true,null,],b:,{,},}"},
        {"[18446744073709551616,-0.0,1E+2,-7]", "[,#18446744073709551616,#-0.0,#1E+2,#-7,]"},
        {"42", "#42"},  // a bare number is only complete at the end of the text
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        Recorder r;
        ASSERT_TRUE(r.parse(row.first));
        EXPECT_EQ(r.events, row.second);
    }
}

TEST(YajlHandler, FailuresSayWhy) {
    Recorder r;
    r.stop_after = 2;
    std::string error;
    EXPECT_FALSE(r.parse(R"({"a":1,"b":2})", &error));
    EXPECT_EQ(r.events, "{,a:");
    EXPECT_EQ(error, "parse cancelled by handler");

    Recorder bad;
    EXPECT_FALSE(bad.parse("[1] x", &error));
    EXPECT_EQ(error, "parse error: trailing garbage");
    EXPECT_FALSE(bad.parse("", 0, &error));
    EXPECT_NE(error.find("premature EOF"), std::string::npos);

    struct Thrower : YAJL_Handler {
        int handle_string_i(const char*, size_t) override { throw std::invalid_argument("boom"); }
    } t;
    EXPECT_THROW(t.parse(R"(["x"])"), std::invalid_argument);
    EXPECT_TRUE(t.parse("[1]"));
}

TEST(JsonParser, ChunksMakeOneDocumentAndAFailureDoesNotLeakIntoTheNext) {
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

    EXPECT_FALSE(p.parse(R"([[1,{"a":)"));
    ASSERT_TRUE(p.parse("[3]"));
    EXPECT_EQ(v, Value(Array{3}));
}

// Records where each string member and object was seen.
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

    PositionWatcher no_target;
    ASSERT_TRUE(no_target.parse(R"({"a":{"b":"c"}})"));
    EXPECT_EQ(no_target.seen.back(), "c@2:b");
    EXPECT_EQ(no_target.result(), nullptr);
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
