// The JSON values of the host, their text through yajl, and the secrets they
// hold: a secret leaves no copy behind in memory that is given up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/json_parser.h"
#include "host/json_spirit/json_writer.h"
#include "host/json_spirit/yajl_gen_value.h"
#include "host/secure_memory.h"

using namespace json_spirit;

namespace {

const uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
const int64_t kI64Min = std::numeric_limits<int64_t>::min();
const std::string kShort = "pw123";
const std::string kLong(100, 'S');

// Pointers other than strings must not turn into booleans.
static_assert(!std::is_constructible<Value, int*>::value, "int* must not make a Value");
static_assert(!std::is_constructible<Value, const Value*>::value, "Value* must not make a Value");

Value parsed(const std::string& text) {
    Value v;
    std::string error;
    EXPECT_TRUE(read(text, v, &error)) << text << ": " << error;
    return v;
}

TEST(JsonValue, TypesAndRangesAreKeptApart) {
    char buf[] = "abc";
    EXPECT_EQ(Value(static_cast<char*>(buf)).type(), str_type);
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).is_null());
    EXPECT_FALSE(Value(uint64_t(std::numeric_limits<int64_t>::max())).is_uint64());
    EXPECT_EQ(Value(5u), Value(5));  // small unsigned values are plain integers
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value("pw"), Value(secure_string("pw")));
    EXPECT_NE(Value(-1), Value(kU64Max));  // same bits, different values
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

TEST(JsonValue, CopiesAreDeepAndAssigningFromOwnChildIsSafe) {
    Object a{{"k", Value(Array{1, "x", Object{{"n", Value()}}})}};
    Object b = a;
    EXPECT_EQ(Value(a), Value(b));
    b["k"].get_array()[2].get_obj()["n"] = false;
    EXPECT_NE(Value(a), Value(b));
    EXPECT_TRUE(a["k"].get_array()[2].get_obj()["n"].is_null()) << "copy shared state";
    Value v(Array{Array{1, 2}, "x"});
    v = v.get_array()[0];
    EXPECT_EQ(v, Value(Array{1, 2}));
    v = std::move(v.get_array()[1]);
    EXPECT_EQ(v, Value(2));
    Value moved(a["k"]);
    Value to(std::move(moved));
    EXPECT_TRUE(moved.is_null());
    EXPECT_EQ(to, a["k"]);
}

// Deep trees are copied, compared and freed without recursion.
TEST(JsonValue, DeepTreesDoNotUseTheCallStack) {
    const auto nest = [](int levels, int leaf) {
        Value v(leaf);
        for (int i = 0; i < levels; ++i) {
            Array a;
            a.push_back(std::move(v));
            v = Value(std::move(a));
        }
        return v;
    };
    const Value deep = nest(100000, 1);
    const Value copy(deep);
    EXPECT_EQ(copy, deep);
    EXPECT_NE(copy, nest(100000, 2));
    EXPECT_EQ(write(deep), "");
}

// Reading stops at the depth yajl's generator can still write, with a message
// saying so, whether the text comes whole or in chunks.
TEST(JsonText, NestingIsBoundedByWhatCanBeWrittenBack) {
    const int max = YAJL_Handler::MAX_DEPTH;
    const auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    std::string objects = "1";
    for (int i = 0; i < max; ++i)
        objects = "{\"k\":" + objects + "}";
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {arrays(max), true},
        {objects, true},
        {arrays(max + 1), false},
        {"[" + objects + "]", false},
        {std::string(100000, '[') + "1" + std::string(100000, ']'), false},
        {std::string(100000, '['), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Value v;
        std::string error;
        EXPECT_EQ(read(c.text, v, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(write(v), c.text);
            continue;
        }
        EXPECT_EQ(error, "JSON nested deeper than " + std::to_string(max) + " levels");
        JSON_Parser chunked(&v);
        const size_t half = c.text.size() / 2;
        EXPECT_FALSE(chunked.parse_chunk(c.text.data(), half, &error) &&
                     chunked.parse_chunk(c.text.data() + half, c.text.size() - half, &error) &&
                     chunked.parse_complete(&error));
        EXPECT_NE(error.find("nested deeper"), std::string::npos) << error;
        EXPECT_TRUE(chunked.parse(arrays(max)));  // the next document starts at depth 0
    }
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
        {"absent", "0:42", "0:42", "0:42", "0:42"}};
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
    const std::pair<Value, time_t> times[] = {// 7: refused, the output untouched
                                              {Value(1700000000), 1700000000},
                                              {Value("1700000000"), 1700000000},
                                              {Value("2023-11-14 22:13:20"), 1700000000},
                                              {Value("2024-02-29 00:00:00"), 1709164800},
                                              {Value("2023-02-29 00:00:00"), 7},
                                              {Value("2023-11-14T22:13:20"), 7},
                                              {Value("2023-11-14 24:00:00"), 7},
                                              {Value("-100"), 7},
                                              {Value(1.5), 7},
                                              {Value("99999999999999999999999"), 7}};
    for (const auto& [in, expected] : times) {
        time_t t = 7;
        EXPECT_EQ(object_get_time_t(Object{{"t", in}}, "t", t), expected != 7) << write(in);
        EXPECT_EQ(t, expected) << write(in);
    }
}

