#include "qorm/backoff.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <vector>

namespace {
constexpr unsigned max_u32 = UINT32_MAX;
using V = std::vector<unsigned>;

V delays(unsigned slot, unsigned retries, unsigned cap, bool jitter) {
    V out;
    for (unsigned d : exponential_backoff(slot, retries, cap, jitter))
        out.push_back(d);
    return out;
}
}  // namespace

TEST(Backoff, SequenceEdges) {
    EXPECT_EQ(delays(1, 5, 30, false), (V{1, 2, 4, 8, 16}));
    EXPECT_EQ(delays(3, 6, 10, false), (V{3, 6, 10, 10, 10, 10}));
    EXPECT_EQ(delays(50, 2, 10, false), (V{10, 10}));
    EXPECT_EQ(delays(7, 0, 0, false), V{7});  // always one attempt
    EXPECT_EQ(delays(max_u32, 3, 0, false), (V{max_u32, max_u32, max_u32}));
}

TEST(Backoff, HugeRetriesSaturateAndJitterStaysInRange) {
    for (unsigned cap : {0u, 600u}) {
        const V plain = delays(1, 1000, cap, false);
        const V jittered = delays(1, 1000, cap, true);
        ASSERT_EQ(plain.size(), 1000u);
        ASSERT_EQ(jittered.size(), 1000u);
        EXPECT_EQ(plain.back(), cap ? cap : max_u32);
        for (std::size_t i = 0; i < plain.size(); ++i) {
            ASSERT_GE(plain[i], i ? plain[i - 1] : 1u) << i;  // never wraps to 0
            ASSERT_TRUE(jittered[i] >= 1 && jittered[i] <= plain[i]) << i;
        }
    }
}

TEST(Backoff, EndsExactlyAtEndAndSumsDelays) {
    const Exponential_Backoff_Iterator end;
    Exponential_Backoff_Iterator it(1, 5, 0, false);
    EXPECT_EQ(std::distance(it, end), 5);
    EXPECT_EQ(it.cumulation(), 1u);
    Exponential_Backoff_Iterator before = it++;
    EXPECT_NE(before, it);
    EXPECT_EQ(++before, it);
    EXPECT_EQ(it.cumulation(), 3u);
    std::advance(it, 4);
    EXPECT_EQ(it, end);
    EXPECT_EQ(it.cumulation(), 31u);
    EXPECT_EQ(++it, end);  // stays at the end

    Exponential_Backoff_Iterator huge(1, 100, 0, false);
    while (huge != end)
        ++huge;
    EXPECT_EQ(huge.cumulation(), max_u32);
}
