#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "host/json_spirit/value.h"

using namespace json_spirit;

namespace {

const uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
const int64_t kI64Min = std::numeric_limits<int64_t>::min();

// Pointers other than strings must not turn into booleans.
static_assert(!std::is_constructible<Value, int*>::value, "int* must not make a Value");
static_assert(!std::is_constructible<Value, const Value*>::value, "Value* must not make a Value");

TEST(JsonValue, EqualityIsDeepAndTypeStrict) {
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value("pw"), Value(secure_string("pw")));
    EXPECT_NE(Value(-1), Value(kU64Max));  // same bits, different values
    Object a{{"k", Value(Array{1, "x", Object{{"n", Value()}}})}};
    Object b = a;
    EXPECT_EQ(Value(a), Value(b));
    b["k"].get_array()[2].get_obj()["n"] = false;
    EXPECT_NE(Value(a), Value(b));
    EXPECT_TRUE(a["k"].get_array()[2].get_obj()["n"].is_null()) << "copy shared state";
}

TEST(JsonValue, TypesAndRangesAreKeptApart) {
    char buf[] = "abc";
    EXPECT_EQ(Value(static_cast<char*>(buf)).type(), str_type);
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).is_null());
    EXPECT_FALSE(Value(uint64_t(std::numeric_limits<int64_t>::max())).is_uint64());
    EXPECT_EQ(Value(5u), Value(5));  // small unsigned values are plain integers
    EXPECT_EQ(Value(kI64Min).get_int64(), kI64Min);
    EXPECT_THROW(Value("1").get_int(), std::runtime_error);
    EXPECT_THROW(Value().get_obj(), std::runtime_error);
    EXPECT_THROW(Value(1).get_array(), std::runtime_error);
    EXPECT_THROW(Value(1).get_bool(), std::runtime_error);
    EXPECT_THROW(Value(true).get_real(), std::runtime_error);
    EXPECT_THROW(Value(int64_t(1) << 32).get_int(), std::runtime_error);
    EXPECT_THROW(Value(kU64Max).get_int64(), std::runtime_error);
    EXPECT_THROW(Value(-1).get_uint64(), std::runtime_error);
    EXPECT_DOUBLE_EQ(Value(kU64Max).get_real(), 18446744073709551615.0);
    EXPECT_EQ(Value(secure_string("pw")).get_str(), "pw");
    EXPECT_EQ(Value("pw").get_secure_str(), "pw");
}

TEST(JsonValue, AssigningFromOwnChild) {
    Value v(Array{Array{1, 2}, "x"});
    v = v.get_array()[0];
    EXPECT_EQ(v, Value(Array{1, 2}));
    v = std::move(v.get_array()[1]);
    EXPECT_EQ(v, Value(2));

    Value moved(Object{{"a", Value(1)}});
    Value to(std::move(moved));
    EXPECT_TRUE(moved.is_null());
    EXPECT_EQ(to.get_obj().at("a"), Value(1));
}

// A deep tree must not be copied, compared or freed by recursion.
TEST(JsonValue, DeepTreesDoNotUseTheCallStack) {
    Value root;
    Value* cur = &root;
    for (int i = 0; i < 100000; ++i) {
        *cur = (i % 2) ? Value(Array{Value()}) : Value(Object{{"k", Value()}});
        cur = (i % 2) ? &cur->get_array()[0] : &cur->get_obj()["k"];
    }
    *cur = "leaf";
    Value copy(root);
    EXPECT_EQ(copy, root);
    *cur = "other";
    EXPECT_NE(copy, root);
}

// "ok:value" after object_get into a T that held 42 (a string: nothing).
template <class T>
std::string got(const Object& obj, const char* key) {
    T out{};
    if constexpr (!std::is_same<T, std::string>::value)
        out = T(42);
    const bool ok = object_get(obj, key, out);
    std::ostringstream s;
    s << ok << ":" << out;
    return s.str();
}