// What f throws as a Json_Error.
template <class F>
std::string thrown(F f) {
    try {
        f();
    } catch (const Json_Error& e) {
        return e.what();
    }
    return "no throw";
}

TEST(JsonObjectGet, RequiredMembersNameKeyAndTypeInTheirMessage) {
    const Object o{{"port", Value(-1)},
                   {"pw", Value(123456)},
                   {"big", Value(int64_t(1) << 40)},
                   {"max", Value(kU64Max)},
                   {"name", Value("n")}};
    EXPECT_EQ("'port' is expected as unsigned integer",
              thrown([&] { object_get_uint64_or_throw(o, "port"); }));
    EXPECT_EQ("'nope' is expected as unsigned integer",
              thrown([&] { object_get_uint64_or_throw(o, "nope"); }));
    EXPECT_EQ("'pw' is expected as string", thrown([&] { object_get_str_or_throw(o, "pw"); }));
    EXPECT_EQ("'big' is expected as integer", thrown([&] { object_get_int_or_throw(o, "big"); }));
    EXPECT_EQ("'max' is expected as integer", thrown([&] { object_get_int64_or_throw(o, "max"); }));
    EXPECT_EQ("'name' is expected as boolean",
              thrown([&] { object_get_bool_or_throw(o, "name"); }));
    EXPECT_EQ("'name' is expected as number", thrown([&] { object_get_num_or_throw(o, "name"); }));
    EXPECT_EQ("'port' is expected as object",
              thrown([&] { object_get_object_or_throw(o, "port"); }));
    EXPECT_EQ("'port' is expected as array", thrown([&] { object_get_array_or_throw(o, "port"); }));
    EXPECT_EQ("'nope' is expected as value", thrown([&] { object_get_value_or_throw(o, "nope"); }));
    EXPECT_EQ(object_get_uint64_or_throw(o, "max"), kU64Max);
    EXPECT_EQ(object_get_int64_or_throw(Object{{"min", Value(kI64Min)}}, "min"), kI64Min);
    EXPECT_EQ(object_get_str_or_throw(Object{{"pw", Value(secure_string("s3"))}}, "pw"), "s3");
}

TEST(JsonText, NumbersStringsAndKeysComeBackExact) {
    const Value ints(Array{Value(kI64Min), Value(kU64Max), Value(0)});
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
        {R"({"a":1,"b":[],"a":{"c":2}})",
         Value(Object{{"a", Value(Object{{"c", Value(2)}})}, {"b", Value(Array())}})}};
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(parsed(text), expected) << text;
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

TEST(JsonText, UnwritableValuesFailInsteadOfEmittingBadJson) {
    for (double d : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL})
        EXPECT_EQ(write(Value(Array{1, d})), "") << d;
    EXPECT_EQ(write(Value(std::string("\xff"))), "");
    EXPECT_EQ(write(Value(Object{{"\xc3", Value(1)}})), "");
    EXPECT_TRUE(std::isinf(parsed("1e999").get_real()));  // strtod's answer
    EXPECT_EQ(write(parsed("1e999")), "");
}

