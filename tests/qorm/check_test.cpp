#include "qorm/check.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {
int guarded(const char* id, const std::string& name, int rc, std::vector<int>* items) {
    QORM_CHECK_NOT_NULL_OR_EMPTY_RETURN(id, -1);
    QORM_CHECK_NOT_EMPTY_RETURN(name, -2);
    QORM_CHECK_EQ_RETURN(rc, 0, -3);
    QORM_CHECK_NOT_NULL_RETURN(items, -4);
    QORM_CHECK_FALSE_RETURN(items->empty(), -5);
    return 0;
}

void void_guard(bool ok, int* reached) {
    QORM_CHECK_TRUE_RETURN(ok, );
    ++*reached;
}

enum Color { RED = 3 };
}  // namespace

TEST(QormToString, ValuesAndIteratorsWithoutDereferencing) {
    int x = 0;
    EXPECT_EQ(
        (std::vector<std::string>{"0", "-12", "18446744073709551615", "3", "c", "abc", "NULL",
                                  "0x"}),
        (std::vector<std::string>{
            qorm::to_string(0), qorm::to_string(-12L), qorm::to_string(18446744073709551615ULL),
            qorm::to_string(RED), qorm::to_string('c'), qorm::to_string(std::string("abc")),
            qorm::to_string(static_cast<const char*>(nullptr)), qorm::to_string(&x).substr(0, 2)}));

    // An iterator names its type and address.
    std::vector<int> v{1, 2};
    char addr[32];
    std::snprintf(addr, sizeof addr, "(%p)", static_cast<void*>(v.data()));
    EXPECT_EQ(qorm::to_string(v.begin()), std::string(typeid(v.begin()).name()) + addr);
    // end() of an empty map must not be dereferenced (ASan would tell).
    std::map<int, int> m;
    const std::string at_end = qorm::to_string(m.end());
    EXPECT_EQ(at_end.rfind(typeid(m.end()).name(), 0), 0u);
    EXPECT_EQ(at_end.back(), ')');
}

TEST(QormToString, IfNotEqualAddsOnlyWhatTheTextDoesNotSay) {
    EXPECT_EQ(qorm::to_string_if_ne(0, "0", "(", ")"), "");
    EXPECT_EQ(qorm::to_string_if_ne(5, "rc", "(", ")"), "(5)");
    EXPECT_EQ(qorm::to_string_if_ne(5, "rc", nullptr, nullptr), "5");
    EXPECT_EQ(qorm::to_string_if_ne(5, nullptr, "[", "]"), "[5]");
    EXPECT_EQ(to_string_for_qorm_check_macro(7, "7"), "");
    EXPECT_EQ(to_string_for_qorm_check_macro(7, "n"), "(7)");
}

TEST(QormCheck, PassingChecksLogNothingAndFailingOnesKeepErrno) {
    Log_Capture log;
    std::vector<int> items{1};
    EXPECT_EQ(guarded("id", "n", 0, &items), 0);
    EXPECT_TRUE(QORM_CHECK_LT(-1, 1u));  // signed against unsigned compares by value
    EXPECT_TRUE(QORM_CHECK_GE(2u, -1));
    EXPECT_TRUE(QORM_CHECK_NE(3, 4));
    EXPECT_TRUE(log.lines().empty());

    errno = ENOENT;
    EXPECT_FALSE(QORM_CHECK_NOT_NULL(static_cast<void*>(nullptr)));
    EXPECT_EQ(errno, ENOENT);
}

TEST(QormCheck, FailureLogsTheInvariantMessageAndReturns) {
    std::vector<int> empty_items;
    struct Expect {
        int rc;
        const char* ending;
    };
    Log_Capture log;
    const Expect expected[] = {
        {guarded(nullptr, "n", 0, &empty_items), "id is NULL or \"\":\n"},
        {guarded("", "n", 0, &empty_items), "id is NULL or \"\":\n"},
        {guarded("i", "", 0, &empty_items), "name is empty:\n"},
        {guarded("i", "n", 5, &empty_items), "rc(5) != 0:\n"},
        {guarded("i", "n", 0, nullptr), "items is NULL:\n"},
        {guarded("i", "n", 0, &empty_items), "items->empty() is true:\n"},
    };
    ASSERT_EQ(log.lines().size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i].rc, -static_cast<int>(i < 2 ? 1 : i));
        const auto& e = log.lines()[i];
        EXPECT_EQ(e.priority, LM_EMERGENCY);
        EXPECT_EQ(e.text.rfind("Unexpected error in " __FILE__ ":", 0), 0u) << e.text;
        EXPECT_NE(e.text.find(std::string(", ") + expected[i].ending), std::string::npos) << e.text;
    }

    int reached = 0;
    void_guard(false, &reached);
    void_guard(true, &reached);
    EXPECT_EQ(reached, 1);
    EXPECT_NE(log.lines().back().text.find(", ok is false:\n"), std::string::npos);
}

TEST(QormCheck, ComparisonsShowValuesAndEvaluateOnce) {
    Log_Capture log;
    int calls = 0;
    auto next = [&calls] { return ++calls; };
    EXPECT_FALSE(QORM_CHECK_GT(next(), 5));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(QORM_CHECK_LE(10, 9));
    EXPECT_FALSE(QORM_CHECK(1 + 1 == 3, "arithmetic is broken"));
    ASSERT_EQ(log.lines().size(), 3u);
    EXPECT_NE(log.lines()[0].text.find(", next()(1) <= 5:\n"), std::string::npos)
        << log.lines()[0].text;
    EXPECT_NE(log.lines()[1].text.find(", 10 > 9:\n"), std::string::npos) << log.lines()[1].text;
    EXPECT_NE(log.lines()[2].text.find(", arithmetic is broken:\n"), std::string::npos);
}
