#include "json_spirit/json_params_helper.h"
#include "json_spirit/json_spirit_helper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

using namespace json_spirit;

namespace {
enum class Code : int { OK = 0, FAILED_RETRY = 2 };

const Value& member(const Object& o, const std::string& key) {
    const Value* v = object_get_value(o, key);
    if (v == nullptr)
        throw std::runtime_error("no member " + key);
    return *v;
}
}  // namespace

TEST(ObjectInserter, SameKeyTwiceKeepsOneMemberWithTheLastValue) {
    Object obj;
    obj["k"] = Value(0);
    insert(obj)("k", 1)("k", 2);
    ASSERT_EQ(obj.size(), 1u);
    EXPECT_EQ(member(obj, "k").get_int(), 2);

    // The typed form overwrites with a value of another type too.
    insert(obj)("k", std::string("two"));
    EXPECT_EQ(member(obj, "k").get_str(), "two");
}

TEST(ObjectInserter, StoresEachTypeAsItsJsonType) {
    Object obj;
    Object nested;
    nested["x"] = Value(true);
    const std::string s = "text";
    insert(obj)("int", 7)("long", -5L)("ulong", std::numeric_limits<unsigned long>::max())(
        "double", 2.5)("bool", false)("string", s)("literal", "lit")("object", nested)(
        "code", Code::FAILED_RETRY);

    EXPECT_EQ(member(obj, "int").get_int(), 7);
    EXPECT_EQ(member(obj, "long").get_int64(), -5);
    EXPECT_EQ(member(obj, "ulong").get_uint64(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(member(obj, "double").get_real(), 2.5);
    EXPECT_EQ(member(obj, "bool").type(), bool_type);
    // A literal must become a string, never a bool.
    EXPECT_EQ(member(obj, "literal").type(), str_type);
    EXPECT_EQ(member(obj, "literal").get_str(), "lit");
    EXPECT_EQ(member(obj, "string").get_str(), "text");
    EXPECT_EQ(member(obj, "object").get_obj(), nested);
    EXPECT_EQ(member(obj, "code").type(), int_type);
    EXPECT_EQ(member(obj, "code").get_int(), 2);
}

TEST(ObjectInserter, ConvertsToItsObject) {
    Object obj;
    Object& same = insert(obj)("a", 1);
    EXPECT_EQ(&same, &obj);
}

TEST(SkipInserting, SkipIfInsertsOnlyWhenTheConditionIsFalse) {
    const std::string name = "vm";
    Value skipped = Object_Maker()("name", name | skip_if(true));
    EXPECT_TRUE(skipped.get_obj().empty());

    Value kept = Object_Maker()("name", name | skip_if(false))("n", 3 | skip_if(false))(
        "m", 4L | skip_if(true));
    EXPECT_EQ(kept.get_obj().size(), 2u);
    EXPECT_EQ(member(kept.get_obj(), "name").get_str(), "vm");
    EXPECT_EQ(member(kept.get_obj(), "n").get_int(), 3);

    // A skipped value leaves an existing member as it was.
    Object obj;
    obj["name"] = Value("old");
    insert(obj)("name", std::string("new") | skip_if(true));
    EXPECT_EQ(member(obj, "name").get_str(), "old");
}

TEST(SkipInserting, SkipIfCarriesObjectsAndArrays) {
    Object nested;
    nested["a"] = Value(1);
    Array arr{Value(1), Value(2)};
    Value v = Object_Maker()("obj", nested | skip_if(false))("arr", arr | skip_if(false))(
        "temp", Array() | skip_if(false));
    EXPECT_EQ(member(v.get_obj(), "obj").get_obj(), nested);
    EXPECT_EQ(member(v.get_obj(), "arr").get_array(), arr);
    EXPECT_TRUE(member(v.get_obj(), "temp").get_array().empty());
    // The lvalues were copied, not moved from.
    EXPECT_EQ(nested.size(), 1u);
    EXPECT_EQ(arr.size(), 2u);
}

TEST(SkipInserting, SkipEmptyAndSkipNull) {
    const std::string empty;
    const std::string full = "x";
    Object obj;
    insert(obj)("empty", skip_empty(empty))("full", skip_empty(full))(
        "temp", skip_empty(std::string("t")))("temp_empty", skip_empty(std::string()))(
        "null", skip_null(Value()))("zero", skip_null(Value(0)));
    EXPECT_EQ(obj.size(), 3u);
    EXPECT_EQ(member(obj, "full").get_str(), "x");
    EXPECT_EQ(member(obj, "temp").get_str(), "t");
    EXPECT_EQ(member(obj, "zero").get_int(), 0);
    EXPECT_EQ(obj.count("empty"), 0u);
    EXPECT_EQ(obj.count("null"), 0u);
}

static_assert(std::is_copy_constructible_v<Object_Maker> &&
              std::is_move_constructible_v<Object_Maker>);
static_assert(std::is_copy_constructible_v<Array_Maker> &&
              std::is_move_constructible_v<Array_Maker>);

TEST(ObjectMaker, CopiesAndMovesAreIndependentValues) {
    Object_Maker original;
    original("a", 1);
    Object_Maker copy(original);
    copy("b", 2);
    EXPECT_EQ(original.get_obj().size(), 1u);
    EXPECT_EQ(copy.get_obj().size(), 2u);

    Object_Maker moved(std::move(copy));
    moved("c", 3);
    EXPECT_EQ(moved.get_obj().size(), 3u);
    // A moved-from maker starts over instead of writing into another's object.
    copy("z", 0);
    EXPECT_EQ(moved.get_obj().size(), 3u);
    EXPECT_EQ(copy.get_obj().size(), 1u);

    Object_Maker assigned;
    assigned = original;
    assigned("d", 4);
    EXPECT_EQ(original.get_obj().size(), 1u);
    EXPECT_EQ(assigned.get_obj().size(), 2u);
}

TEST(ObjectMaker, OutlivesTheMakerItWasCopiedFrom) {
    Object_Maker* first = new Object_Maker();
    (*first)("a", 1);
    Object_Maker second(*first);
    delete first;
    second("b", 2);  // would write into freed memory if the copy kept the first's object
    EXPECT_EQ(second.get_obj().size(), 2u);

    // Sliced into a Value: the Value owns the object.
    Object_Maker maker;
    maker("x", 1);
    Value v = std::move(maker);
    maker("y", 2);
    EXPECT_EQ(v.get_obj().size(), 1u);
}

TEST(ObjectMaker, OneExpressionBuildsNestedValues) {
    Value v = Object_Maker()("id", std::string("vm-1"))("size", 10L)("ok", true)(
        "disks", Array_Maker()(std::vector<std::string>{"d1", "d2"}))("inner",
                                                                      Object_Maker()("k", 1));
    const Object& o = v.get_obj();
    EXPECT_EQ(member(o, "id").get_str(), "vm-1");
    EXPECT_EQ(member(o, "size").get_int64(), 10);
    EXPECT_TRUE(member(o, "ok").get_bool());
    EXPECT_EQ(member(o, "disks").get_array().size(), 2u);
    EXPECT_EQ(member(member(o, "inner").get_obj(), "k").get_int(), 1);
}

TEST(ArrayMaker, AppendsContainersAndRangesInOrder) {
    std::list<int> ints{1, 2};
    std::vector<std::string> strs{"a", "b"};
    std::vector<Code> codes{Code::OK, Code::FAILED_RETRY};
    Array_Maker maker;
    maker(ints)(strs);
    maker(codes.begin(), codes.end(), codes.size());
    maker(strs.begin(), strs.begin(), 0);
    const Array& arr = maker.get_array();
    ASSERT_EQ(arr.size(), 6u);
    EXPECT_EQ(arr[0].get_int(), 1);
    EXPECT_EQ(arr[3].get_str(), "b");
    EXPECT_EQ(arr[5].get_int(), 2);

    Array_Maker copy(maker);
    copy(ints);
    EXPECT_EQ(maker.get_array().size(), 6u);
    EXPECT_EQ(copy.get_array().size(), 8u);
}

TEST(ArrayHelpers, ShiftPlusEqualsAndPushBack) {
    Array arr;
    arr << Value(1) << Value("two");
    arr += std::vector<long>{3, 4};
    arr += std::vector<int>{};
    ASSERT_EQ(arr.size(), 4u);
    EXPECT_EQ(arr[1].get_str(), "two");
    EXPECT_EQ(arr[3].get_int64(), 4);

    Array more{Value(5), Value(6)};
    push_back(arr, more, more.size());
    EXPECT_EQ(arr.size(), 6u);
    EXPECT_EQ(arr[5].get_int(), 6);

    std::vector<int> ints{1};
    push_back(ints, std::list<int>{2, 3}, 0);
    EXPECT_EQ(ints, (std::vector<int>{1, 2, 3}));
}

TEST(ArrayHelpers, AppendObjectReturnsTheElementToFill) {
    Array arr{Value(1)};
    Object proto;
    proto["kept"] = Value(true);
    Object& added = append_object(arr, proto);
    insert(added)("filled", 1);
    ASSERT_EQ(arr.size(), 2u);
    EXPECT_EQ(arr[1].get_obj().size(), 2u);
    EXPECT_EQ(proto.size(), 1u);
}

TEST(ValueConversions, ToObjectKeepsAnObjectAndReplacesAnythingElse) {
    Value v = Array{Value(1)};
    Object& o = to_object(v);
    EXPECT_TRUE(o.empty());
    EXPECT_EQ(v.type(), obj_type);

    o["a"] = Value(1);
    Object& again = to_object(v);
    EXPECT_EQ(&again, &o);
    EXPECT_EQ(again.size(), 1u);

    EXPECT_TRUE(to_new_object(v).empty());

    Value a = Object_Maker()("x", 1);
    Array& arr = to_array(a);
    EXPECT_TRUE(arr.empty());
    arr.push_back(Value(1));
    EXPECT_EQ(&to_array(a), &arr);
    EXPECT_TRUE(to_new_array(a).empty());

    Value s = 5;
    to_new_string(s) = "abc";
    EXPECT_EQ(s.get_str(), "abc");
}

TEST(ParamsToArray, ReplacesTheOutputWithTheThreeStrings) {
    Value out = Object_Maker()("old", 1);
    params_to_array(out, "a", "b", "c");
    EXPECT_EQ(out.get_array(), (Array{Value("a"), Value("b"), Value("c")}));
}