TEST(JsonText, SecretsGoOutAsPlainStrings) {
    const Value v(Object{{"password", Value(secure_string("hunter2"))}});
    EXPECT_EQ(write(v), R"({"password":"hunter2"})");
    std::ostringstream pretty;
    YAJL_OStream_Printer pretty_printer(pretty, true);
    ASSERT_TRUE(JSON_Writer::write(v, pretty_printer));
    EXPECT_EQ(parsed(pretty.str()), parsed(write(v)));
}

TEST(YajlHandler, FailuresSayWhyAndCallbackExceptionsReachTheCaller) {
    struct Stopper : YAJL_Handler {
        int handle_map_key_i(const char*, size_t) override { return 0; }
    } stopper;
    std::string error;
    EXPECT_FALSE(stopper.parse(R"([1, {"a": 1}])", &error));
    EXPECT_EQ(error, "parse cancelled by handler");
    EXPECT_FALSE(stopper.parse("[1] x", &error));
    EXPECT_EQ(error, "parse error: trailing garbage");
    EXPECT_FALSE(stopper.parse("", 0, &error));
    EXPECT_NE(error.find("premature EOF"), std::string::npos) << error;
    struct Thrower : YAJL_Handler {
        int handle_string_i(const char*, size_t) override { throw std::invalid_argument("boom"); }
    } t;
    EXPECT_THROW(t.parse(R"(["x"])"), std::invalid_argument);
    EXPECT_TRUE(t.parse("[1]"));
}

TEST(JsonParser, AFailureDoesNotLeakIntoTheNextDocument) {
    Value v;
    JSON_Parser p(&v);
    std::string error;
    EXPECT_FALSE(p.parse_chunk("[1,]", 4, &error));
    ASSERT_TRUE(p.parse_chunk(R"({"a": 12)", 8, &error));  // the failure ended the old one
    ASSERT_TRUE(p.parse_chunk(R"(34, "b": "x"})", 13, &error));
    ASSERT_TRUE(p.parse_complete(&error)) << error;
    EXPECT_EQ(v, Value(Object{{"a", Value(1234)}, {"b", Value("x")}}));
    EXPECT_FALSE(p.parse(R"([[1,{"a":)"));
    ASSERT_TRUE(p.parse("[3]"));
    EXPECT_EQ(v, Value(Array{3}));

    // Driven directly, as parsers that forward yajl's events do.
    JSON_Parser q(&v);
    q.handle_start_array_i();
    q.handle_integer_i(-5);
    q.handle_double_i(2.5);
    q.handle_number_i("9223372036854775808", 19);
    EXPECT_EQ(q.handle_end_map_i(), 0);  // mismatched close is refused
    EXPECT_EQ(q.handle_map_key_i("k", 1), 0);
    q.handle_end_array_i();
    EXPECT_EQ(v, Value(Array{-5, 2.5, 9223372036854775808ull}));
}

bool all_zero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// Room for one T whose own bytes can be searched, also after it is gone.
template <class T>
struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
    T& make(T&& from) { return *new (bytes) T(std::move(from)); }
    T& get() { return *std::launder(reinterpret_cast<T*>(bytes)); }
    // Any three consecutive characters of text count: a library may clear the
    // first byte of a string it gives up and leave the rest.
    bool holds(const std::string& text) const {
        for (size_t i = 0; i + 3 <= text.size(); ++i)
            if (std::search(bytes, bytes + sizeof(bytes), text.begin() + i, text.begin() + i + 3) !=
                bytes + sizeof(bytes))
                return true;
        return false;
    }
};

// Every block the secure allocator gives back to the heap, and whether it was
// zero by then.
std::vector<std::pair<size_t, bool>> g_freed;

