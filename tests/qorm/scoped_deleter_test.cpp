#include "qorm/scoped_deleter.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

namespace {
struct Counter {
    int* calls;
    void operator()() const { ++*calls; }
};
static_assert(!std::is_copy_constructible_v<Scoped_Deleter<Counter>>);
static_assert(!std::is_copy_assignable_v<Scoped_Deleter<Counter>>);
}  // namespace

TEST(ScopedDeleter, CallsExactlyOnce) {
    int a = 0, b = 0, c = 0;
    {
        auto reset_early = make_deleter(Counter{&a});
        reset_early.reset();
        EXPECT_EQ(a, 1);
        auto moved_from = make_deleter(Counter{&b});
        auto moved_to = std::move(moved_from);
        moved_from.reset();
        EXPECT_EQ(b, 0);
        auto overwritten = make_deleter(Counter{&c});
        overwritten = std::move(moved_to);  // runs the callable it replaces
        EXPECT_EQ(c, 1);
    }
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 1);
}
