#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/host_manager.h"
#include "host/paths.h"
#include "qorm/client_io_options_helper.h"
#include "support/temp_root.h"

using json_spirit::Object;

namespace {

Object dump(const Client_IO_Base::Options& o) {
    Object out;
    out << o;
    return out;
}

struct Fake_Definition {
    size_t max_seconds_retry = 0;
    size_t resumption_buffer_size = 0;
    Rate_Limits rate_limits;
};

class Host_Settings : public ::testing::Test {
protected:
    void write_settings(const std::string& text) {
        const std::string path = Host_Manager::settings_path();
        ASSERT_EQ(0, make_directories(path.substr(0, path.rfind('/')), 0755));
        std::ofstream(path) << text;
        ASSERT_TRUE(Host_Manager::instance()->reload());
    }
    void TearDown() override {
        ::unlink(Host_Manager::settings_path().c_str());
        Host_Manager::instance()->reload();
    }

    Temp_Root root_;
};

}  // namespace

TEST(Client_IO_Options_Helper, HeadWithoutNameLeavesOptionsUnchanged) {
    Client_IO_Base::Options o;
    o.set_extra_option("keep", "me");
    const Object before = dump(o);
    for (int id : {0, -1, 50, 1000}) {
        ASSERT_EQ(nullptr, http_head_string(id, 0)) << id;
        set_http_head_to_options(o, id, secure_string("v"));
    }
    EXPECT_EQ(before, dump(o));
}

TEST(Client_IO_Options_Helper, AccessKeyGoesIntoItsHead) {
    Client_IO_Base::Options o;
    set_access_key_to_options(o, secure_string("k1"));
    set_access_key_to_options(o, secure_string("k2"));
    ASSERT_EQ(1u, o.extra_options.size());
    const secure_string* v = o.extra_option(http_head_string(49, 0));
    ASSERT_NE(nullptr, v);
    EXPECT_EQ("k2", *v);
}

TEST_F(Host_Settings, ByHostPicksTheKeyOfWhereItRuns) {
    const std::string head = http_head_string(49, 0);

    write_settings(
        R"({"access_key": "host-key", "node_access_key": "node-key", "on_backupd": true})");
    Client_IO_Base::Options on_server;
    set_options_by_host(on_server);
    ASSERT_NE(nullptr, on_server.extra_option(head));
    EXPECT_EQ("node-key", *on_server.extra_option(head));

    write_settings(R"({"access_key": "host-key", "node_access_key": "node-key"})");
    Client_IO_Base::Options elsewhere;
    set_options_by_host(elsewhere);
    ASSERT_NE(nullptr, elsewhere.extra_option(head));
    EXPECT_EQ("host-key", *elsewhere.extra_option(head));
}

TEST(Client_IO_Options_Helper, ByJobDefinitionCopiesAndSharesLimits) {
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
