// The agent's HTTP side as clients that misbehave meet it: slow and idle
// connections, and requests whose body could end in more than one place.
// No simulator is needed: "smartx.instances" is answered by the agent.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "world/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

const std::string INSTANCES = R"({"jsonrpc":"2.0","id":1,"method":"smartx.instances"})";
const int SLOW_CLIENTS = 8;

// One client connection, bytes as they are.
class Raw_Connection {
public:
    explicit Raw_Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Raw_Connection() { ::close(fd_); }
    Raw_Connection(const Raw_Connection&) = delete;
    Raw_Connection& operator=(const Raw_Connection&) = delete;

    bool send(const std::string& bytes) {
        return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(bytes.size());
    }

    // What arrives until the agent closes the connection (closed() then
    // says so), `until` passes, or `enough` bytes came.
    std::string read(Clock::time_point until, size_t enough = SIZE_MAX) {
        std::string got;
        while (got.size() < enough && !closed_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            closed_ = n <= 0;
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    bool closed() const { return closed_; }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
};

std::string post(const std::string& headers, const std::string& body) {
    return "POST /jsonrpc HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n" + body;
}

std::string length(const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n";
}

// "200 400": the status codes of the answers in the text, in order.
std::string statuses(const std::string& answers) {
    std::string out;
    for (size_t at = answers.find("HTTP/1.1 "); at != std::string::npos;
         at = answers.find("HTTP/1.1 ", at + 1))
        out += (out.empty() ? "" : " ") + answers.substr(at + 9, 3);
    return out;
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

}  // namespace
