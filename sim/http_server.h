// The simulators' HTTP server: cpp-httplib's routing and request parsing
// over connections served as a production server serves them: small answers
// not held back (TCP_NODELAY) and sent in one write, a connection kept for
// many requests, enough threads that the connections clients keep open do
// not lock others out, and a stop that does not wait for idle connections.
// A request head past the bounds of host/http_server_stream.h is answered
// 431 and its connection closed, one the agent refuses (a header line
// without a colon or not ended by CR LF, a body whose end could be read
// more than one way) 400 and closed; a port another server listens on is
// not taken. It counts the connections it served.
#ifndef SIM_HTTP_SERVER_H
#define SIM_HTTP_SERVER_H

#include <atomic>
#include <cstddef>

#include <httplib.h>

namespace sim {

class Http_Server : public httplib::Server {
public:
    // Requests one connection carries before the server closes it.
    static constexpr size_t REQUESTS_PER_CONNECTION = 1000;
    // Connections served at once; each holds a thread while it is open.
    static constexpr size_t THREADS = 64;

    Http_Server();

    // Connections accepted so far.
    size_t connections() const { return connections_.load(); }

private:
    bool process_and_close_socket(socket_t sock) override;

    std::atomic<size_t> connections_{0};
};

}  // namespace sim

#endif
