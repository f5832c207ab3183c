#include <string>

#include <gtest/gtest.h>

#include "host/rate_limits.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

Rate_Limits sample() {
    Rate_Limits r;
    r.dest_rate_limits = {{0, 3600, 1000}, {3600, 7200, 2}, {7200, Rate_Limit::DAY_SECONDS, 0}};
    r.src_rate_limits = {{79200, 3600, 900}};  // across midnight
    return r;
}

TEST(RateLimits, ChannelsShareEachLimit) {
    Rate_Limits r = sample();
    r.set_rate_limits_by_channels(3);
    EXPECT_EQ(333u, r.dest_rate_limits[0].rate);
    EXPECT_EQ(1u, r.dest_rate_limits[1].rate) << "a share below 1 byte/s is not unlimited";
    EXPECT_EQ(0u, r.dest_rate_limits[2].rate) << "unlimited stays unlimited";
    EXPECT_EQ(300u, r.src_rate_limits[0].rate);
    EXPECT_EQ(79200u, r.src_rate_limits[0].begin);
    EXPECT_EQ(3600u, r.src_rate_limits[0].end);
    for (int channels : {1, 0, -4}) {
        r = sample();
        r.set_rate_limits_by_channels(channels);
        EXPECT_EQ(sample().dump(), r.dump()) << channels;
    }
}

TEST(RateLimits, JsonRoundTripAndBadWindows) {
    Rate_Limits r;
    std::string error;
    ASSERT_TRUE(r.load(sample().dump(), &error)) << error;
    EXPECT_EQ(sample().dump(), r.dump());
    ASSERT_TRUE(r.load(Object()));
    EXPECT_TRUE(r.dest_rate_limits.empty());

    r = sample();
    auto window = [](int begin, int end, int rate) {
        return Value(Object{{"begin", Value(begin)}, {"end", Value(end)}, {"rate", Value(rate)}});
    };
    EXPECT_FALSE(r.load(Object{{"dest", Array{window(0, 86401, 1)}}}, &error));
    EXPECT_NE(std::string::npos, error.find("end")) << error;
    EXPECT_FALSE(r.load(Object{{"src", Array{window(0, 10, -1)}}}));
    EXPECT_FALSE(r.load(Object{{"src", Array{Value(5)}}}));
    EXPECT_EQ(sample().dump(), r.dump());
}

}  // namespace
