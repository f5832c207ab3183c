#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/host_manager.h"
#include "host/paths.h"
#include "qorm/client_io_options_helper.h"
#include "support/temp_root.h"

namespace {
json_spirit::Object dump(const Client_IO_Base::Options& o) {
    json_spirit::Object out;
    out << o;
    return out;
}

struct Fake_Definition {
    size_t max_seconds_retry = 0;
    size_t resumption_buffer_size = 0;
    Rate_Limits rate_limits;
};
}  // namespace

TEST(ClientIoOptionsHelper, OnlyNamedHeadsAndTheAccessKeyAreSet) {
    Client_IO_Base::Options o;
    o.set_extra_option("keep", "me");
    const json_spirit::Object before = dump(o);
    for (int id : {0, -1, 50, 1000}) {
        ASSERT_EQ(nullptr, http_head_string(id, 0)) << id;
        set_http_head_to_options(o, id, secure_string("v"));
    }
    EXPECT_EQ(before, dump(o));

    Client_IO_Base::Options key;
    set_access_key_to_options(key, secure_string("k1"));
    set_access_key_to_options(key, secure_string("k2"));
    ASSERT_EQ(1u, key.extra_options.size());
    ASSERT_NE(nullptr, key.extra_option(http_head_string(49, 0)));
    EXPECT_EQ("k2", *key.extra_option(http_head_string(49, 0)));
}

TEST(ClientIoOptionsHelper, ByHostPicksTheKeyOfWhereItRuns) {
    Temp_Root root;
    const std::string path = Host_Manager::settings_path();
    ASSERT_EQ(0, make_directories(path.substr(0, path.rfind('/')), 0755));
    for (bool on_backupd : {true, false}) {
        std::ofstream(path) << R"({"access_key": "host-key", "node_access_key": "node-key")"
                            << (on_backupd ? R"(, "on_backupd": true})" : "}");
        ASSERT_TRUE(Host_Manager::instance()->reload());
        Client_IO_Base::Options o;
        set_options_by_host(o);
        ASSERT_NE(nullptr, o.extra_option(http_head_string(49, 0)));
        EXPECT_EQ(on_backupd ? "node-key" : "host-key", *o.extra_option(http_head_string(49, 0)));
    }
    ::unlink(path.c_str());
    Host_Manager::instance()->reload();
}

TEST(ClientIoOptionsHelper, ByJobDefinitionCopiesAndSharesLimits) {
    Fake_Definition def;
    def.max_seconds_retry = 300;
    def.resumption_buffer_size = 1 << 20;
    def.rate_limits.dest_rate_limits = {{0, Rate_Limit::DAY_SECONDS, 1000}};
    def.rate_limits.src_rate_limits = {{0, 60, 9}};

    Client_IO_Base::Options o;
    o.rate_limits.dest_rate_limits = {{0, 10, 5}, {10, 20, 5}};
    set_options_by_job_def(o, def, 4);
    EXPECT_EQ(300u, o.max_seconds_retry);
    EXPECT_EQ(size_t(1) << 20, o.resumption_buffer_size);
    ASSERT_EQ(1u, o.rate_limits.dest_rate_limits.size());
    EXPECT_EQ(250u, o.rate_limits.dest_rate_limits[0].rate);
    EXPECT_EQ(2u, o.rate_limits.src_rate_limits[0].rate);
    // The definition keeps its own limits.
    EXPECT_EQ(1000u, def.rate_limits.dest_rate_limits[0].rate);
}
