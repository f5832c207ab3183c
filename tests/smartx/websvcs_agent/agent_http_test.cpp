// The agent's HTTP side as clients that misbehave meet it: slow and idle
// connections, requests whose body could end in more than one place, and
// request heads beyond the agent's bounds.
// No simulator is needed: "smartx.instances" is answered by the agent.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/raw_http.h"
#include "support/temp_root.h"
#include "world/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

const std::string INSTANCES = R"({"jsonrpc":"2.0","id":1,"method":"smartx.instances"})";
const int SLOW_CLIENTS = 8;

std::string post(const std::string& headers, const std::string& body) {
    return "POST /jsonrpc HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n" + body;
}

std::string length(const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n";
}

class AgentHttp : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& options) {
        std::vector<std::string> args{WEBSVCS_AGENT_PATH, "--module", SMARTX_MODULE_PATH};
        args.insert(args.end(), options.begin(), options.end());
        agent_.reset(new world::Sim_Process("websvcs-agent", args, root_.path()));
        port_ = agent_->wait_for_port();
    }

    // The agent ends cleanly: no sanitizer report in its log.
    void stop() {
        if (!agent_)
            return;
        agent_->stop();
        agent_.reset();
        const std::string log = root_.text("websvcs-agent.err");
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }
    void TearDown() override { stop(); }

    Temp_Root root_;
    std::unique_ptr<world::Sim_Process> agent_;
    int port_ = 0;
};

