// What the pool I/O is told: its options, rate limits and HTTP heads.
#include <sys/uio.h>

#include <string>

#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/client_io_options.h"
#include "host/json_spirit/json_io.h"
#include "host/rate_limits.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

Rate_Limits sample_limits() {
    Rate_Limits r;
    r.dest_rate_limits = {{0, 3600, 1000}, {3600, 7200, 2}, {7200, Rate_Limit::DAY_SECONDS, 0}};
    r.src_rate_limits = {{79200, 3600, 900}};  // across midnight
    return r;
}

Client_IO_Base::Options sample() {
    Client_IO_Base::Options o;
    o.overwrite = true;
    o.sock_timeout = 15;
    o.compression = 2;
    o.compression_level = 6;
    o.cipher = 1;
    o.key = secure_string("0123456789abcdef0123456789abcdef");
    o.iv = secure_string("fedcba9876543210");
    o.dedup_min_size = 4096;
    o.dedup_avg_size = 8192;
    o.dedup_max_size = 65536;
    o.access_key = secure_string("ak");
    o.secret_key = secure_string("sk");
    o.source_address = "10.0.0.2";
    o.node_addrs = {{"n1", "10.0.0.3:9000"}};
    o.scan_initiators = {"iqn.2024-01.x:1"};
    o.access_mode = 3;
    o.max_seconds_retry = 600;
    o.resumption_buffer_size = 1 << 20;
    o.rate_limits = sample_limits();
    o.set_extra_option("X-Access-Key", secure_string("head-secret"));
    return o;
}

Object dump(const Client_IO_Base::Options& o) {
    Object out;
    out << o;
    return out;
}

TEST(ClientIoOptions, JsonRoundTripThroughTextKeepsSecretsSecretAndCopiesApart) {
    const Object written = dump(sample());
    for (const char* key : {"key", "iv", "access_key", "secret_key"})
        EXPECT_EQ(json_spirit::secure_str_type, written.at(key).type()) << key;
    EXPECT_EQ(json_spirit::secure_str_type,
              written.at("extra_options").get_obj().at("X-Access-Key").type());
    Value parsed;
    ASSERT_TRUE(json_spirit::read(json_spirit::write(Value(written)), parsed));
    Client_IO_Base::Options loaded;
    ASSERT_TRUE(parsed.get_obj() >> loaded);
    EXPECT_EQ(written, dump(loaded));
    ASSERT_NE(nullptr, loaded.extra_option("X-Access-Key"));
    EXPECT_EQ("head-secret", *loaded.extra_option("X-Access-Key"));
    EXPECT_EQ(nullptr, loaded.extra_option("X-Other"));

    Client_IO_Base::Options copy = loaded;
    copy.set_extra_option("X-Access-Key", std::string("other"));
    copy.rate_limits.set_rate_limits_by_channels(10);
    copy.key.clear();
    EXPECT_EQ(written, dump(loaded));
}

TEST(ClientIoOptions, ReadingKeepsAbsentMembersAndRejectsMistypedOnes) {
    Client_IO_Base::Options o = sample();
    ASSERT_TRUE((Object{{"compression", Value(0)}}) >> o);
    EXPECT_EQ(0, o.compression);
    EXPECT_EQ(6, o.compression_level);
    EXPECT_EQ(600u, o.max_seconds_retry);
    const Object before = dump(o);
    const Object bad[] = {
        {{"compression", Value(1)}, {"overwrite", Value("yes")}},
        {{"max_seconds_retry", Value(-1)}},
        {{"scan_initiators", Array{Value(1)}}},
        {{"node_addrs", Array()}},
        {{"extra_options", Object{{"h", Value(1)}}}},
        {{"rate_limits", Object{{"dest", Value(1)}}}},
    };
    for (const Object& in : bad)
        EXPECT_FALSE(in >> o) << json_spirit::write(Value(in));
    EXPECT_EQ(before, dump(o));
}

