// The agent's HTTP server: cpp-httplib parses the requests and runs the
// handlers, but the agent reads and writes the connections itself, so that
// a slow client cannot hold a connection past its deadlines, every answer
// leaves in one write, and a request whose end cannot be told is refused.
#ifndef TOOLS_WEBSVCS_AGENT_HTTP_H
#define TOOLS_WEBSVCS_AGENT_HTTP_H

#include <chrono>
#include <functional>
#include <string>

#include <httplib.h>

struct Http_Limits {
    // A connection ready for a request (just accepted, or just answered)
    // waits this long for its first byte, then closes.
    std::chrono::seconds idle{5};
    // ...and must have sent the whole request (header and body) this long
    // after it was ready; otherwise 408 and closed.
    std::chrono::seconds request{10};
    // One read or write may wait this long; writing an answer takes at most
    // this long in all.
    std::chrono::seconds io{5};
    // Connections served at once; more wait, their deadlines running.
    size_t threads = 32;
    // Requests served on one connection before it closes.
    size_t requests_per_connection = 100;
};

class Agent_Http_Server : public httplib::Server {
public:
    // Gives the answer to a request with ambiguous framing its body; the
    // status is 400 and the connection closes after it.
    using Refusal = std::function<void(httplib::Response& res)>;

    Agent_Http_Server(const Http_Limits& limits, Refusal refuse);
    ~Agent_Http_Server() override;

    // Stops listening and ends every connection that waits for a client.
    void shut_down();

private:
    bool process_and_close_socket(socket_t sock) override;

    Http_Limits limits_;
    int stop_fd_ = -1;  // readable once shut_down() ran
};

#endif
