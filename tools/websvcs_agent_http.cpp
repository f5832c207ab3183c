// Connections of the agent's HTTP server: deadlines per request and per idle
// connection, one write per answer, errors that close the connection.
#include "tools/websvcs_agent_http.h"

#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <ace/Log_Msg.h>

#include "host/http_server_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t READ_BUFFER = 16u << 10;
// Longer Content-Length values are refused: no body the agent takes comes
// near them, and shorter ones cannot overflow.
const size_t MAX_LENGTH_DIGITS = 18;
const int FIRST_ERROR_STATUS = 400;
// Where a request carries why its framing is refused, from the connection
// to the pre-routing handler; one sent by the client is dropped.
const char* const FRAMING_FAULT = "X-Agent-Framing-Fault";
const char* const TIMED_OUT_ANSWER =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// When the connection the thread now serves was accepted: its first
// deadlines count from then, however long it waited for a thread.
thread_local Clock::time_point accepted_at;

class Stamping_Pool : public httplib::ThreadPool {
public:
    explicit Stamping_Pool(size_t threads) : ThreadPool(threads) {}
    void enqueue(std::function<void()> fn) override {
        ThreadPool::enqueue([fn = std::move(fn), at = Clock::now()] {
            accepted_at = at;
            fn();
        });
    }
};

Clock::duration duration_of(time_t sec, time_t usec) {
    return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
}

// One accepted connection. Reads take what the socket already holds, and
// wait only up to the read timeout and the request's deadline; the answer
// goes out at the next wait for the client or at the answer's end.
class Connection : public Http_Server_Stream {
public:
    Connection(socket_t sock, int stop_fd, Clock::duration read_timeout,
               Clock::duration write_timeout)
        : Http_Server_Stream(sock, READ_BUFFER, write_timeout),
          stop_fd_(stop_fd),
          read_timeout_(read_timeout) {}

    // Waits up to `until` for the first byte of a request; from then on the
    // request must be in by `deadline`. False when none came (or the client
    // left, or the server stops).
    bool await_request(Clock::time_point until, Clock::time_point deadline) {
        status_ = 0;
        begin_head();
        deadline_ = until;
        if (!buffered() && !fill())
            return false;
        deadline_ = deadline;
        reading_ = true;
        return true;
    }

    // The request was answered: sends the answer; false when the connection
    // cannot carry another request.
    bool finish_request() {
        reading_ = false;
        return flush() && status_ < FIRST_ERROR_STATUS;
    }

    using Http_Server_Stream::head_fault;

    ssize_t write(const char* ptr, size_t size) override {
        // The parser writes a status line and the headers in one piece.
        static const char status_line[] = "HTTP/1.1 ";
        const size_t prefix = sizeof status_line - 1;
        if (size > prefix + 3 && std::memcmp(ptr, status_line, prefix) == 0)
            status_ = std::atoi(std::string(ptr + prefix, 3).c_str());
        return Http_Server_Stream::write(ptr, size);
    }

private:
    // What is owed to the client goes out before waiting for it (a
    // "100 Continue" before its body). The first read of a request takes
    // what waits in the socket even past the deadlines, so that a request
    // that came whole is not blamed for the queue it waited in; later ones
    // stop at the deadline.
    bool fill() override {
        if (broken_ || !flush())
            return false;
        for (;;) {
            if (reading_ && Clock::now() >= deadline_) {
                time_out();
                return false;
            }
            const Receipt got = receive();
            if (got != WOULD_BLOCK)
                return got == RECEIVED;
            // Between requests only the idle deadline counts.
            const Clock::time_point until =
                reading_ ? std::min(deadline_, Clock::now() + read_timeout_) : deadline_;
            if (!wait(POLLIN, until)) {
                time_out();
                return false;
            }
        }
    }

    bool wait(short events, Clock::time_point until) const override {
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd fds[2] = {{sock_, events, 0}, {stop_fd_, POLLIN, 0}};
            const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, INT32_MAX)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || fds[1].revents != 0)
                return false;
            if (fds[0].revents != 0)
                return true;
        }
    }

    // A request that stops coming is answered 408, once; an idle connection
    // just closes.
    void time_out() {
        if (reading_ && !broken_) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Closed a connection whose request did not arrive in "
                                          "time.\n")));
            answer_and_end(TIMED_OUT_ANSWER);
        }
        broken_ = true;
    }

    void refused(const char* why) override {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a request with %C.\n"), why));
    }

    const int stop_fd_;
    const Clock::duration read_timeout_;
    Clock::time_point deadline_;
    int status_ = 0;        // of the answer now written
    bool reading_ = false;  // a request has begun and is not answered yet
};

