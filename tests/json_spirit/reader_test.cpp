#include "host/job_definition_subtype.h"
#include "json_spirit/json_spirit_helper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

using namespace json_spirit;

namespace {
enum Subtype : unsigned { SUBTYPE_NONE = 0, SUBTYPE_TWO = 2 };

const uint64_t two_pow_32_plus_5 = (uint64_t(1) << 32) + 5;

Object numbers() {
    return Object_Maker()("int", 42)("neg", -7)("big", static_cast<long>(two_pow_32_plus_5))(
               "u64max", std::numeric_limits<unsigned long>::max())("real", 12.5)("str", "12")(
               "null", Value())("port", 70000)("small", 2)
        .get_obj();
}

// Reads `key` both ways. Optional: the value when it fits, else the untouched
// sentinel. Required: the same value, or an exception naming the key.
template <class T>
struct Read {
    bool optional_hit;
    T optional;
    bool required_hit;
    T required;
    std::string error;
};

template <class T>
Read<T> read(const Object& obj, const std::string& key, T sentinel) {
    Read<T> r{false, sentinel, false, sentinel, ""};
    T opt = sentinel;
    extract_or_throw(obj)(key, opt, false);
    r.optional = opt;
    r.optional_hit = !(opt == sentinel);
    T req = sentinel;
    try {
        extract_or_throw(obj)(key, req, true);
        r.required_hit = true;
    } catch (const Json_Error& e) {
        r.error = e.what();
    }
    r.required = req;
    return r;
}

template <class T>
void expect_value(const Object& obj, const std::string& key, T expected) {
    SCOPED_TRACE(key);
    const Read<T> r = read<T>(obj, key, T(99));
    EXPECT_EQ(r.optional, expected);
    EXPECT_TRUE(r.required_hit);
    EXPECT_EQ(r.required, expected);
}

// A miss leaves the output as it was and fails a required read with the key in the text.
template <class T>
void expect_miss(const Object& obj, const std::string& key, const std::string& kind) {
    SCOPED_TRACE(key);
    const Read<T> r = read<T>(obj, key, T(99));
    EXPECT_EQ(r.optional, T(99));
    EXPECT_FALSE(r.required_hit);
    EXPECT_EQ(r.required, T(99));
    EXPECT_EQ(r.error, "'" + key + "' is expected as " + kind);
}
}  // namespace

TEST(NumberReads, IntTakesOnlyIntegersThatFit) {
    const Object obj = numbers();
    expect_value<int>(obj, "int", 42);
    expect_value<int>(obj, "neg", -7);
    for (const char* key : {"big", "u64max", "real", "str", "null", "absent"})
        expect_miss<int>(obj, key, "32-bit integer");
}

TEST(NumberReads, UnsignedRefusesNegativesAndValuesAboveTheirRange) {
    const Object obj = numbers();
    // Never 4464 (70000 modulo 65536).
    expect_miss<unsigned short>(obj, "port", "16-bit unsigned integer");
    expect_value<unsigned short>(obj, "int", 42);
    expect_miss<unsigned short>(obj, "neg", "16-bit unsigned integer");
    expect_miss<unsigned>(obj, "big", "32-bit unsigned integer");
    expect_value<unsigned>(obj, "port", 70000u);
    expect_miss<unsigned long>(obj, "neg", "unsigned integer");
    expect_miss<unsigned long>(obj, "real", "unsigned integer");
    expect_value<unsigned long>(obj, "u64max", std::numeric_limits<unsigned long>::max());
    expect_value<unsigned long>(obj, "big", two_pow_32_plus_5);
}

TEST(NumberReads, LongTakesEverySigned64BitValue) {
    const Object obj = numbers();
    expect_value<long>(obj, "big", static_cast<long>(two_pow_32_plus_5));
    expect_value<long>(obj, "neg", -7L);
    expect_miss<long>(obj, "u64max", "integer");
    expect_miss<long>(obj, "str", "integer");
}

TEST(NumberReads, DoubleTakesIntegersAndReals) {
    const Object obj = numbers();
    expect_value<double>(obj, "real", 12.5);
    expect_value<double>(obj, "int", 42.0);
    expect_value<double>(obj, "neg", -7.0);
    // 2^64 as a double, never -1.
    expect_value<double>(obj, "u64max", 18446744073709551616.0);
    for (const char* key : {"str", "null", "absent"})
        expect_miss<double>(obj, key, "number");
}

