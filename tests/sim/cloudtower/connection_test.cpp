// How the simulator serves connections: kept open for many requests,
// counted, and no reason for a stop to wait.
#include <chrono>

#include "sim_test_support.h"

namespace ct_test {
namespace {

using Clock = std::chrono::steady_clock;

// The requests of a client that keeps its connection, more than
// cpp-httplib's own default of five, go over one connection; each further
// client makes one more.
TEST_F(SimTest, AConnectionCarriesManyRequestsAndIsCounted) {
    const size_t before = server_->connections();
    const int requests = 20;
    for (int round = 1; round <= 2; ++round) {
        httplib::Client client("127.0.0.1", server_->port());
        client.set_keep_alive(true);
        for (int i = 0; i < requests; ++i) {
            auto r = client.Get("/v2/api/get-version");
            ASSERT_TRUE(r && r->status == 200) << i;
        }
        EXPECT_EQ(static_cast<size_t>(round), server_->connections() - before);
    }
}

// A client holding its connection open between requests does not hold the
// stop for the connection's idle time (5 s).
TEST_F(SimTest, StopDoesNotWaitForAnIdleConnection) {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_keep_alive(true);
    ASSERT_TRUE(client.Get("/v2/api/get-version"));
    const Clock::time_point start = Clock::now();
    server_->stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace ct_test
