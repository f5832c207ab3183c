// JSON text: reading and writing through yajl, and the event parser.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/json_parser.h"
#include "host/json_spirit/json_writer.h"
#include "host/json_spirit/yajl_gen_value.h"

using namespace json_spirit;

namespace {

Value parsed(const std::string& text) {
    Value v;
    std::string error;
    EXPECT_TRUE(read(text, v, &error)) << text << ": " << error;
    return v;
}

TEST(JsonText, NumbersStringsAndKeysComeBackExact) {
    const Value ints(Array{Value(std::numeric_limits<int64_t>::min()),
                           Value(std::numeric_limits<uint64_t>::max()), Value(0)});
    EXPECT_EQ(write(ints), "[-9223372036854775808,18446744073709551615,0]");
    EXPECT_EQ(parsed(write(ints)), ints);
    for (double d :
         {0.1, 1e300, -0.0, 5e-324, 1.0 / 3, -2.5e-8, 100.0, std::numeric_limits<double>::max()}) {
        const std::string text = write(Value(Array{d}));
        const double back = parsed(text).get_array()[0].get_real();  // throws unless real
        EXPECT_EQ(0, std::memcmp(&back, &d, sizeof d)) << text;
        EXPECT_EQ(write(parsed(text)), text);
    }
    const std::string nasty("q\"b\\s/\n\t\x01 \0 \xc3\xa9 \xf0\x9f\x98\x80", 20);
    const Value v(Object{{nasty, Value(nasty)}});
    EXPECT_EQ(parsed(write(v)), v);
    EXPECT_EQ(parsed(write(v, true)), v);

    // Numbers past an integer type move up; duplicate keys keep the last.
    const std::pair<const char*, Value> rows[] = {
        {"9223372036854775808", Value(9223372036854775808ull)},
        {"18446744073709551616", Value(18446744073709551616.0)},
        {"-9223372036854775809", Value(-9223372036854775809.0)},
        {"-0", Value(0)},
        {"1E2", Value(100.0)},
        {"-1.5e-3", Value(-0.0015)},
        {R"({"a":1,"b":[],"a":{"c":2}})",
         Value(Object{{"a", Value(Object{{"c", Value(2)}})}, {"b", Value(Array())}})},
    };
    for (const auto& row : rows)
        EXPECT_EQ(parsed(row.first), row.second) << row.first;
}

TEST(JsonText, MalformedTextFailsAndClearsTheOutput) {
    for (const std::string text :
         {"",          "   ",      "{",        "[1,2",       "[1] x", "{\"a\":1}}", "\"\\q\"",
          "\"\\u12\"", "\"\xff\"", "\"\xc3\"", "{\"a\":1,}", "[01]",  "nul",        "{1:2}",
          "[1 2]",     "\"a\nb\"", "{\"a\"}",  "1.",         "-",     "[.5]"}) {
        Value v(Array{1});
        std::string error;
        EXPECT_FALSE(read(text, v, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_TRUE(v.is_null()) << text;
    }
}

// Reading takes any depth; yajl's generator stops at 128 levels.
TEST(JsonText, DeepNesting) {
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "{\"k\":[";
    text += "true";
    for (int i = 0; i < 5000; ++i)
        text += "]}";
    Value v = parsed(text);
    const Value* cur = &v;
    for (int i = 0; i < 5000; ++i)
        cur = &cur->get_obj().at("k").get_array().at(0);
    EXPECT_EQ(*cur, Value(true));
    EXPECT_EQ(write(v), "");
    for (int i = 0; i < 5000 - 50; ++i) {
        Value inner = std::move(v.get_obj().at("k").get_array().at(0));
        v = std::move(inner);
    }
    EXPECT_EQ(parsed(write(v)), v);
}

TEST(JsonText, UnwritableValuesFailInsteadOfEmittingBadJson) {
    for (double d : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), -HUGE_VAL}) {
        EXPECT_EQ(write(Value(Array{1, d})), "");
        std::ostringstream os;
        YAJL_OStream_Printer printer(os);
        EXPECT_EQ(yajl_gen_value(printer.gen(), Value(d)), yajl_gen_invalid_number);
    }
    EXPECT_EQ(write(Value(std::string("\xff"))), "");
    EXPECT_EQ(write(Value(Object{{"\xc3", Value(1)}})), "");
    EXPECT_TRUE(std::isinf(parsed("1e999").get_real()));  // strtod's answer
    EXPECT_EQ(write(parsed("1e999")), "");
}

TEST(JsonText, SecretsGoOutAsPlainStringsAndValuesFitAnOpenDocument) {
    const Value v(Object{{"password", Value(secure_string("hunter2"))}});
    EXPECT_EQ(write(v), R"({"password":"hunter2"})");
    std::ostringstream pretty;
    YAJL_OStream_Printer pretty_printer(pretty, true);
    ASSERT_TRUE(JSON_Writer::write(v, pretty_printer));
    EXPECT_EQ(parsed(pretty.str()), parsed(write(v)));

    std::ostringstream os;
    YAJL_OStream_Printer printer(os);
    yajl_gen g = printer.gen();
    ASSERT_EQ(yajl_gen_map_open(g), yajl_gen_status_ok);
    yajl_gen_string(g, reinterpret_cast<const unsigned char*>("opt"), 3);
    ASSERT_EQ(yajl_gen_value(g, Value(Array{1.5, Value()})), yajl_gen_status_ok);
    ASSERT_EQ(yajl_gen_map_close(g), yajl_gen_status_ok);
    EXPECT_EQ(os.str(), R"({"opt":[1.5,null]})");
}

// Every event as text, comma-separated; a callback returns 0 after stop_after.
class Recorder : public YAJL_Handler {
public:
    std::string events;
    size_t count = 0, stop_after = static_cast<size_t>(-1);

