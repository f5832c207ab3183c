#include <string>

#include <gtest/gtest.h>

#include "host/client_io_options.h"
#include "host/json_spirit/json_io.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

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
    o.rate_limits.dest_rate_limits = {{0, 3600, 1000}};
    o.set_extra_option("X-Access-Key", secure_string("head-secret"));
    return o;
}

Object dump(const Client_IO_Base::Options& o) {
    Object out;
    out << o;
    return out;
}

TEST(ClientIoOptions, JsonRoundTripThroughTextKeepsSecretsSecret) {
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

    // A copy is independent of its original.
    Client_IO_Base::Options copy = loaded;
    copy.set_extra_option("X-Access-Key", std::string("other"));
    copy.rate_limits.set_rate_limits_by_channels(10);
    copy.key.clear();
    EXPECT_EQ(written, dump(loaded));
    EXPECT_EQ(nullptr, loaded.extra_option("X-Other"));
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

}  // namespace
