#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/posix_time.h"
#include "qorm/check.h"
#include "qorm/join.h"
#include "qorm/key2_value.h"
#include "qorm/map_at.h"
#include "qorm/natoi.h"
#include "qorm/path.h"
#include "qorm/snprintf.h"
#include "qorm/time_format.h"
#include "support/log_capture.h"

namespace {

struct Case {
    const char* text;
    long long value;
    int err;
    size_t consumed;  // where stop points, from the start
};

template <class T>
void check(const Case& c) {
    const char* stop = nullptr;
    errno = -1;
    T v = natoi<T>(c.text, nullptr, &stop);
    EXPECT_EQ(static_cast<long long>(v), c.value) << '"' << c.text << '"';
    EXPECT_EQ(errno, c.err) << '"' << c.text << '"';
    EXPECT_EQ(stop - c.text, static_cast<ptrdiff_t>(c.consumed)) << '"' << c.text << '"';
}

TEST(Natoi, IntAndUnsignedLongMatrix) {
    const Case cases[] = {
        {"0", 0, 0, 1},
        {"12x", 12, 0, 2},
        {"+7", 7, 0, 2},
        {"-7", -7, 0, 2},
        {"2147483647", INT_MAX, 0, 10},
        {"-2147483648", INT_MIN, 0, 11},
        {"2147483648", INT_MAX, ERANGE, 9},
        // Negative overflow saturates low, not high.
        {"-2147483649", INT_MIN, ERANGE, 10},
        {"-99999999999", INT_MIN, ERANGE, 10},
        {"", 0, EINVAL, 0},
        {"-", 0, EINVAL, 0},
        {"x1", 0, EINVAL, 0},
        {" 1", 0, EINVAL, 0},
        {"2.7", 2, 0, 1},
        {"1e3", 1, 0, 1},
    };
    for (const Case& c : cases)
        check<int>(c);
    const Case unsigned_cases[] = {
        {"18446744073709551615", -1 /* ULONG_MAX */, 0, 20},
        {"18446744073709551616", -1, ERANGE, 19},
        {"-1", 0, EINVAL, 0},
        {"+42", 42, 0, 3},
        {"", 0, EINVAL, 0},
    };
    for (const Case& c : unsigned_cases)
        check<unsigned long>(c);
}

TEST(Natoi, NullTextOptionalOutputsAndOtherWidths) {
    errno = 0;
    EXPECT_EQ(natoi<int>(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(errno, EINVAL);
    const char* none = nullptr;
    const char* stop = "unchanged";
    EXPECT_EQ(natoi<int>(none, nullptr, &stop), 0);
    EXPECT_EQ(stop, nullptr);
    EXPECT_EQ(natoi<int>("55"), 55);
    EXPECT_EQ(errno, 0);
    // Other widths saturate at their own bounds.
    EXPECT_EQ(natoi<short>("-32769"), SHRT_MIN);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(natoi<long long>("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(natoi<unsigned char>("256"), 255);
    EXPECT_EQ(errno, ERANGE);
}

TEST(Natoi, BoundedRangeIgnoresWhatFollows) {
    const char text[] = "12345";
    const char* stop = nullptr;
    EXPECT_EQ(natoi<int>(text, text + 3, &stop), 123);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(stop, text + 3);
    // An empty range is no number, even though a digit lies beyond it.
    EXPECT_EQ(natoi<int>(text, text, &stop), 0);
    EXPECT_EQ(errno, EINVAL);
    // With an end, a NUL inside the range is just a non-digit.
    const char embedded[] = {'4', '\0', '5'};
    EXPECT_EQ(natoi<int>(embedded, embedded + 3, &stop), 4);
    EXPECT_EQ(stop, embedded + 1);
    // Mutable text and a mutable stop pointer.
    char buf[] = "-31;";
    char* mstop = nullptr;
    EXPECT_EQ(natoi<int>(buf, nullptr, &mstop), -31);
    EXPECT_EQ(*mstop, ';');
}

template <class Obj>
bool inline_text(const Obj& o) {
    const char* p = o.c_str();
    const char* begin = reinterpret_cast<const char*>(&o);
    return p >= begin && p < begin + sizeof o;
}

// A conversion that glibc fails (EILSEQ) after it has written the text
// before it: the formatter reports -1 with a truncated prefix in place.
const wint_t kUnconvertible = 0x100;

template <class Map, class Key>
std::string missing_key(Map& m, const Key& key) {
    try {
        map_at(m, key);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "no exception";
}

TEST(Snprintf, GrowsOnlyWhenTheTextDoesNotFitAndReformatsInPlace) {
    for (size_t n : {0u, 63u, 64u, 110u}) {
        const std::string text(n, 'a');
        snprintf_t<64> s("%s", text.c_str());
        EXPECT_EQ(n < 64, inline_text(s)) << n;
        EXPECT_EQ(static_cast<int>(n), s.length());
        EXPECT_EQ(text, s.c_str());
    }
    snprintf_t<1024> big("%1025d", 7);
    EXPECT_EQ(big.length(), 1025);
    EXPECT_EQ(std::string(big.c_str()).size(), 1025u);
    const std::string s100(100, 'x'), s300(300, 'y');
    snprintf_t<64> s("%s", s100.c_str());
    EXPECT_EQ(s.set("%d", 42), 2);
    EXPECT_STREQ(s.c_str(), "42");
    EXPECT_EQ(s.set("%s", s300.c_str()), 300);
    EXPECT_EQ(s.c_str(), s300);
}

TEST(Snprintf, EmptyAfterEveryFailure) {
    // The failing pass leaves "abc" in the buffer: it must not show.
    snprintf_t<64> inline_fail("%s%lc", "abc", kUnconvertible);
    EXPECT_STREQ(inline_fail.c_str(), "");
    EXPECT_EQ(inline_fail.length(), 0);
    const std::string s100(100, 'z');
    snprintf_t<64> heap("%s", s100.c_str());
    ASSERT_FALSE(inline_text(heap));
    EXPECT_EQ(heap.set("%s%lc", "abc", kUnconvertible), -1);
    EXPECT_STREQ(heap.c_str(), "");
    EXPECT_EQ(heap.length(), 0);
    EXPECT_EQ(heap.set("%s", "ok"), 2);  // usable again
    EXPECT_STREQ(heap.c_str(), "ok");
}

TEST(StringSprintf, ReplaceAndAppendReturnTheNewSizeAcrossTheGrowthSteps) {
    EXPECT_EQ(string_sprintf("%d-%s", 5, "x"), "5-x");
    std::string s(300, 'q');
    EXPECT_EQ(string_sprintf(s, "%s", "ab"), 2);
    EXPECT_EQ(s, "ab");
    EXPECT_EQ(string_sprintf_append(s, "%d", 7), 3);
    EXPECT_EQ(s, "ab7");
    std::string empty;
    EXPECT_EQ(string_sprintf_append(empty, "%s", ""), 0);
    EXPECT_EQ(empty, "");
    for (size_t n : {126u, 127u, 128u, 129u, 255u, 256u, 257u, 5000u}) {
        const std::string text(n, 'k');
        std::string r;
        EXPECT_EQ(string_sprintf(r, "%s", text.c_str()), static_cast<int>(n));
        EXPECT_EQ(r, text);
        std::string a = "head:";
        EXPECT_EQ(string_sprintf_append(a, "%s", text.c_str()), static_cast<int>(n + 5));
        EXPECT_EQ(a, "head:" + text);
    }
}

TEST(StringSprintf, FailureEmptiesOrRestores) {
    std::string replaced = "old content";
    EXPECT_LT(string_sprintf(replaced, "%s%lc", "abc", kUnconvertible), 0);
    EXPECT_EQ(replaced, "");
    std::string appended = "keep";
    EXPECT_LT(string_sprintf_append(appended, "%s%lc", "abc", kUnconvertible), 0);
    EXPECT_EQ(appended, "keep");
    EXPECT_EQ(string_sprintf("%s%lc", "abc", kUnconvertible), "");
}

TEST(TimeFormat, FormatsInTheProcessZoneOrGivesEmptyText) {
    const char* tz = std::getenv("TZ");
    const std::string saved = tz ? tz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    typedef POSIX_Time_Format<16, true> Stamp;
    EXPECT_STREQ(Stamp(86400 + 3661, "%Y%m%d_%H%M%S").c_str(), "19700102_010101");
    EXPECT_STREQ(Stamp(0, "%Y-%m-%d %H:%M:%S").c_str(), "");  // too long
    EXPECT_STREQ(Stamp(0, nullptr).c_str(), "");
    EXPECT_STREQ(POSIX_Time_To_ISO8601(1700000000).c_str(), "2023-11-14 22:13:20");
    EXPECT_EQ(std::string(POSIX_Time_To_ISO8601().c_str()).size(), 19u);
    tz ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

TEST(SmallHelpers, MapAtJoinTransformAndPathAppendSep) {
    std::map<std::string, int> m{{"a", 1}};
    map_at(m, std::string("a")) = 5;
    const auto& cm = m;
    EXPECT_EQ(map_at(cm, std::string("a")), 5);
    EXPECT_EQ(missing_key(m, std::string("zz")), "No key 'zz' in map");
    std::map<int, int> by_number;
    EXPECT_EQ(missing_key(by_number, 7), "No key '7' in map");
    // Separators only between elements.
    auto twice = [](int x) { return 2 * x; };
    std::ostringstream none, one, three;
    qorm::join_transform(std::vector<int>{}, none, ',', twice);
    qorm::join_transform(std::vector<int>{4}, one, ',', twice);
    std::vector<int> v{1, 2, 3};
    EXPECT_EQ(&qorm::join_transform(v.begin(), v.end(), three, ';', twice), &three);
    EXPECT_EQ((std::vector<std::string>{"", "8", "2;4;6"}),
              (std::vector<std::string>{none.str(), one.str(), three.str()}));
    // One separator, and only after a non-empty path.
    std::string empty, plain = "/a", ended = "/a/";
    EXPECT_EQ(path_append_sep(empty, '/'), "");
    EXPECT_EQ(path_append_sep(plain, '/'), "/a/");
    EXPECT_EQ(path_append_sep(ended, '/'), "/a/");
}

// An empty name is a real row; the terminator answers with 9 here.
const Key2_Value_T<int> table[] = {key2_value_row("", 1), key2_value_row("IDLE", 2),
                                   key2_value_row("IDLE_TOO", 2), key2_value_end(9)};

TEST(Key2Value, NamesMatchExactlyAndValuesFindTheFirstRow) {
    EXPECT_EQ(get_value_by_key(table, "IDLE"), 2);
    for (const char* miss : {"idle", "IDLE ", "IDL", "Idle_too"})
        EXPECT_EQ(get_key_value_entry(table, miss), &table[3]) << miss;
    EXPECT_EQ(get_key_value_entry(table, static_cast<const char*>(nullptr)), &table[3]);
    EXPECT_EQ(get_value_by_key(table, ""), 1);  // only an empty row matches an empty name
    // With a length only the first n bytes count, against the row's own length.
    EXPECT_EQ(get_key_value_entry(table, "IDLE", 4), &table[1]);
    EXPECT_EQ(get_key_value_entry(table, "IDLE", 3), &table[3]);
    EXPECT_EQ(get_key_value_entry(table, "IDLE_TOO_LONG", 8), &table[2]);
    EXPECT_EQ(get_key_value_entry(table, "", 0), &table[0]);
    EXPECT_EQ(get_key_value_entry(table, nullptr, 0), &table[3]);
    EXPECT_STREQ(get_key_by_value(table, 2), "IDLE");
    EXPECT_EQ(get_key_by_value(table, 5), nullptr);
    // The terminator's own value is not a row: it gives no name either.
    EXPECT_EQ(get_key_value_entry(table, 9), &table[3]);
    EXPECT_EQ(get_key_by_value(table, 9), nullptr);
}

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

}  // namespace
