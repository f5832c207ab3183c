#include "qorm/natoi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

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
}  // namespace

TEST(Natoi, IntAndUnsignedLongMatrix) {
    const Case cases[] = {
        {"0", 0, 0, 1},
        {"12x", 12, 0, 2},
        {"+7", 7, 0, 2},
        {"-7", -7, 0, 2},
        {"007", 7, 0, 3},
        {"2147483647", INT_MAX, 0, 10},
        {"-2147483648", INT_MIN, 0, 11},
        {"2147483648", INT_MAX, ERANGE, 9},
        {"99999999999", INT_MAX, ERANGE, 9},
        // Negative overflow saturates low, not high.
        {"-2147483649", INT_MIN, ERANGE, 10},
        {"-99999999999", INT_MIN, ERANGE, 10},
        {"", 0, EINVAL, 0},
        {"-", 0, EINVAL, 0},
        {"+", 0, EINVAL, 0},
        {"x1", 0, EINVAL, 0},
        {" 1", 0, EINVAL, 0},
        {"--1", 0, EINVAL, 0},
        {"2.7", 2, 0, 1},
        {"1e3", 1, 0, 1},
    };
    for (const Case& c : cases)
        check<int>(c);
    const Case unsigned_cases[] = {
        {"18446744073709551615", -1 /* ULONG_MAX */, 0, 20},
        {"18446744073709551616", -1, ERANGE, 19},
        {"-1", 0, EINVAL, 0},
        {"-0", 0, EINVAL, 0},
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

TEST(Natoi, OtherWidths) {
    errno = 0;
    EXPECT_EQ(natoi<short>("-32769"), SHRT_MIN);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(natoi<long long>("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(natoi<unsigned char>("256"), 255);
    EXPECT_EQ(errno, ERANGE);
}
