#include "sim/http_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "host/http_server_stream.h"

namespace sim {

namespace {

const size_t READ_BUFFER = 16u << 10;
// A wait looks this often whether the server stops.
const int STOP_CHECK_MS = 10;

// One connection; a read or write waits up to the server's time-out for the
// client, and no longer than the server runs.
class Connection : public Http_Server_Stream {
public:
    Connection(socket_t sock, const std::atomic<socket_t>& listening, Clock::duration io_timeout)
        : Http_Server_Stream(sock, READ_BUFFER, io_timeout),
          listening_(listening),
          io_timeout_(io_timeout) {}

    // Waits up to `limit` for the next request's first byte.
    bool await_request(Clock::duration limit) {
        begin_head();
        return buffered() || wait(POLLIN, Clock::now() + limit);
    }

private:
    // What is owed to the client (a "100 Continue") goes out first.
    bool fill() override {
        if (!flush())
            return false;
        for (;;) {
            const Receipt got = receive();
            if (got != WOULD_BLOCK)
                return got == RECEIVED;
            if (!wait(POLLIN, Clock::now() + io_timeout_))
                return false;
        }
    }

    bool wait(short events, Clock::time_point until) const override {
        while (listening_ != INVALID_SOCKET && Clock::now() < until) {
            pollfd fd{sock_, events, 0};
            const int n = ::poll(&fd, 1, STOP_CHECK_MS);
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR)
                return false;
        }
        return false;
    }

    const std::atomic<socket_t>& listening_;  // INVALID_SOCKET once the server stops
    const Clock::duration io_timeout_;
};

}  // namespace

Http_Server::Http_Server() {
    set_tcp_nodelay(true);
    set_socket_options(http_server_socket_options);
    set_keep_alive_max_count(REQUESTS_PER_CONNECTION);
    new_task_queue = [] { return new httplib::ThreadPool(THREADS); };
    set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (Http_Server_Stream::refusal(req).empty())
            return HandlerResponse::Unhandled;
        res.status = Http_Server_Stream::REFUSED_STATUS;
        return HandlerResponse::Handled;
    });
}

bool Http_Server::process_and_close_socket(socket_t sock) {
    ++connections_;
    Connection connection(sock, svr_sock_, std::chrono::seconds(read_timeout_sec_));
    bool served = true;
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!connection.await_request(std::chrono::seconds(keep_alive_timeout_sec_)))
            break;
        bool closed = false;
        served = process_request(connection, left == 1, closed,
                                 [&connection](httplib::Request& req) { connection.judge(req); });
        if (!connection.flush() || !served || closed || connection.refused_request())
            break;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
}

}  // namespace sim
