#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "host/json_spirit/json_io.h"
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

TEST(JsonRoundTrip, NumbersStringsAndKeysComeBackExact) {
    const Value ints(Array{Value(std::numeric_limits<int64_t>::min()),
                           Value(std::numeric_limits<uint64_t>::max()),
                           Value(std::numeric_limits<int64_t>::max()), Value(0)});
    EXPECT_EQ(write(ints), "[-9223372036854775808,18446744073709551615,9223372036854775807,0]");
    EXPECT_EQ(parsed(write(ints)), ints);

    for (double d :
         {0.1, 1e300, -0.0, 5e-324, 1.0 / 3, 100.0, -2.5e-8, std::numeric_limits<double>::max()}) {
        const std::string text = write(Value(Array{d}));
        const Value back = parsed(text);
        ASSERT_EQ(back.get_array()[0].type(), real_type) << text;
        const double got = back.get_array()[0].get_real();
        EXPECT_EQ(0, std::memcmp(&got, &d, sizeof d)) << text;
        EXPECT_EQ(write(back), text);
    }

    const std::string nasty("q\"b\\s/\n\t\x01 \0 \xc3\xa9 \xf0\x9f\x98\x80", 20);
    const Value v(Object{{nasty, Value(nasty)}});
    EXPECT_EQ(parsed(write(v)), v);
    EXPECT_EQ(parsed(write(v, true)), v);
}

TEST(JsonRead, NumbersPastAnIntegerTypeMoveUpAndDuplicateKeysKeepTheLast) {
    struct Row {
        const char* text;
        Value expected;
    };
    const Row rows[] = {
        {"9223372036854775808", Value(9223372036854775808ull)},
        {"18446744073709551616", Value(18446744073709551616.0)},
        {"-9223372036854775809", Value(-9223372036854775809.0)},
        {"-0", Value(0)},
        {"1E2", Value(100.0)},
        {"-1.5e-3", Value(-0.0015)},
        {R"({"a":1,"b":[],"a":{"c":2}})",
         Value(Object{{"a", Value(Object{{"c", Value(2)}})}, {"b", Value(Array())}})},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(parsed(r.text), r.expected);
    }
    EXPECT_TRUE(parsed("9223372036854775808").is_uint64());
}

TEST(JsonRead, MalformedTextFailsAndClearsTheOutput) {
    const std::string texts[] = {
        "",          "   ",      "{",        "[1,2",       "[1] x", "{\"a\":1}}", "\"\\q\"",
        "\"\\u12\"", "\"\xff\"", "\"\xc3\"", "{\"a\":1,}", "[01]",  "nul",        "{1:2}",
        "[1 2]",     "\"a\nb\"", "{\"a\"}",  "1.",         "-",     "[.5]",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        Value v(Array{1});
        std::string error;
        EXPECT_FALSE(read(text, v, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(v.is_null());
    }
    Value v;
    EXPECT_FALSE(read("[", v));  // the message is optional
}

TEST(JsonRead, DeepNestingParses) {
    const int depth = 5000;
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "{\"k\":[";
    text += "true";
    for (int i = 0; i < depth; ++i)
        text += "]}";
    const Value v = parsed(text);
    const Value* cur = &v;
    for (int i = 0; i < depth; ++i)
        cur = &cur->get_obj().at("k").get_array().at(0);
    EXPECT_EQ(*cur, Value(true));
}

// yajl's generator stops at YAJL_MAX_DEPTH (128) levels.
TEST(JsonWrite, NestingBeyondTheGeneratorLimitFailsCleanly) {
    auto nested = [](int depth) {
        Value v("leaf");
        for (int i = 0; i < depth; ++i) {
            Array a;  // not Array{...}: an initializer list would copy the whole tree
            a.push_back(std::move(v));
            v = Value(std::move(a));
        }
        return v;
    };
    const Value ok = nested(100);
    EXPECT_EQ(parsed(write(ok)), ok);
    EXPECT_EQ(write(nested(5000)), "");
}

TEST(JsonWrite, UnwritableValuesFailInsteadOfEmittingBadJson) {
    for (double d :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(write(Value(Array{1, d})), "");
        std::ostringstream os;
        YAJL_OStream_Printer printer(os);
        EXPECT_EQ(yajl_gen_value(printer.gen(), Value(d)), yajl_gen_invalid_number);
    }
    EXPECT_EQ(write(Value(std::string("\xff"))), "");
    EXPECT_EQ(write(Value(Object{{"\xc3", Value(1)}})), "");
    // strtod's answer for a number too large for a double
    EXPECT_TRUE(std::isinf(parsed("1e999").get_real()));
    EXPECT_EQ(write(parsed("1e999")), "");
}

TEST(JsonWrite, SecureStringsGoOutAsPlainStringsAndValuesFitAnOpenDocument) {
    const Value v(Object{{"password", Value(secure_string("hunter2"))}});
    EXPECT_EQ(write(v), R"({"password":"hunter2"})");
    std::ostringstream pretty;
    YAJL_OStream_Printer pretty_printer(pretty, true);
    ASSERT_TRUE(JSON_Writer::write(v, pretty_printer));
    EXPECT_EQ(parsed(pretty.str()).get_obj().at("password"), Value("hunter2"));

    std::ostringstream os;
    YAJL_OStream_Printer printer(os);
    yajl_gen g = printer.gen();
    ASSERT_EQ(yajl_gen_map_open(g), yajl_gen_status_ok);
    yajl_gen_string(g, reinterpret_cast<const unsigned char*>("opt"), 3);
    ASSERT_EQ(yajl_gen_value(g, Value(Array{1.5, Value()})), yajl_gen_status_ok);
    ASSERT_EQ(yajl_gen_map_close(g), yajl_gen_status_ok);
    EXPECT_EQ(os.str(), R"({"opt":[1.5,null]})");
}

}  // namespace
