#include <cstdint>
#include <limits>
#include <list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "json_spirit/json_params_helper.h"
#include "json_spirit/json_spirit_helper.h"

using namespace json_spirit;

namespace {
enum class Code : int { OK = 0, FAILED_RETRY = 2 };

Value json(const std::string& text) {
    Value v;
    EXPECT_TRUE(read(text, v)) << text;
    return v;
}
}  // namespace

TEST(ObjectInserter, StoresEachTypeAsItsJsonTypeAndTheLastValueOfAKey) {
    Object obj;
    obj["k"] = Value(0);
    Object nested;
    nested["x"] = Value(true);
    const std::string s = "text";
    Object& same = insert(obj)("k", 1)("k", 2)("int", 7)("long", -5L)(
        "ulong", std::numeric_limits<unsigned long>::max())("double", 2.5)("bool", false)(
        "string", s)("literal", "lit")("object", nested)("code", Code::FAILED_RETRY);
    EXPECT_EQ(&same, &obj);
    // A literal must become a string, never a bool; an enumeration its number.
    EXPECT_EQ(json("{\"k\": 2, \"int\": 7, \"long\": -5, \"ulong\": 18446744073709551615, "
                   "\"double\": 2.5, \"bool\": false, \"string\": \"text\", \"literal\": \"lit\", "
                   "\"object\": {\"x\": true}, \"code\": 2}"),
              Value(obj));
    EXPECT_EQ(obj["ulong"].get_uint64(), std::numeric_limits<uint64_t>::max());
    // The typed form overwrites with a value of another type too.
    insert(obj)("k", std::string("two"));
    EXPECT_EQ(obj["k"].get_str(), "two");
}

TEST(SkipInserting, SkipIfSkipEmptyAndSkipNull) {
    const std::string name = "vm", empty, full = "x";
    Object nested;
    nested["a"] = Value(1);
    Array arr{Value(1), Value(2)};
    Value v = Object_Maker()("skipped", name | skip_if(true))("name", name | skip_if(false))(
        "n", 3 | skip_if(false))("m", 4L | skip_if(true))("obj", nested | skip_if(false))(
        "arr", arr | skip_if(false))("temp", Array() | skip_if(false))("empty", skip_empty(empty))(
        "full", skip_empty(full))("temp_str", skip_empty(std::string("t")))(
        "temp_empty", skip_empty(std::string()))("null", skip_null(Value()))("zero",
                                                                             skip_null(Value(0)));
    EXPECT_EQ(json("{\"name\": \"vm\", \"n\": 3, \"obj\": {\"a\": 1}, \"arr\": [1, 2], \"temp\": "
                   "[], \"full\": \"x\", \"temp_str\": \"t\", \"zero\": 0}"),
              v);
    // The lvalues were copied, not moved from.
    EXPECT_EQ(nested.size(), 1u);
    EXPECT_EQ(arr.size(), 2u);
    // A skipped value leaves an existing member as it was.
    Object obj;
    obj["name"] = Value("old");
    insert(obj)("name", std::string("new") | skip_if(true));
    EXPECT_EQ(obj["name"].get_str(), "old");
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

    Object_Maker* first = new Object_Maker();
    (*first)("a", 1);
    Object_Maker second(*first);
    delete first;
    second("b", 2);  // would write into freed memory if the copy kept the first's object
    EXPECT_EQ(second.get_obj().size(), 2u);
    // Sliced into a Value: the Value owns the object.
    Value v = std::move(second);
    second("y", 2);
    EXPECT_EQ(v.get_obj().size(), 2u);
}

TEST(ArrayMaker, AppendsContainersAndRangesInOrder) {
    std::list<int> ints{1, 2};
    std::vector<std::string> strs{"a", "b"};
    std::vector<Code> codes{Code::OK, Code::FAILED_RETRY};
    Array_Maker maker;
    maker(ints)(strs);
    maker(codes.begin(), codes.end(), codes.size());
    maker(strs.begin(), strs.begin(), 0);
    EXPECT_EQ(json("[1, 2, \"a\", \"b\", 0, 2]"), Value(maker.get_array()));
    EXPECT_EQ(json("[\"a\", \"b\", 1, 2]"), Value(Array_Maker()(strs)(ints)));  // a temporary
    Array_Maker copy(maker);
    copy(ints);
    EXPECT_EQ(maker.get_array().size(), 6u);
    EXPECT_EQ(copy.get_array().size(), 8u);
}

