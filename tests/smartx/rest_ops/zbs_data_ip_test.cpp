// The ZBS data addresses of a cluster, from its hosts.
#include "smartx/rest/rest_test_support.h"

namespace rest_test {
namespace {

class Zbs_Data_Ip_Test : public Rest_Test {
protected:
    void SetUp() override {
        Rest_Test::SetUp();
        log_in();
    }

    // Replaces the data address of the named host; "" removes it.
    void set_data_ip(const std::string& host, const std::string& data_ip) {
        Object record = ct_test::fixture_record("hosts", host);
        if (data_ip.empty())
            record.erase("data_ip");
        else
            record["data_ip"] = data_ip;
        ASSERT_TRUE(server_->put_records("hosts", Array{Value(record)}));
    }

    std::string hz01_ = fixture_id("clusters", "cluster-hz-01");
};

TEST_F(Zbs_Data_Ip_Test, OneAddressPerHostInTheCluster) {
    Log_Capture log;
    std::string addresses;
    ASSERT_TRUE(client_.get_zbs_data_ip(hz01_, addresses));
    EXPECT_EQ("10.10.10.21:10201:10206,10.10.10.22:10201:10206", addresses);
    EXPECT_EQ(std::vector<std::string>({"POST /v2/api/get-hosts"}), calls());
    EXPECT_EQ(parse(R"({"cluster": {"id": ")" + hz01_ + R"("}})"),
              ct_test::member(bodies()[0], "where"));
    EXPECT_TRUE(
        logged(log, "ZBS data network :10.10.10.21:10201:10206,10.10.10.22:10201:10206.\n"));

    ASSERT_TRUE(client_.get_zbs_data_ip(fixture_id("clusters", "cluster-hz-02"), addresses));
    EXPECT_EQ("10.10.20.21:10201:10206", addresses);
}

TEST_F(Zbs_Data_Ip_Test, ClusterWithoutHostsGivesNoAddress) {
    std::string addresses = "stale";
    ASSERT_TRUE(client_.get_zbs_data_ip("no-such-cluster", addresses));
    EXPECT_EQ("", addresses);
}

TEST_F(Zbs_Data_Ip_Test, HostsWithoutDataAddressAreSkipped) {
    set_data_ip("node-hz01-01", "");
    Log_Capture log;
    std::string addresses;
    ASSERT_TRUE(client_.get_zbs_data_ip(hz01_, addresses));
    EXPECT_EQ("10.10.10.22:10201:10206", addresses);
    EXPECT_TRUE(logged(log, "node-hz01-01"));
}

TEST_F(Zbs_Data_Ip_Test, NoHostWithDataAddressFails) {
    set_data_ip("node-hz01-01", "");
    set_data_ip("node-hz01-02", "");
    Log_Capture log;
    std::string addresses = "untouched";
    EXPECT_FALSE(client_.get_zbs_data_ip(hz01_, addresses));
    EXPECT_EQ("untouched", addresses);
    bool error_logged = false;
    for (const auto& line : log.lines())
        error_logged |= line.priority == LM_ERROR;
    EXPECT_TRUE(error_logged) << ::testing::PrintToString(log.texts());
}

TEST_F(Zbs_Data_Ip_Test, FailedHostQueryIsLoggedWithItsReason) {
    server_->fail_path("get-hosts", 503, "hosts unavailable", 1);
    Log_Capture log;
    std::string addresses = "untouched";
    EXPECT_FALSE(client_.get_zbs_data_ip(hz01_, addresses));
    EXPECT_EQ("untouched", addresses);
    EXPECT_TRUE(
        logged(log, "Failed to query hosts in cluster[" + hz01_ + "]. hosts unavailable.\n"))
        << ::testing::PrintToString(log.texts());
    EXPECT_TRUE(client_.error_.empty());
}

}  // namespace
}  // namespace rest_test