TEST(JsonObjectGet, ValuesOnlyWhenTheyFitAndFailuresLeaveTheOutputAlone) {
    const Object obj{{"small", Value(70000)},    {"big", Value((int64_t(1) << 32) + 5)},
                     {"neg", Value(-1)},         {"max", Value(kU64Max)},
                     {"real", Value(12.5)},      {"pw", Value(secure_string("s3cret"))},
                     {"arr", Value(Array{1, 2})}};
    // key: as int, unsigned, long, unsigned long
    const std::vector<std::vector<const char*>> rows = {
        {"small", "1:70000", "1:70000", "1:70000", "1:70000"},
        {"big", "0:42", "0:42", "1:4294967301", "1:4294967301"},
        {"neg", "1:-1", "0:42", "1:-1", "0:42"},
        {"max", "0:42", "0:42", "0:42", "1:18446744073709551615"},
        {"real", "0:42", "0:42", "0:42", "0:42"},
        {"pw", "0:42", "0:42", "0:42", "0:42"},
        {"absent", "0:42", "0:42", "0:42", "0:42"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(got<int>(obj, r[0]), r[1]) << r[0];
        EXPECT_EQ(got<unsigned>(obj, r[0]), r[2]) << r[0];
        EXPECT_EQ(got<long>(obj, r[0]), r[3]) << r[0];
        EXPECT_EQ(got<unsigned long>(obj, r[0]), r[4]) << r[0];
    }
    EXPECT_EQ(got<unsigned short>(obj, "small"), "0:42");
    EXPECT_EQ(got<unsigned long long>(obj, "max"), "1:18446744073709551615");
    EXPECT_EQ(got<double>(obj, "real"), "1:12.5");
    EXPECT_EQ(got<double>(obj, "small"), "1:70000");
    EXPECT_EQ(got<double>(obj, "pw"), "0:42");
    EXPECT_EQ(got<bool>(obj, "small"), "0:1");
    EXPECT_EQ(got<std::string>(obj, "small"), "0:");
    EXPECT_EQ(got<std::string>(obj, "pw"), "1:s3cret");
    Object o;
    EXPECT_FALSE(object_get(obj, "arr", o));
    EXPECT_EQ(object_get_str(obj, "small"), nullptr);
    EXPECT_EQ(object_get_array(obj, "pw"), nullptr);
}

TEST(JsonObjectTime, AcceptedAndRejectedForms) {
    struct Row {
        Value in;
        time_t expected;  // 7: refused, the output untouched
    };
    const Row rows[] = {
        {Value(1700000000), 1700000000},
        {Value("1700000000"), 1700000000},
        {Value("2023-11-14 22:13:20"), 1700000000},
        {Value("2024-02-29 00:00:00"), 1709164800},
        {Value("2023-02-30 00:00:00"), 7},
        {Value("2023-02-29 00:00:00"), 7},
        {Value("2023-11-14T22:13:20"), 7},
        {Value("2023-11-14 24:00:00"), 7},
        {Value("-100"), 7},
        {Value(""), 7},
        {Value(1.5), 7},
        {Value("99999999999999999999999"), 7},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.in.type() == str_type ? r.in.get_str() : "a number");
        time_t t = 7;
        EXPECT_EQ(object_get_time_t(Object{{"t", r.in}}, "t", t), r.expected != 7);
        EXPECT_EQ(t, r.expected);
    }
}

TEST(JsonObjectRequired, MessagesNameKeyAndTypeOnly) {
    const Object obj{{"port", Value(-1)},
                     {"password", Value(123456)},
                     {"big", Value(int64_t(1) << 40)},
                     {"max", Value(kU64Max)},
                     {"name", Value("n")},
                     {"min", Value(kI64Min)},
                     {"pw", Value(secure_string("s3cret"))}};
    using Get = void (*)(const Object&, const char*);
    struct Row {
        Get f;
        const char* key;
        const char* text;
    };
    const Row rows[] = {
        {[](const Object& o, const char* k) { object_get_uint64_or_throw(o, k); }, "port",
         "'port' is expected as unsigned integer"},
        {[](const Object& o, const char* k) { object_get_uint64_or_throw(o, k); }, "nope",
         "'nope' is expected as unsigned integer"},
        {[](const Object& o, const char* k) { object_get_str_or_throw(o, k); }, "password",
         "'password' is expected as string"},
        {[](const Object& o, const char* k) { object_get_int_or_throw(o, k); }, "big",
         "'big' is expected as integer"},
        {[](const Object& o, const char* k) { object_get_int64_or_throw(o, k); }, "max",
         "'max' is expected as integer"},
        {[](const Object& o, const char* k) { object_get_bool_or_throw(o, k); }, "name",
         "'name' is expected as boolean"},
        {[](const Object& o, const char* k) { object_get_num_or_throw(o, k); }, "name",
         "'name' is expected as number"},
        {[](const Object& o, const char* k) { object_get_object_or_throw(o, k); }, "port",
         "'port' is expected as object"},
        {[](const Object& o, const char* k) { object_get_array_or_throw(o, k); }, "port",
         "'port' is expected as array"},
        {[](const Object& o, const char* k) { object_get_value_or_throw(o, k); }, "nope",
         "'nope' is expected as value"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        try {
            r.f(obj, r.key);
            ADD_FAILURE() << "no throw";
        } catch (const Json_Error& e) {
            EXPECT_EQ(e.what(), std::string(r.text));
        }
    }
    EXPECT_EQ(object_get_uint64_or_throw(obj, "max"), kU64Max);
    EXPECT_EQ(object_get_int64_or_throw(obj, "min"), kI64Min);
    EXPECT_EQ(object_get_str_or_throw(obj, "pw"), "s3cret");
}

}  // namespace
