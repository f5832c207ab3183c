// Connections of the agent's HTTP server: deadlines per request and per idle
// connection, one write per answer, errors that close the connection.
#include "tools/websvcs_agent_http.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <ace/Log_Msg.h>

#include "host/http_server_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t READ_BUFFER = 16u << 10;
const int FIRST_ERROR_STATUS = 400;
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
        const std::string why = Http_Server_Stream::refusal(req);
        if (why.empty())
            return HandlerResponse::Unhandled;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a request with %C.\n"), why.c_str()));
        res.status = Http_Server_Stream::REFUSED_STATUS;
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
        served = process_request(connection, left == 1, client_closes,
                                 [&connection](httplib::Request& req) { connection.judge(req); });
        if (!connection.finish_request() || !served || client_closes)
            break;
        ready = Clock::now();
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
}
