// The ZBS data addresses of a cluster, from its hosts.
#include <functional>

#include "smartx/rest/rest_test_support.h"

namespace rest_test {
namespace {

class ZbsDataIpTest : public RestTest {};

TEST_F(ZbsDataIpTest, OneAddressPerHostWithOne) {
    const std::string hz01 = fixture_id("clusters", "cluster-hz-01");
    auto drop_data_ip = [&](const std::string& host) {
        Object record = ct_test::fixture_record("hosts", host);
        record.erase("data_ip");
        EXPECT_TRUE(server_->put_records("hosts", Array{Value(record)}));
    };
    auto skipped = [&](const std::string& host) {
        return "Host " + host + "[" + fixture_id("hosts", host) + "] of cluster[" + hz01 +
               "] has no ZBS data address, skipped.\n";
    };
    struct Row {
        const char* what;
        std::function<void()> arm;
        std::string cluster;
        bool found;
        std::string addresses;  // "untouched" when not found
        std::vector<std::string> log;
    } rows[] = {
        {"two hosts",
         [] {},
         hz01,
         true,
         "10.10.10.21:10201:10206,10.10.10.22:10201:10206",
         {"ZBS data network :10.10.10.21:10201:10206,10.10.10.22:10201:10206.\n"}},
        {"no hosts", [] {}, "no-such-cluster", true, "", {"ZBS data network :.\n"}},
        {"host without address",
         [&] { drop_data_ip("node-hz01-01"); },
         hz01,
         true,
         "10.10.10.22:10201:10206",
         {skipped("node-hz01-01"), "ZBS data network :10.10.10.22:10201:10206.\n"}},
        {"no host with an address",
         [&] { drop_data_ip("node-hz01-02"); },
         hz01,
         false,
         "untouched",
         {skipped("node-hz01-01"), skipped("node-hz01-02"),
          "Failed to get ZBS data network of cluster[" + hz01 +
              "], no host has a data address.\n"}},
        {"failed host query",
         [&] { server_->fail_path("get-hosts", 503, "hosts unavailable", 1); },
         hz01,
         false,
         "untouched",
         {"Failed to post SmartX HTTP request because of HTTP 503.\n",
          "Failed to query hosts in cluster[" + hz01 + "]. hosts unavailable.\n"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.arm();
        server_->clear_requests();
        Log_Capture log;
        std::string addresses = "untouched";
        EXPECT_EQ(row.found, client_.get_zbs_data_ip(row.cluster, addresses));
        EXPECT_EQ(row.addresses, addresses);
        ASSERT_EQ(row.log, log.texts());
        EXPECT_EQ(!row.found, log.lines().back().priority == LM_ERROR);
        EXPECT_EQ(parse(R"({"cluster": {"id": ")" + row.cluster + R"("}})"),
                  ct_test::member(bodies().at(0), "where"));
    }
    EXPECT_TRUE(client_.error_.empty());
}

}  // namespace
}  // namespace rest_test