// Eight clients sending a header line every 2 s and eight that send nothing
// leave a normal request answered at once, or, with two connections served
// at a time, once their deadlines closed them.
TEST_F(AgentHttp, SlowAndIdleClientsDoNotStarveOthers) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        seconds answered_within;
        bool slow_ones_closed;  // checked: the trickling get 408, the idle are closed
    } cases[] = {
        {"defaults", {}, seconds(6), false},
        {"two at a time, short deadlines",
         {"--threads", "2", "--read-timeout", "2", "--idle-timeout", "1"},
         seconds(8),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start(c.options);
        std::vector<std::unique_ptr<Raw_Connection>> trickling, idle;
        for (int i = 0; i < SLOW_CLIENTS; ++i) {
            trickling.emplace_back(new Raw_Connection(port_));
            ASSERT_TRUE(trickling.back()->send("POST /jsonrpc HTTP/1.1\r\n"));
        }
        for (int i = 0; i < SLOW_CLIENTS; ++i)
            idle.emplace_back(new Raw_Connection(port_));
        std::atomic<bool> done{false};
        std::thread trickle([&] {
            for (int line = 0; !done; ++line) {
                for (auto& t : trickling)
                    t->send("X-Line-" + std::to_string(line) + ": slow\r\n");
                for (int tick = 0; tick < 20 && !done; ++tick)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });

        const Clock::time_point start = Clock::now();
        Raw_Connection normal(port_);
        EXPECT_TRUE(normal.send(post(length(INSTANCES) + "Connection: close\r\n", INSTANCES)));
        const std::string answer = normal.read(start + c.answered_within);
        EXPECT_EQ(statuses(answer), "200") << answer;
        EXPECT_NE(answer.find("SmartX_Proxy"), std::string::npos) << answer;
        EXPECT_LT(Clock::now() - start, c.answered_within);

        if (c.slow_ones_closed) {
            const Clock::time_point until = Clock::now() + c.answered_within;
            for (auto& t : trickling) {
                EXPECT_EQ(statuses(t->read(until)), "408");
                EXPECT_TRUE(t->closed());
            }
            for (auto& i : idle) {
                EXPECT_EQ(i->read(until), "");
                EXPECT_TRUE(i->closed());
            }
        }
        done = true;
        trickle.join();
        stop();
    }
}

// Each request is followed on its connection by a second one; a request
// whose end could be read two ways gets 400 and the connection closes, so
// nothing after it is taken as a request.
TEST_F(AgentHttp, AmbiguousFramingIsRefusedAndEndsTheConnection) {
    start({});
    const std::string body = INSTANCES;
    const std::string chunked = "Transfer-Encoding: chunked\r\n";
    const std::string in_chunks = [&] {
        char size[16];
        std::snprintf(size, sizeof size, "%zx", body.size());
        return std::string(size) + "\r\n" + body + "\r\n0\r\n\r\n";
    }();
    const std::string next = post(length(body) + "Connection: close\r\n", body);
    const struct {
        const char* what;
        std::string request;
        std::string answered;
    } cases[] = {
        {"one Content-Length", post(length(body), body), "200 200"},
        {"chunked", post(chunked, in_chunks), "200 200"},
        {"two equal Content-Length headers", post(length(body) + length(body), body), "400"},
        {"two different Content-Length headers", post(length(body) + "Content-Length: 0\r\n", body),
         "400"},
        {"Content-Length and Transfer-Encoding", post(length(body) + chunked, in_chunks), "400"},
        {"Transfer-Encoding and Content-Length", post(chunked + length(body), in_chunks), "400"},
        {"two Transfer-Encoding headers", post(chunked + chunked, in_chunks), "400"},
        {"a coding other than chunked", post("Transfer-Encoding: gzip, chunked\r\n", in_chunks),
         "400"},
        {"a length list", post("Content-Length: 52, 52\r\n", body), "400"},
        {"a signed length", post("Content-Length: +" + std::to_string(body.size()) + "\r\n", body),
         "400"},
        {"a blank before the colon",
         post("Content-Length : " + std::to_string(body.size()) + "\r\n", body), "400"},
        {"a continued header line", post(length(body) + "X-A: a\r\n  folded\r\n", body), "400"},
        {"a header line without a colon", post(length(body) + "X-A a\r\n", body), "400"},
        {"a header line ended by LF alone", post("X-A: a\n" + length(body), body), "400"},
        {"refused before any 100 Continue",
         post(length(body) + length(body) + "Expect: 100-continue\r\n", body), "400"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Raw_Connection connection(port_);
        ASSERT_TRUE(connection.send(c.request + next));
        const std::string answers = connection.read(Clock::now() + seconds(20));
        EXPECT_EQ(statuses(answers), c.answered) << answers;
        EXPECT_TRUE(connection.closed());
        if (c.answered == "400") {
            EXPECT_NE(answers.find(R"("code":-32600,"message":"Invalid Request")"),
                      std::string::npos)
                << answers;
        }
    }
}

// Heads at the bounds and one past each: past them the agent answers 431
// and closes the connection.
TEST_F(AgentHttp, RequestHeadsAreBounded) {
    start({});
    const std::string line = "POST /jsonrpc HTTP/1.1\r\n";
    const std::string given = "Host: 127.0.0.1\r\nConnection: close\r\n" + length(INSTANCES);
    const struct {
        const char* what;
        size_t lines, bytes, longest;
        const char* answered;
    } cases[] = {
        {"every bound reached", HEADER_LINES, HEAD_BYTES, HEADER_LINE_BYTES, "200"},
        {"a header line too many", HEADER_LINES + 1, HEAD_BYTES / 2, 100, "431"},
        {"a byte too many", HEADER_LINES, HEAD_BYTES + 1, HEADER_LINE_BYTES, "431"},
        {"a header line a byte too long", 10, HEAD_BYTES / 2, HEADER_LINE_BYTES + 1, "431"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Raw_Connection connection(port_);
        ASSERT_TRUE(connection.send(head_of(line, given, c.lines, c.bytes, c.longest) + INSTANCES));
        const std::string answer = connection.read(Clock::now() + seconds(20));
        EXPECT_EQ(statuses(answer), c.answered) << answer.substr(0, 200);
        if (std::string(c.answered) == "200")
            EXPECT_NE(answer.find("SmartX_Proxy"), std::string::npos) << answer;
        else
            EXPECT_TRUE(connection.closed());
    }
}

// The agent's resident memory, in KiB.
long resident_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    ADD_FAILURE() << "no VmRSS for " << pid;
    return 0;
}

// A head, or a chunk line, streamed without end is refused once it passes
// the bounds, long before the client has sent it all, and leaves the
// agent's memory where it was.
TEST_F(AgentHttp, EndlessLinesAreRefusedBeforeTheyAreHeld) {
    const size_t total = 50u << 20, piece = 1u << 20;
    const long allowance_kib = 30 << 10;
    const std::string line = "POST /jsonrpc HTTP/1.1\r\n";
    const struct {
        const char* what;
        std::string start, repeated;
        const char* answered;
    } cases[] = {
        {"short header lines", line, "a:b\r\n", "431"},
        {"one header line", line + "X-Long: ", "a", "431"},
        {"the request line", "POST /", "a", "431"},
        {"a chunk line", post("Transfer-Encoding: chunked\r\n", "1;"), "a", "400"},
    };
    start({});
    Raw_Connection warm_up(port_);
    ASSERT_TRUE(warm_up.send(post(length(INSTANCES) + "Connection: close\r\n", INSTANCES)));
    ASSERT_EQ(statuses(warm_up.read(Clock::now() + seconds(20))), "200");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const long before = resident_kib(agent_->pid());
        std::string repeated;
        while (repeated.size() < piece)
            repeated += c.repeated;
        Raw_Connection connection(port_);
        ASSERT_TRUE(connection.send(c.start));
        const size_t sent = connection.send_repeated(repeated, total);
        EXPECT_LT(sent, total / 4);
        EXPECT_EQ(statuses(connection.read(Clock::now() + seconds(20))), c.answered);
        EXPECT_TRUE(connection.closed());
        EXPECT_LT(resident_kib(agent_->pid()) - before, allowance_kib);
    }
}

}  // namespace
