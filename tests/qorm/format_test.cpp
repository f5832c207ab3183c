#include "host/posix_time.h"
#include "qorm/join.h"
#include "qorm/map_at.h"
#include "qorm/path.h"
#include "qorm/snprintf.h"
#include "qorm/time_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {
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
}  // namespace

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
