#include "json_spirit/json_spirit_helper.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

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