bool is_token_char(unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Why the end of a request's body could be read more than one way (two
// Content-Length headers, Content-Length with Transfer-Encoding, a length
// that is not a number, a coding other than chunked, a header name that is
// not a token), or "" when it cannot.
std::string framing_fault(const httplib::Request& req) {
    for (const auto& header : req.headers)
        if (header.first.empty() ||
            !std::all_of(header.first.begin(), header.first.end(),
                         [](char c) { return is_token_char(static_cast<unsigned char>(c)); }))
            return "a header name that is not a token";
    const size_t lengths = req.get_header_value_count("Content-Length");
    const size_t codings = req.get_header_value_count("Transfer-Encoding");
    if (lengths > 1)
        return "more than one Content-Length";
    if (codings > 1)
        return "more than one Transfer-Encoding";
    if (lengths != 0 && codings != 0)
        return "both Content-Length and Transfer-Encoding";
    if (lengths != 0) {
        const std::string length = req.get_header_value("Content-Length");
        if (length.empty() || length.size() > MAX_LENGTH_DIGITS ||
            !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return "a Content-Length that is not a number";
    }
    if (codings != 0 && strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked"))
        return "a Transfer-Encoding other than chunked";
    return "";
}

}  // namespace

Agent_Http_Server::Agent_Http_Server(const Http_Limits& limits, Refusal refuse)
    : limits_(limits), stop_fd_(::eventfd(0, EFD_CLOEXEC)) {
    set_tcp_nodelay(true);
    set_socket_options(http_server_socket_options);
    set_keep_alive_timeout(limits.idle.count());
    set_keep_alive_max_count(limits.requests_per_connection);
    set_read_timeout(limits.io);
    set_write_timeout(limits.io);
    const size_t threads = limits.threads;
    new_task_queue = [threads] { return new Stamping_Pool(threads); };
    set_pre_routing_handler([refuse](const httplib::Request& req, httplib::Response& res) {
        const std::string why = req.get_header_value(FRAMING_FAULT);
        if (why.empty())
            return HandlerResponse::Unhandled;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a request with %C.\n"), why.c_str()));
        res.status = 400;
        refuse(res);
        return HandlerResponse::Handled;
    });
}

Agent_Http_Server::~Agent_Http_Server() {
    if (stop_fd_ >= 0)
        ::close(stop_fd_);
}

void Agent_Http_Server::shut_down() {
    const uint64_t one = 1;
    if (stop_fd_ >= 0 && ::write(stop_fd_, &one, sizeof one) < 0)
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to wake the connections: %m.\n")));
    stop();
}

bool Agent_Http_Server::process_and_close_socket(socket_t sock) {
    Connection connection(sock, stop_fd_, duration_of(read_timeout_sec_, read_timeout_usec_),
                          duration_of(write_timeout_sec_, write_timeout_usec_));
    const auto idle = std::chrono::seconds(keep_alive_timeout_sec_);
    bool served = true;
    Clock::time_point ready = accepted_at;
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!connection.await_request(ready + idle, ready + limits_.request))
            break;
        bool client_closes = false;
        served = process_request(
            connection, left == 1, client_closes, [&connection](httplib::Request& req) {
                // The verdict goes to the pre-routing handler in the
                // request; no "100 Continue" for a body that will not be
                // read, and the answer says the connection ends.
                req.headers.erase(FRAMING_FAULT);
                const char* line_fault = connection.head_fault();
                const std::string why = line_fault ? line_fault : framing_fault(req);
                if (why.empty())
                    return;
                req.headers.erase("Expect");
                req.headers.erase("Connection");
                req.headers.emplace("Connection", "close");
                req.headers.emplace(FRAMING_FAULT, why);
            });
        if (!connection.finish_request() || !served || client_closes)
            break;
        ready = Clock::now();
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
}