TEST(ArrayHelpers, ShiftPlusEqualsPushBackAndAppendObject) {
    Array arr;
    arr << Value(1) << Value("two");
    arr += std::vector<long>{3, 4};
    arr += std::vector<int>{};
    Array more{Value(5), Value(6)};
    push_back(arr, more, more.size());
    Object proto;
    proto["kept"] = Value(true);
    Object& added = append_object(arr, proto);
    insert(added)("filled", 1);
    EXPECT_EQ(json("[1, \"two\", 3, 4, 5, 6, {\"kept\": true, \"filled\": 1}]"), Value(arr));
    EXPECT_EQ(proto.size(), 1u);
    std::vector<int> ints{1};
    push_back(ints, std::list<int>{2, 3}, 0);
    EXPECT_EQ(ints, (std::vector<int>{1, 2, 3}));
}

TEST(ValueConversions, ToObjectKeepsAnObjectAndReplacesAnythingElse) {
    Value v = Array{Value(1)};
    Object& o = to_object(v);
    EXPECT_TRUE(o.empty());
    EXPECT_EQ(v.type(), obj_type);
    o["a"] = Value(1);
    EXPECT_EQ(&to_object(v), &o);
    EXPECT_EQ(o.size(), 1u);
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

    Value out = Object_Maker()("old", 1);
    params_to_array(out, "a", "b", "c");
    EXPECT_EQ(out.get_array(), (Array{Value("a"), Value("b"), Value("c")}));
}

using namespace json_spirit;

TEST(ArrayFilter, GetObjVisitsOnlyObjectsInOrder) {
    const Array arr{Value(1), Object_Maker()("n", 1), Value("s"), Value(),
                    Array(),  Object_Maker()("n", 2)};
    std::vector<int> seen;
    for (const Object& o : arr | get_obj)
        seen.push_back(object_get_int_or_throw(o, "n"));
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    // The view refers to the array's own elements.
    EXPECT_EQ(&*(arr | get_obj).begin(), &arr[1].get_obj());
    std::vector<Object> objs{Object()};
    push_back(objs, arr | get_obj, arr.size());
    ASSERT_EQ(objs.size(), 3u);
    EXPECT_EQ(object_get_int_or_throw(objs[2], "n"), 2);
    const Array none, scalars{Value(1), Value(true), Value("x")};
    EXPECT_TRUE((none | get_obj).empty());
    EXPECT_TRUE((scalars | get_obj).empty());
    EXPECT_EQ((scalars | get_obj).begin(), (scalars | get_obj).end());
}

TEST(ArrayFilter, OtherPairsSelectOtherTypes) {
    const Array arr{Value("a"), Value(1), Value("b"), Value(secure_string("c", 1))};
    std::vector<std::string> strs;
    for (const std::string& s :
         arr | Pred_Conv_Pair<Type_Checker, Get_String_Helper>{{str_type}, get_str_helper})
        strs.push_back(s);
    EXPECT_EQ(strs, (std::vector<std::string>{"a", "b"}));
    std::vector<std::string> secrets;
    for (const secure_string& s : arr | Pred_Conv_Pair<Type_Checker, Get_Secure_String_Helper>{
                                            {secure_str_type}, get_secure_str_helper})
        secrets.emplace_back(s.data(), s.size());
    EXPECT_EQ(secrets, (std::vector<std::string>{"c"}));
}

namespace {
template <class T, class = void>
struct can_filter : std::false_type {};
template <class T>
struct can_filter<T, std::void_t<decltype(std::declval<T>() | get_obj)>> : std::true_type {};
}  // namespace

// A view of a temporary array would outlive its elements.
static_assert(can_filter<const Array&>::value);
static_assert(!can_filter<Array>::value);