TEST(NumberReads, EnumerationsReadTheirUnderlyingInteger) {
    const Object obj = numbers();
    Subtype s = SUBTYPE_NONE;
    extract_or_throw(obj)("small", s, true);
    EXPECT_EQ(s, SUBTYPE_TWO);
    EXPECT_FALSE(object_get_may_throw(obj, "neg", s, false));
    EXPECT_EQ(s, SUBTYPE_TWO);
    EXPECT_THROW(object_get_may_throw(obj, "neg", s, true), Json_Error);
    EXPECT_TRUE(object_get(obj, "int", s));
    EXPECT_EQ(static_cast<unsigned>(s), 42u);
}

TEST(NumberReads, JobDefinitionSubtypeIsNeverWrappedIntoRange) {
    const Object obj =
        Object_Maker()("subtype", 24)("wide", static_cast<long>((int64_t(1) << 32) + 24)).get_obj();
    Job_Definition_Subtype subtype = JOB_DEFINITION_SUBTYPE_NONE;
    extract_or_throw(obj)("subtype", subtype, true)("wide", subtype, false);
    EXPECT_EQ(subtype, JOB_DEFINITION_SUBTYPE_VM);
    subtype = JOB_DEFINITION_SUBTYPE_NONE;
    EXPECT_THROW(extract_or_throw(obj)("wide", subtype, true), Json_Error);
    EXPECT_EQ(subtype, JOB_DEFINITION_SUBTYPE_NONE);
}

TEST(OptionalReads, AMissKeepsTheOutput) {
    const Object obj = Object_Maker()("s", "text")("b", true)("n", 5)("o", Object_Maker()("k", 1))(
                           "a", Array{Value(1)})
                           .get_obj();
    std::string s = "default";
    bool b = false;
    int n = -1;
    unsigned long ul = 9;
    Object o;
    Array a;
    extract(obj)("absent", s)("n", s)("s", b)("s", n)("s", ul)("s", o)("s", a);
    EXPECT_EQ(s, "default");
    EXPECT_FALSE(b);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(ul, 9u);
    EXPECT_TRUE(o.empty() && a.empty());

    extract(obj)("s", s)("b", b)("n", n)("n", ul)("o", o)("a", a);
    EXPECT_EQ(s, "text");
    EXPECT_TRUE(b);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(ul, 5u);
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(a.size(), 1u);
}

TEST(OptionalReads, PointersPointAtTheMemberOrBecomeNull) {
    Object obj = Object_Maker()("s", "text")("o", Object())("a", Array())("n", 1).get_obj();
    const std::string* sp = nullptr;
    const Object* op = nullptr;
    const Array* ap = nullptr;
    const char* cp = nullptr;
    extract(static_cast<const Object&>(obj))("s", sp)("o", op)("a", ap)("s", cp);
    EXPECT_EQ(sp, &obj["s"].get_str());
    EXPECT_EQ(op, &obj["o"].get_obj());
    EXPECT_EQ(ap, &obj["a"].get_array());
    EXPECT_STREQ(cp, "text");

    extract(static_cast<const Object&>(obj))("n", sp)("n", op)("absent", ap)("n", cp);
    EXPECT_EQ(sp, nullptr);
    EXPECT_EQ(op, nullptr);
    EXPECT_EQ(ap, nullptr);
    EXPECT_EQ(cp, nullptr);

    Array* mutable_array = nullptr;
    extract(obj)("a", mutable_array)("s", sp);
    ASSERT_NE(mutable_array, nullptr);
    mutable_array->push_back(Value(1));
    EXPECT_EQ(obj["a"].get_array().size(), 1u);
    EXPECT_NE(sp, nullptr);
}

