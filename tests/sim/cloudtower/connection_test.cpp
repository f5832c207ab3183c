// How the simulator serves connections: kept open for many requests,
// counted, no reason for a stop to wait, and request heads bounded.
#include <chrono>

#include "sim_test_support.h"
#include "support/raw_http.h"

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

// Heads at the bounds are served; one past a bound, or one streamed
// without end, gets 431 (a chunk line without end 400) and the connection
// closes long before the client has sent it all. What the agent refuses
// with 400 (a header line the parser would drop, a body whose end could be
// read two ways) gets 400 here too, and the request after it on the
// connection is not served.
TEST_F(SimTest, RequestHeadsAreBounded) {
    const std::string line = "GET /v2/api/get-version HTTP/1.1\r\n";
    const std::string given = "Host: 127.0.0.1\r\nConnection: close\r\n";
    const std::string host = "Host: 127.0.0.1\r\n";
    const std::string next = line + given + "\r\n";
    const size_t endless = 50u << 20;
    const struct {
        const char* what;
        std::string head;
        std::string streamed;  // then sent until the connection ends
        const char* answered;
    } cases[] = {
        {"every bound reached", head_of(line, given, HEADER_LINES, HEAD_BYTES, HEADER_LINE_BYTES),
         "", "200"},
        {"a header line too many", head_of(line, given, HEADER_LINES + 1, HEAD_BYTES / 2, 100), "",
         "431"},
        {"a byte too many", head_of(line, given, HEADER_LINES, HEAD_BYTES + 1, HEADER_LINE_BYTES),
         "", "431"},
        {"a header line a byte too long",
         head_of(line, given, 10, HEAD_BYTES / 2, HEADER_LINE_BYTES + 1), "", "431"},
        {"header lines without end", line, "a:b\r\n", "431"},
        {"a header line without end", line + "X-Long: ", "a", "431"},
        {"a chunk line without end",
         "POST /v2/api/login HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1;", "a", "400"},
        {"a sound head, then another request", line + host + "\r\n" + next, "", "200 200"},
        {"a header line without a colon", line + host + "X-A a\r\n\r\n" + next, "", "400"},
        {"a header line ended by LF alone", line + "X-A: a\n" + host + "\r\n" + next, "", "400"},
        {"two Content-Length headers",
         "POST /v2/api/login HTTP/1.1\r\n" + host +
             "Content-Length: 2\r\nContent-Length: 2\r\n\r\n{}" + next,
         "", "400"},
        {"a header line continued on the next", line + host + "X-A: a\r\n  b\r\n\r\n" + next, "",
         "400"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Raw_Connection connection(server_->port());
        ASSERT_TRUE(connection.send(c.head));
        if (!c.streamed.empty()) {
            std::string piece;
            while (piece.size() < (1u << 20))
                piece += c.streamed;
            EXPECT_LT(connection.send_repeated(piece, endless), endless / 4);
        }
        const std::string answer = connection.read(Clock::now() + std::chrono::seconds(20));
        EXPECT_EQ(statuses(answer), c.answered) << answer.substr(0, 200);
        EXPECT_TRUE(connection.closed());
    }
}

}  // namespace
}  // namespace ct_test