    int handle_null_i() override { return note("null"); }
    int handle_boolean_i(bool v) override { return note(v ? "true" : "false"); }
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
    for (const auto& row : std::vector<std::pair<const char*, const char*>>{
             {R"({"a":[1,"x",true,null],"b":{}})", "{,a:,[,#1,'x,true,null,],b:,{,},}"},
             {"[18446744073709551616,-0.0,1E+2]", "[,#18446744073709551616,#-0.0,#1E+2,]"},
             {"42", "#42"}}) {  // a bare number is only complete at the end of the text
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
    EXPECT_FALSE(Recorder().parse("[1] x", &error));
    EXPECT_EQ(error, "parse error: trailing garbage");
    EXPECT_FALSE(Recorder().parse("", 0, &error));
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

// Records where each string and object was seen.
class PositionWatcher : public JSON_Parser {
public:
    using JSON_Parser::JSON_Parser;
    std::string seen;
    int handle_string_i(const char* s, size_t len) override {
        seen += " " + std::string(s, len) + "@" + std::to_string(levels()) + ":" + key();
        return JSON_Parser::handle_string_i(s, len);
    }
    int handle_start_map_i() override {
        seen += " {@" + std::to_string(levels()) + ":" + key();
        return JSON_Parser::handle_start_map_i();
    }
};

TEST(JsonParser, LevelsAndKeyDescribeThePosition) {
    Value v;
    PositionWatcher w(&v);
    ASSERT_TRUE(w.parse(R"({"name":"x","inner":{"deep":"y","list":["z"]},"after":"w"})"));
    EXPECT_EQ(w.seen, " {@0: x@1:name {@1:inner y@2:deep z@3: w@1:after");
    EXPECT_EQ(w.levels(), 0);
    EXPECT_EQ(v.get_obj().at("inner").get_obj().at("list"), Value(Array{"z"}));

    PositionWatcher no_target;
    ASSERT_TRUE(no_target.parse(R"({"a":{"b":"c"}})"));
    EXPECT_EQ(no_target.seen, " {@0: {@1:a c@2:b");
    EXPECT_EQ(no_target.result(), nullptr);

    // Driven directly, as parsers that forward yajl's events do.
    JSON_Parser p(&v);
    p.handle_start_array_i();
    p.handle_integer_i(-5);
    p.handle_double_i(2.5);
    p.handle_number_i("9223372036854775808", 19);
    EXPECT_EQ(p.handle_end_map_i(), 0);  // mismatched close is refused
    EXPECT_EQ(p.handle_map_key_i("k", 1), 0);
    p.handle_end_array_i();
    EXPECT_EQ(v, Value(Array{-5, 2.5, 9223372036854775808ull}));
}

}  // namespace
