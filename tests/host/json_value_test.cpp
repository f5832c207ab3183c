#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "host/json_spirit/value.h"

using namespace json_spirit;

namespace {

const uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
const int64_t kI64Min = std::numeric_limits<int64_t>::min();

// Pointers other than strings must not turn into booleans.
static_assert(!std::is_constructible<Value, int*>::value, "int* must not make a Value");
static_assert(!std::is_constructible<Value, const Value*>::value, "Value* must not make a Value");
static_assert(std::is_constructible<Value, char*>::value, "char* makes a string");

TEST(JsonValue, ConstructorsPickTheIntendedType) {
    char buf[] = "abc";
    EXPECT_EQ(Value("abc").type(), str_type);
    EXPECT_EQ(Value(static_cast<char*>(buf)).type(), str_type);
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).is_null());
    EXPECT_EQ(Value(true).type(), bool_type);
    EXPECT_EQ(Value(0.0).type(), real_type);
    EXPECT_EQ(Value(secure_string("pw")).type(), secure_str_type);

    EXPECT_FALSE(Value(uint64_t(std::numeric_limits<int64_t>::max())).is_uint64());
    EXPECT_TRUE(Value(kU64Max).is_uint64());
    EXPECT_EQ(Value(kU64Max).get_uint64(), kU64Max);
    EXPECT_EQ(Value(kI64Min).get_int64(), kI64Min);
    EXPECT_EQ(Value(5u), Value(5));  // small unsigned values are plain integers
}

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