TEST(RateLimits, ChannelsShareEachLimit) {
    Rate_Limits r = sample_limits();
    r.set_rate_limits_by_channels(3);
    EXPECT_EQ(333u, r.dest_rate_limits[0].rate);
    EXPECT_EQ(1u, r.dest_rate_limits[1].rate) << "a share below 1 byte/s is not unlimited";
    EXPECT_EQ(0u, r.dest_rate_limits[2].rate) << "unlimited stays unlimited";
    EXPECT_EQ(300u, r.src_rate_limits[0].rate);
    EXPECT_EQ(79200u, r.src_rate_limits[0].begin);
    EXPECT_EQ(3600u, r.src_rate_limits[0].end);
    for (int channels : {1, 0, -4}) {
        r = sample_limits();
        r.set_rate_limits_by_channels(channels);
        EXPECT_EQ(sample_limits().dump(), r.dump()) << channels;
    }
}

TEST(RateLimits, BadWindowsAreRefusedWhole) {
    Rate_Limits r;
    ASSERT_TRUE(r.load(Object()));
    EXPECT_TRUE(r.dest_rate_limits.empty());
    r = sample_limits();
    auto window = [](int begin, int end, int rate) {
        return Value(Object{{"begin", Value(begin)}, {"end", Value(end)}, {"rate", Value(rate)}});
    };
    std::string error;
    EXPECT_FALSE(r.load(Object{{"dest", Array{window(0, 86401, 1)}}}, &error));
    EXPECT_NE(std::string::npos, error.find("end")) << error;
    EXPECT_FALSE(r.load(Object{{"src", Array{window(0, 10, -1)}}}));
    EXPECT_FALSE(r.load(Object{{"src", Array{Value(5)}}}));
    EXPECT_EQ(sample_limits().dump(), r.dump());
}

TEST(CgiResponse, HeadsAreStoredByIdSerialisedInIdOrderAndInjectionIsRefused) {
    EXPECT_EQ(http_head_id(http_head_string(HTTP_HEAD_CONTENT_LENGTH, 0)), 12);
    EXPECT_STREQ(http_head_string(HTTP_HEAD_ACCESS_KEY, 0), "X-Access-Key");
    EXPECT_EQ(http_head_id("X-ACCESS-KEY"), HTTP_HEAD_ACCESS_KEY);
    for (int unknown : {-1, 0, 9, 48, 50, 1000})
        EXPECT_EQ(http_head_string(unknown, 0), nullptr) << unknown;
    EXPECT_EQ(http_head_id("X-Other"), -1);
    EXPECT_EQ(http_head_id(nullptr), -1);

    CGI_Response r;
    EXPECT_EQ(r.status(), 200);
    EXPECT_TRUE(r.head(16, "text/plain"));
    EXPECT_TRUE(r.head(16, "application/json"));
    EXPECT_STREQ(r.head(16), "application/json");
    EXPECT_TRUE(r.head(16, nullptr));
    EXPECT_EQ(r.head(16), nullptr);
    EXPECT_FALSE(r.head(1000, "x"));
    EXPECT_EQ(r.iovec_count(), 0);
    r.head(49, "k1");
    EXPECT_FALSE(r.head(49, "k1\r\nX-Evil: 1"));
    EXPECT_FALSE(r.head(8, "close\n"));
    r.head(8, "close");
    r.head(12, "5");
    ASSERT_EQ(r.iovec_count(), 3);
    iovec iov[3];
    ASSERT_EQ(r.to_iovec(iov, 3), 3);
    std::string all;
    for (const iovec& v : iov)
        all.append(static_cast<const char*>(v.iov_base), v.iov_len);
    EXPECT_EQ(all, "Connection: close\r\nContent-Length: 5\r\nX-Access-Key: k1\r\n");
    EXPECT_EQ(r.to_iovec(iov, 1), 1);
    EXPECT_EQ(r.to_iovec(iov, 0), 0);
}

}  // namespace
