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

// Reads key both ways into outputs that start at 99. A value that fits is
// read; a miss leaves the output as it was and fails a required read with
// the key and the kind (miss_kind) in the text.
template <class T>
void expect_read(const Object& obj, const std::string& key, T expected,
                 const char* miss_kind = nullptr) {
    SCOPED_TRACE(key);
    T optional = T(99), required = T(99);
    extract_or_throw(obj)(key, optional, false);
    std::string error;
    try {
        extract_or_throw(obj)(key, required, true);
    } catch (const Json_Error& e) {
        error = e.what();
    }
    const T want = miss_kind ? T(99) : expected;
    EXPECT_EQ(want, optional);
    EXPECT_EQ(want, required);
    EXPECT_EQ(miss_kind ? "'" + key + "' is expected as " + miss_kind : "", error);
}

template <class T>
void expect_miss(const Object& obj, const std::string& key, const char* kind) {
    expect_read<T>(obj, key, T(99), kind);
}
}  // namespace

TEST(NumberReads, EachTypeTakesOnlyValuesThatFit) {
    const Object obj =
        Object_Maker()("int", 42)("neg", -7)("big", static_cast<long>(two_pow_32_plus_5))(
            "u64max", std::numeric_limits<unsigned long>::max())("real", 12.5)("str", "12")(
            "null", Value())("port", 70000)
            .get_obj();
    expect_read<int>(obj, "int", 42);
    expect_read<int>(obj, "neg", -7);
    for (const char* key : {"big", "u64max", "real", "str", "null", "absent"})
        expect_miss<int>(obj, key, "32-bit integer");
    // Unsigned types refuse negatives and values above their range: never
    // 4464 (70000 modulo 65536).
    expect_miss<unsigned short>(obj, "port", "16-bit unsigned integer");
    expect_read<unsigned short>(obj, "int", 42);
    expect_miss<unsigned short>(obj, "neg", "16-bit unsigned integer");
    expect_miss<unsigned>(obj, "big", "32-bit unsigned integer");
    expect_read<unsigned>(obj, "port", 70000u);
    expect_miss<unsigned long>(obj, "neg", "unsigned integer");
    expect_miss<unsigned long>(obj, "real", "unsigned integer");
    expect_read<unsigned long>(obj, "u64max", std::numeric_limits<unsigned long>::max());
    expect_read<unsigned long>(obj, "big", two_pow_32_plus_5);

    expect_read<long>(obj, "big", static_cast<long>(two_pow_32_plus_5));
    expect_read<long>(obj, "neg", -7L);
    expect_miss<long>(obj, "u64max", "integer");
    expect_miss<long>(obj, "str", "integer");

    expect_read<double>(obj, "real", 12.5);
    expect_read<double>(obj, "int", 42.0);
    expect_read<double>(obj, "neg", -7.0);
    expect_read<double>(obj, "u64max", 18446744073709551616.0);  // 2^64, never -1
    for (const char* key : {"str", "null", "absent"})
        expect_miss<double>(obj, key, "number");
}

TEST(NumberReads, EnumerationsReadTheirUnderlyingIntegerNeverWrapped) {
    const Object obj = Object_Maker()("small", 2)("neg", -7)("subtype", 24)(
                           "wide", static_cast<long>((int64_t(1) << 32) + 24))
                           .get_obj();
    Subtype s = SUBTYPE_NONE;
    extract_or_throw(obj)("small", s, true);
    EXPECT_EQ(s, SUBTYPE_TWO);
    EXPECT_FALSE(object_get_may_throw(obj, "neg", s, false));
    EXPECT_EQ(s, SUBTYPE_TWO);
    EXPECT_THROW(object_get_may_throw(obj, "neg", s, true), Json_Error);
    EXPECT_TRUE(object_get(obj, "subtype", s));
    EXPECT_EQ(static_cast<unsigned>(s), 24u);
    Job_Definition_Subtype subtype = JOB_DEFINITION_SUBTYPE_NONE;
    extract_or_throw(obj)("subtype", subtype, true)("wide", subtype, false);
    EXPECT_EQ(subtype, JOB_DEFINITION_SUBTYPE_VM);
    subtype = JOB_DEFINITION_SUBTYPE_NONE;
    EXPECT_THROW(extract_or_throw(obj)("wide", subtype, true), Json_Error);
    EXPECT_EQ(subtype, JOB_DEFINITION_SUBTYPE_NONE);
}