TEST(JsonValue, WrongTypeOrRangeGettersThrow) {
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

// --- secure strings inside a Value ---

template <class T>
struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
    T* get() { return std::launder(reinterpret_cast<T*>(bytes)); }
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

// A short secret sits in the Value's own bytes (the std::string inline buffer).
TEST(JsonSecureValue, ShortSecretLeavesNothingInTheValue) {
    const std::string pw = "pw123";
    Storage<Value> st;

    new (st.bytes) Value(secure_string(pw));
    ASSERT_TRUE(st.holds(pw));  // otherwise the checks below prove nothing
    st.get()->~Value();
    EXPECT_FALSE(st.holds(pw)) << "destroyed";

    new (st.bytes) Value(secure_string(pw));
    *st.get() = Value(7);
    EXPECT_FALSE(st.holds(pw)) << "reassigned";
    st.get()->~Value();

    new (st.bytes) Value(secure_string(pw));
    Value taken(std::move(*st.get()));
    EXPECT_FALSE(st.holds(pw)) << "moved from";
    EXPECT_EQ(taken.get_str(), pw);
    st.get()->~Value();

    new (st.bytes) Value(secure_string(pw));
    Value other(5);
    st.get()->swap(other);
    EXPECT_FALSE(st.holds(pw)) << "swapped out";
    EXPECT_EQ(other.get_str(), pw);
    st.get()->~Value();
}

// A long secret is on the std::allocator heap, whose frees cannot be watched;
// the wipe hook sees the block while it is still allocated.
struct WipeWatch {
    static const char* block;
    static size_t size;
    static bool seen;
    static void hook(const void* p, size_t n) {
        if (p == block && n == size) {
            const unsigned char* b = static_cast<const unsigned char*>(p);
            seen = std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
        }
    }
    explicit WipeWatch(const Value& v) {
        block = v.get_str().data();
        size = v.get_str().capacity() + 1;
        seen = false;
        set_secure_wipe_hook(hook);
    }
    ~WipeWatch() { set_secure_wipe_hook(nullptr); }
};
const char* WipeWatch::block = nullptr;
size_t WipeWatch::size = 0;
bool WipeWatch::seen = false;

TEST(JsonSecureValue, LongSecretBufferIsWipedBeforeRelease) {
    const secure_string secret(std::string(100, 'k').c_str());
    {
        Value v(secret);
        WipeWatch watch(v);
        v = Value(1);
        EXPECT_TRUE(WipeWatch::seen) << "reassigned";
    }
    {
        auto* v = new Value(secret);
        WipeWatch watch(*v);
        delete v;
        EXPECT_TRUE(WipeWatch::seen) << "destroyed";
    }
    {
        Value v(secret);
        WipeWatch watch(v);
        v = Value(secure_string("other"));
        EXPECT_TRUE(WipeWatch::seen) << "move-assigned over";
    }
}

TEST(JsonSecureValue, BuildingFromARvalueWipesTheSource) {
    secure_string pw("hunter2");
    Value v(std::move(pw));
    EXPECT_TRUE(pw.empty());
    EXPECT_EQ(v.get_secure_str(), "hunter2");
    Value copy(v);
    EXPECT_EQ(copy.type(), secure_str_type);
}

// --- object accessors ---

class JsonObjectGet : public ::testing::Test {
protected:
    Object obj{
        {"small", Value(70000)},
        {"big", Value((int64_t(1) << 32) + 5)},
        {"neg", Value(-1)},
        {"max", Value(kU64Max)},
        {"real", Value(12.5)},
        {"text", Value("5")},
        {"pw", Value(secure_string("s3cret"))},
        {"flag", Value(true)},
        {"obj", Value(Object{{"x", Value(1)}})},
        {"arr", Value(Array{1, 2})},
        {"nul", Value()},
    };
};

TEST_F(JsonObjectGet, IntegersOnlyWhenTheyFit) {
    int i = 42;
    unsigned int u = 42;
    long l = 42;
    unsigned long ul = 42;
    unsigned long long ull = 42;
    EXPECT_TRUE(object_get(obj, "small", i));
    EXPECT_EQ(i, 70000);
    EXPECT_TRUE(object_get(obj, "small", u));
    EXPECT_EQ(u, 70000u);
    unsigned short us = 42;
    EXPECT_FALSE(object_get(obj, "small", us));
    EXPECT_EQ(us, 42);

    i = 42;
    EXPECT_FALSE(object_get(obj, "big", i));
    EXPECT_FALSE(object_get(obj, "real", i));
    EXPECT_FALSE(object_get(obj, "text", i));
    EXPECT_FALSE(object_get(obj, "flag", i));
    EXPECT_FALSE(object_get(obj, "absent", i));
    EXPECT_EQ(i, 42);
    EXPECT_TRUE(object_get(obj, "big", l));
    EXPECT_EQ(l, (long(1) << 32) + 5);

    EXPECT_FALSE(object_get(obj, "neg", ul));
    EXPECT_FALSE(object_get(obj, "neg", u));
    EXPECT_EQ(ul, 42u);
    l = 42;
    EXPECT_FALSE(object_get(obj, "max", l));
    EXPECT_EQ(l, 42);
    EXPECT_TRUE(object_get(obj, "max", ull));
    EXPECT_EQ(ull, kU64Max);
}

TEST_F(JsonObjectGet, OtherTypes) {
    double d = 0;
    EXPECT_TRUE(object_get(obj, "real", d) && d == 12.5);
    EXPECT_TRUE(object_get(obj, "small", d) && d == 70000.0);
    std::string s = "keep";
    EXPECT_FALSE(object_get(obj, "text", d) || object_get(obj, "small", s));
    EXPECT_EQ(s, "keep");
    EXPECT_TRUE(object_get(obj, "pw", s) && s == "s3cret");
    bool b = false;
    EXPECT_FALSE(object_get(obj, "small", b));
    Object o;
    EXPECT_FALSE(object_get(obj, "arr", o));
    EXPECT_EQ(object_get_str(obj, "small"), nullptr);
    EXPECT_NE(object_get_str(obj, "pw"), nullptr);
    EXPECT_EQ(object_get_array(obj, "obj"), nullptr);
}

TEST(JsonObjectTime, AcceptedForms) {
    Object obj{
        {"int", Value(1700000000)},
        {"digits", Value("1700000000")},
        {"utc", Value("2023-11-14 22:13:20")},
        {"leap", Value("2024-02-29 00:00:00")},
    };
    for (const char* key : {"int", "digits", "utc"}) {
        time_t t = 0;
        EXPECT_TRUE(object_get_time_t(obj, key, t)) << key;
        EXPECT_EQ(t, 1700000000) << key;
    }
    time_t t = 0;
    EXPECT_TRUE(object_get_time_t(obj, "leap", t));
    EXPECT_EQ(t, 1709164800);
}

TEST(JsonObjectTime, RejectedFormsLeaveOutputAlone) {
    Object obj{
        {"feb30", Value("2023-02-30 00:00:00")},
        {"noleap", Value("2023-02-29 00:00:00")},
        {"iso", Value("2023-11-14T22:13:20")},
        {"hour", Value("2023-11-14 24:00:00")},
        {"sign", Value("-100")},
        {"empty", Value("")},
        {"real", Value(1.5)},
        {"huge", Value("99999999999999999999999")},
    };
    for (const auto& member : obj) {
        time_t t = 7;
        EXPECT_FALSE(object_get_time_t(obj, member.first, t)) << member.first;
        EXPECT_EQ(t, 7) << member.first;
    }
}

std::string thrown_text(void (*f)(const Object&), const Object& obj) {
    try {
        f(obj);
    } catch (const Json_Error& e) {
        return e.what();
    }
    return "no throw";
}

TEST(JsonObjectRequired, MessagesNameKeyAndTypeOnly) {
    const Object obj{
        {"port", Value(-1)},     {"password", Value(123456)}, {"big", Value(int64_t(1) << 40)},
        {"max", Value(kU64Max)}, {"name", Value("n")},
    };
    struct Case {
        void (*f)(const Object&);
        const char* text;
    };
    const Case cases[] = {
        {[](const Object& o) { object_get_uint64_or_throw(o, "port"); },
         "'port' is expected as unsigned integer"},
        {[](const Object& o) { object_get_uint64_or_throw(o, "nope"); },
         "'nope' is expected as unsigned integer"},
        {[](const Object& o) { object_get_str_or_throw(o, "password"); },
         "'password' is expected as string"},
        {[](const Object& o) { object_get_int_or_throw(o, "big"); },
         "'big' is expected as integer"},
        {[](const Object& o) { object_get_int64_or_throw(o, "max"); },
         "'max' is expected as integer"},
        {[](const Object& o) { object_get_bool_or_throw(o, "name"); },
         "'name' is expected as boolean"},
        {[](const Object& o) { object_get_num_or_throw(o, "name"); },
         "'name' is expected as number"},
        {[](const Object& o) { object_get_object_or_throw(o, "port"); },
         "'port' is expected as object"},
        {[](const Object& o) { object_get_array_or_throw(o, "port"); },
         "'port' is expected as array"},
        {[](const Object& o) { object_get_value_or_throw(o, "nope"); },
         "'nope' is expected as value"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(thrown_text(c.f, obj), c.text);
    EXPECT_THROW(object_get_int_or_throw(obj, "nope"), std::runtime_error);
}

TEST(JsonObjectRequired, ReturnsFittingMembers) {
    Object obj{
        {"max", Value(kU64Max)}, {"min", Value(kI64Min)}, {"pw", Value(secure_string("s3cret"))}};
    EXPECT_EQ(object_get_uint64_or_throw(obj, "max"), kU64Max);
    EXPECT_EQ(object_get_int64_or_throw(obj, "min"), kI64Min);
    EXPECT_EQ(object_get_str_or_throw(obj, "pw"), "s3cret");
}

}  // namespace