TEST(SecureString, FreedBlocksAndUnusedBytesAreWiped) {
    g_freed.clear();
    set_secure_free_hook([](const void* p, size_t n) { g_freed.emplace_back(n, all_zero(p, n)); });
    for (const std::string& text : {kShort, kLong}) {
        secure_string s(text);
        secure_string copy(s);
        s = kLong + "x";  // grows past the old block
        copy = "other";   // shrinks in place
        copy += std::string(300, 'g');
        s = secure_string(kShort);
    }
    { std::vector<int, secure_allocator<int>> v(10, -1); }  // the whole block, not 10 bytes
    set_secure_free_hook(nullptr);
    EXPECT_GE(g_freed.size(), 7u);
    EXPECT_EQ(g_freed.back().first, 10 * sizeof(int));
    for (const auto& f : g_freed)
        EXPECT_TRUE(f.second) << "a freed block of " << f.first << " bytes still held data";
    secure_string s(kLong);
    const size_t cap = s.capacity();
    s = "ab";
    ASSERT_EQ(s.capacity(), cap);  // reused in place, so the tail is still ours to read
    EXPECT_TRUE(all_zero(s.data() + 3, cap - 2)) << "shrunk";
    s = kLong;
    s.clear();
    EXPECT_TRUE(all_zero(s.data(), s.capacity() + 1)) << "clear()";
    s = "0123456789";
    s.assign(s.data() + 2, 3);  // from its own text: survives the wipe
    EXPECT_EQ(s, "234");
    s = kShort;
    s.assign(s.c_str());
    EXPECT_EQ(s, kShort);
}

// The object's own bytes are where the standard library keeps short strings.
TEST(SecureString, ShortTextNeverLivesInTheObject) {
    Storage<secure_string> st;
    st.make(secure_string(kShort));
    EXPECT_FALSE(st.holds(kShort));
    st.get().~secure_string();
    EXPECT_FALSE(st.holds(kShort));

    // A moved-from string that is used again must not fall back to inline storage.
    secure_string taken(std::move(st.make(secure_string(kShort))));
    EXPECT_EQ(taken, kShort);
    EXPECT_TRUE(st.get().empty());
    st.get() += "tok42";
    EXPECT_FALSE(st.holds("tok42"));
    st.get() = "again";
    st.get().shrink_to_fit();
    EXPECT_FALSE(st.holds("again"));
    st.get().~secure_string();
    EXPECT_FALSE(st.holds("tok42") || st.holds("again") || st.holds(kShort));
}

// A short secret in a Value sits in the Value's own bytes (the std::string
// inline buffer) until the Value gives it up.
TEST(JsonSecureValue, ShortSecretLeavesNothingInTheValue) {
    Storage<Value> st;
    ASSERT_TRUE((st.make(Value(secure_string(kShort))), st.holds(kShort)))
        << "otherwise the checks below prove nothing";
    st.get().~Value();
    EXPECT_FALSE(st.holds(kShort)) << "destroyed";
    st.make(Value(secure_string(kShort))) = Value(7);
    EXPECT_FALSE(st.holds(kShort)) << "reassigned";
    Value taken(std::move(st.make(Value(secure_string(kShort)))));
    EXPECT_FALSE(st.holds(kShort)) << "moved from";
    EXPECT_EQ(taken.get_str(), kShort);
    Value other(5);
    st.make(Value(secure_string(kShort))).swap(other);
    EXPECT_FALSE(st.holds(kShort)) << "swapped out";
    EXPECT_EQ(other.get_str(), kShort);
    st.get().~Value();
}

// A long secret is on the std::allocator heap, whose frees cannot be watched;
// the wipe hook sees the block while it is still allocated.
const char* g_block = nullptr;
size_t g_size = 0;
bool g_wiped = false;

void watch(const Value& v) {
    g_block = v.get_str().data();
    g_size = v.get_str().capacity() + 1;
    g_wiped = false;
    set_secure_wipe_hook([](const void* p, size_t n) {
        if (p == g_block && n == g_size)
            g_wiped = all_zero(p, n);
    });
}

TEST(JsonSecureValue, LongSecretBufferIsWipedBeforeRelease) {
    const secure_string secret(kLong.c_str());
    Value v(secret);
    watch(v);
    v = Value(1);
    EXPECT_TRUE(g_wiped) << "reassigned";
    auto* p = new Value(secret);
    watch(*p);
    delete p;
    EXPECT_TRUE(g_wiped) << "destroyed";
    v = Value(secret);
    watch(v);
    v = Value(secure_string("other"));
    EXPECT_TRUE(g_wiped) << "move-assigned over";
    set_secure_wipe_hook(nullptr);
    secure_string pw("hunter2");
    Value from_rvalue(std::move(pw));
    EXPECT_TRUE(pw.empty()) << "building from an rvalue wipes the source";
    EXPECT_EQ(Value(from_rvalue).type(), secure_str_type);
}

}  // namespace