TEST(OptionalReads, AMissKeepsTheOutputAndPointersBecomeNull) {
    Object obj = Object_Maker()("s", "text")("b", true)("n", 5)("o", Object_Maker()("k", 1))(
                     "a", Array{Value(1)})
                     .get_obj();
    const Object& cobj = obj;
    std::string s = "default";
    bool b = false;
    int n = -1;
    unsigned long ul = 9;
    Object o;
    Array a;
    const std::string* sp = nullptr;
    const Object* op = nullptr;
    const Array* ap = nullptr;
    const char* cp = nullptr;
    extract(obj)("absent", s)("n", s)("s", b)("s", n)("s", ul)("s", o)("s", a);
    EXPECT_EQ(s, "default");
    EXPECT_FALSE(b);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(ul, 9u);
    EXPECT_TRUE(o.empty() && a.empty());

    extract(obj)("s", s)("b", b)("n", n)("n", ul)("o", o)("a", a);
    extract(cobj)("s", sp)("o", op)("a", ap)("s", cp);
    EXPECT_EQ(s, "text");
    EXPECT_TRUE(b);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(ul, 5u);
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(sp, &obj["s"].get_str());
    EXPECT_EQ(op, &obj["o"].get_obj());
    EXPECT_EQ(ap, &obj["a"].get_array());
    EXPECT_STREQ(cp, "text");

    extract(cobj)("n", sp)("n", op)("absent", ap)("n", cp);
    EXPECT_EQ(sp, nullptr);
    EXPECT_EQ(op, nullptr);
    EXPECT_EQ(ap, nullptr);
    EXPECT_EQ(cp, nullptr);

    Array* mutable_array = nullptr;
    extract(obj)("a", mutable_array)("s", sp);
    ASSERT_NE(mutable_array, nullptr);
    mutable_array->push_back(Value(1));
    EXPECT_EQ(obj["a"].get_array().size(), 2u);
    EXPECT_NE(sp, nullptr);
}

TEST(RequiredReads, EachTypeThrowsOnAbsentOrMistypedMembers) {
    Object obj = Object_Maker()("s", "text")("b", false)("o", Object_Maker()("k", 1))(
                     "a", Array{Value(1)})("null", Value())
                     .get_obj();
    const Object& cobj = obj;
    std::string s;
    bool b = true;
    Value v;
    Object o;
    Array a;
    const std::string* sp = nullptr;
    const Object* op = nullptr;
    const Array* ap = nullptr;
    const char* cp = nullptr;
    extract_or_throw(cobj)("s", s, true)("b", b, true)("null", v, true)("o", o, true)("a", a, true)(
        "s", sp, true)("o", op, true)("a", ap, true)("s", cp, true);
    EXPECT_EQ(s, "text");
    EXPECT_FALSE(b);
    EXPECT_TRUE(v.is_null());
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(sp, object_get_str(obj, "s"));
    EXPECT_EQ(op, object_get_object(cobj, "o"));
    EXPECT_EQ(ap, object_get_array(cobj, "a"));
    EXPECT_EQ(cp, sp->c_str());

    EXPECT_THROW(extract_or_throw(cobj)("b", s, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("s", b, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("absent", v, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("a", o, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("o", a, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("null", sp, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("null", op, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("null", ap, true), Json_Error);
    EXPECT_THROW(extract_or_throw(cobj)("null", cp, true), Json_Error);
    // Not required: the same outputs are left alone on a miss, pointers cleared.
    s = "kept";
    extract_or_throw(cobj)("b", s, false)("b", sp, false)("b", cp, false);
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(sp, nullptr);
    EXPECT_EQ(cp, nullptr);
    // The mutable reader yields mutable members.
    Object* mop = nullptr;
    Array* map = nullptr;
    extract_or_throw(obj)("o", mop, true)("a", map, true);
    insert (*mop)("k2", 1);
    map->push_back(Value(2));
    EXPECT_EQ(obj["o"].get_obj().size(), 2u);
    EXPECT_EQ(obj["a"].get_array().size(), 2u);
    EXPECT_THROW(extract_or_throw(obj)("o", map, true), Json_Error);
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
    EXPECT_NE(object_get_any_ptr<Array>(obj, "a"), nullptr);
    EXPECT_EQ(object_get_any_ptr<Array>(obj, "s"), nullptr);
    EXPECT_EQ(object_get_or_default(cobj, "s", "dflt"), "text");
    EXPECT_EQ(object_get_or_default(cobj, "a", "dflt"), "dflt");
    EXPECT_EQ(object_get_or_default(cobj, "absent", "dflt"), "dflt");
}