TEST(RequiredReads, EachTypeThrowsOnAbsentOrMistypedMembers) {
    const Object obj = Object_Maker()("s", "text")("b", false)("o", Object_Maker()("k", 1))(
                           "a", Array{Value(1)})("null", Value())
                           .get_obj();
    std::string s;
    bool b = true;
    Value v;
    Object o;
    Array a;
    const std::string* sp = nullptr;
    const Object* op = nullptr;
    const Array* ap = nullptr;
    const char* cp = nullptr;
    extract_or_throw(obj)("s", s, true)("b", b, true)("null", v, true)("o", o, true)("a", a, true)(
        "s", sp, true)("o", op, true)("a", ap, true)("s", cp, true);
    EXPECT_EQ(s, "text");
    EXPECT_FALSE(b);
    EXPECT_TRUE(v.is_null());
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(sp, object_get_str(obj, "s"));
    EXPECT_EQ(op, object_get_object(obj, "o"));
    EXPECT_EQ(ap, object_get_array(obj, "a"));
    EXPECT_EQ(cp, sp->c_str());

    EXPECT_THROW(extract_or_throw(obj)("b", s, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("s", b, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("absent", v, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("a", o, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("o", a, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("null", sp, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("null", op, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("null", ap, true), Json_Error);
    EXPECT_THROW(extract_or_throw(obj)("null", cp, true), Json_Error);

    // Not required: the same outputs are left alone on a miss, pointers cleared.
    s = "kept";
    extract_or_throw(obj)("b", s, false)("b", sp, false)("b", cp, false);
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(sp, nullptr);
    EXPECT_EQ(cp, nullptr);
}

TEST(RequiredReads, AFailureStopsTheChainAndKeepsWhatWasRead) {
    const Object obj = Object_Maker()("a", 1)("c", 3).get_obj();
    int a = -1, b = -1, c = -1;
    try {
        extract_or_throw(obj)("a", a, true)("b", b, true)("c", c, false);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "'b' is expected as 32-bit integer");
    }
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(c, -1);
}

TEST(RequiredReads, MutableExtractorYieldsMutableMembers) {
    Object obj = Object_Maker()("o", Object())("a", Array()).get_obj();
    Object* op = nullptr;
    Array* ap = nullptr;
    extract_or_throw(obj)("o", op, true)("a", ap, true);
    insert (*op)("k", 1);
    ap->push_back(Value(2));
    EXPECT_EQ(obj["o"].get_obj().size(), 1u);
    EXPECT_EQ(obj["a"].get_array().size(), 1u);
    EXPECT_THROW(extract_or_throw(obj)("o", ap, true), Json_Error);
}

namespace {
template <class T, class = void>
struct can_extract : std::false_type {};
template <class T>
struct can_extract<T, std::void_t<decltype(extract(std::declval<T>()))>> : std::true_type {};
template <class T, class = void>
struct can_extract_or_throw : std::false_type {};
template <class T>
struct can_extract_or_throw<T, std::void_t<decltype(extract_or_throw(std::declval<T>()))>>
    : std::true_type {};
}  // namespace

// A reader over a temporary would hand out dangling pointers.
static_assert(can_extract<const Object&>::value && can_extract<Object&>::value);
static_assert(!can_extract<Object>::value && !can_extract_or_throw<Object>::value);

TEST(AnyGetters, ReferencesPointersAndDefaults) {
    Object obj = Object_Maker()("s", "text")("a", Array())("o", Object()).get_obj();
    const Object& cobj = obj;
    EXPECT_EQ(&object_get_any<std::string>(cobj, "s"), &obj["s"].get_str());
    object_get_any<Array>(obj, "a").push_back(Value(1));
    EXPECT_EQ(obj["a"].get_array().size(), 1u);
    EXPECT_THROW(object_get_any<std::string>(cobj, "a"), Json_Error);
    EXPECT_THROW(object_get_any<Array>(obj, "absent"), Json_Error);

    EXPECT_EQ(object_get_any_ptr<std::string>(cobj, "s"), &obj["s"].get_str());
    EXPECT_EQ(object_get_any_ptr<std::string>(cobj, "a"), nullptr);
    EXPECT_EQ(object_get_any_ptr<Object>(cobj, "o"), &obj["o"].get_obj());
    Array* ap = object_get_any_ptr<Array>(obj, "a");
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ(object_get_any_ptr<Array>(obj, "s"), nullptr);

    EXPECT_EQ(object_get_or_default(cobj, "s", "dflt"), "text");
    EXPECT_EQ(object_get_or_default(cobj, "a", "dflt"), "dflt");
    EXPECT_EQ(object_get_or_default(cobj, "absent", "dflt"), "dflt");
}
