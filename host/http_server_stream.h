// One accepted connection of an HTTP server built on cpp-httplib, as the
// library's request parser reads and writes it, for servers that serve their
// connections themselves (the web-services agent, the simulators): reads
// come from a buffer, an answer is collected and leaves in one write at
// flush(), so that a client on a kept-open connection never waits for the
// rest of an answer. When and how long to wait for the client is the
// server's: it fills the buffer (fill(), with receive()) and waits (wait()).
// Both buffers are wiped: requests and answers may carry secrets.
//
// The parser keeps a request's whole head (request line and header lines),
// and each line of a chunked body's framing, in memory however long: the
// stream hands it no more than the bounds below and answers a head past
// them 431 itself (a framing line 400), closing the connection.
//
// The parser also drops some header lines without a word and takes the
// first of repeated framing headers, where a proxy in front may read the
// request otherwise: such a request is marked (judge()) before it is
// routed, and the server answers it 400 (refusal()) and closes.
#ifndef HOST_HTTP_SERVER_STREAM_H
#define HOST_HTTP_SERVER_STREAM_H

#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <httplib.h>

#include "host/secure_memory.h"

// Listening sockets get SO_REUSEADDR alone: cpp-httplib's default adds
// SO_REUSEPORT, with which a second server binds a port another one serves
// and the kernel shares the connections between them.
inline void http_server_socket_options(socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

namespace http_server_detail {

// Longer Content-Length values are refused: no body the servers take comes
// near them, and shorter ones cannot overflow.
const size_t MAX_LENGTH_DIGITS = 18;
// Where a request carries why it is refused, from the connection to the
// server's routing; one sent by the client is dropped.
const char* const REFUSAL_HEADER = "X-Http-Server-Refusal";

inline bool is_token_char(unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Why the end of a request's body could be read more than one way (two
// Content-Length headers, Content-Length with Transfer-Encoding, a length
// that is not a number, a coding other than chunked, a header name that is
// not a token), or "" when it cannot.
inline std::string framing_fault(const httplib::Request& req) {
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

}  // namespace http_server_detail

class Http_Server_Stream : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    // A request's head from its first byte to the blank line, its header
    // lines, and one header line (or framing line of a body) with its line
    // end. cpp-httplib itself refuses a longer header line; the request line
    // is bounded by the head.
    static constexpr size_t MAX_HEAD_BYTES = 32u << 10;
    static constexpr size_t MAX_HEADER_LINES = 100;
    static constexpr size_t MAX_HEADER_LINE_BYTES = 8u << 10;
    // The answer's status to a request judge() marks.
    static constexpr int REFUSED_STATUS = 400;

    ~Http_Server_Stream() override {
        secure_memset(in_.data(), 0, in_.size());
        wipe_output();
    }

    bool is_readable() const override { return pos_ < len_; }
    bool is_writable() const override { return !broken_; }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == len_ && !fill())
            return broken_ ? -1 : 0;
        const size_t ready = std::min(size, len_ - pos_);
        const size_t n = in_head_ ? take_head(in_.data() + pos_, ready)
                                  : take_body(in_.data() + pos_, ready, size);
        if (n == 0) {
            refuse();
            return -1;
        }
        std::memcpy(ptr, in_.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (broken_)
            return -1;
        out_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return sock_; }

    // For process_request()'s request set-up, once the head is parsed:
    // marks a request to be refused (a header line the parser dropped, a
    // body whose end could be read more than one way). The answer then says
    // the connection ends, and no "100 Continue" asks for a body that will
    // not be read: what follows on the connection is no request.
    void judge(httplib::Request& req) {
        using namespace http_server_detail;
        req.headers.erase(REFUSAL_HEADER);
        const std::string why = head_fault_ ? head_fault_ : framing_fault(req);
        if (why.empty())
            return;
        req.headers.erase("Expect");
        req.headers.erase("Connection");
        req.headers.emplace("Connection", "close");
        req.headers.emplace(REFUSAL_HEADER, why);
        judged_refused_ = true;
    }

    // judge() marked the request now served: its connection ends with the
    // answer (the parser has decided to keep it before the set-up ran).
    bool refused_request() const { return judged_refused_; }

    // Why judge() marked the request, or "": for the server's pre-routing
    // handler, which answers it REFUSED_STATUS.
    static std::string refusal(const httplib::Request& req) {
        return req.get_header_value(http_server_detail::REFUSAL_HEADER);
    }

    // Sends what was written, waiting for room up to the write time-out in
    // all; false once the connection is broken.
    bool flush() {
        const Clock::time_point until = Clock::now() + write_timeout_;
        size_t done = 0;
        while (!broken_ && done < out_.size()) {
            const ssize_t n =
                ::send(sock_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait(POLLOUT, until))
                continue;
            else
                broken_ = true;
        }
        wipe_output();
        return !broken_;
    }

protected:
    enum Receipt { RECEIVED, WOULD_BLOCK, ENDED };

    Http_Server_Stream(socket_t sock, size_t buffer, Clock::duration write_timeout)
        : sock_(sock), write_timeout_(write_timeout), in_(buffer) {}

    // Refills the buffer (receive() until RECEIVED, waiting in between);
    // false when nothing more comes.
    virtual bool fill() = 0;
    // True when the socket is ready for events (or failed: the next call
    // says how); false at `until` or when the server stops.
    virtual bool wait(short events, Clock::time_point until) const = 0;
    // Told why a request was refused, before the answer goes out.
    virtual void refused(const char* /*why*/) {}

    // The next byte the parser reads begins a request's head.
    void begin_head() {
        in_head_ = true;
        head_bytes_ = header_lines_ = line_bytes_ = 0;
        first_line_ = true;
        colon_ = false;
        last_ = 0;
        head_fault_ = nullptr;
        judged_refused_ = false;
        refusal_.clear();
        framing_line_ = 0;
    }

    // Sends `answer` at once, as far as the socket takes it without waiting,
    // in place of anything written, and ends the connection.
    void answer_and_end(const char* answer) {
        if (!broken_) {
            wipe_output();
            ::send(sock_, answer, std::strlen(answer), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        broken_ = true;
    }

    // Takes what the socket holds into the buffer, without waiting. ENDED:
    // the client closed the connection, or it failed (then broken_).
    Receipt receive() {
        for (;;) {
            const ssize_t n = ::recv(sock_, in_.data(), in_.size(), MSG_DONTWAIT);
            if (n > 0) {
                pos_ = 0;
                len_ = static_cast<size_t>(n);
                return RECEIVED;
            }
            if (n == 0)
                return ENDED;
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return WOULD_BLOCK;
            broken_ = true;
            return ENDED;
        }
    }

    bool buffered() const { return pos_ < len_; }

    void wipe_output() {
        if (!out_.empty())
            secure_memset(&out_[0], 0, out_.size());
        out_.clear();
    }

    const socket_t sock_;
    bool broken_ = false;

private:
    // How many of the n bytes at p the parser may have: up to the head's
    // end, or up to the first byte past a bound (0: the head is refused).
    size_t take_head(const char* p, size_t n) {
        if (!refusal_.empty())
            return 0;
        for (size_t i = 0; i < n; ++i) {
            const char c = p[i];
            if (++head_bytes_ > MAX_HEAD_BYTES)
                return refuse_at(i,
                                 "a head larger than " + std::to_string(MAX_HEAD_BYTES) + " bytes");
            if (c != '\n') {
                if (!first_line_ && line_bytes_ == 0 && (c == ' ' || c == '\t'))
                    note_fault("a header line continued on the next");
                colon_ = colon_ || c == ':';
                // Room is left for the LF.
                if (++line_bytes_ >= MAX_HEADER_LINE_BYTES && !first_line_)
                    return refuse_at(i, "a header line longer than " +
                                            std::to_string(MAX_HEADER_LINE_BYTES) + " bytes");
                last_ = c;
                continue;
            }
            if (!first_line_) {
                const bool crlf = last_ == '\r' && line_bytes_ > 0;
                if (crlf && line_bytes_ == 1) {
                    // The blank line: what follows is the body.
                    in_head_ = false;
                    return i + 1;
                }
                if (++header_lines_ > MAX_HEADER_LINES)
                    return refuse_at(
                        i, "more than " + std::to_string(MAX_HEADER_LINES) + " header lines");
                note_fault(!crlf     ? "a header line not ended by CR LF"
                           : !colon_ ? "a header line without a colon"
                                     : nullptr);
            }
            first_line_ = false;
            line_bytes_ = 0;
            colon_ = false;
            last_ = c;
        }
        return n;
    }

    // After the head the parser reads a chunked body's framing lines (chunk
    // sizes, line ends) a byte at a time and data in larger pieces, but for
    // the last byte of a chunk: a run of single bytes is such a line.
    size_t take_body(const char* p, size_t n, size_t asked) {
        if (!refusal_.empty())
            return 0;
        if (asked != 1)
            framing_line_ = 0;
        else if (*p == '\n')
            framing_line_ = 0;
        else if (++framing_line_ >= MAX_HEADER_LINE_BYTES)
            return refuse_at(
                0, "a chunk line longer than " + std::to_string(MAX_HEADER_LINE_BYTES) + " bytes");
        return n;
    }

    size_t refuse_at(size_t taken, const std::string& why) {
        refusal_ = why;
        return taken;
    }

    void note_fault(const char* fault) {
        if (!head_fault_)
            head_fault_ = fault;
    }

    void refuse() {
        if (broken_)
            return;
        refused(refusal_.c_str());
        answer_and_end(in_head_ ? "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                                  "Connection: close\r\nContent-Length: 0\r\n\r\n"
                                : "HTTP/1.1 400 Bad Request\r\n"
                                  "Connection: close\r\nContent-Length: 0\r\n\r\n");
    }

    template <class Get_Name>
    void address(Get_Name get_name, std::string& ip, int& port) const {
        sockaddr_storage addr;
        socklen_t len = sizeof addr;
        char host[NI_MAXHOST], service[NI_MAXSERV];
        if (get_name(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, service,
                          sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    const Clock::duration write_timeout_;
    std::vector<char> in_;
    size_t pos_ = 0, len_ = 0;
    std::string out_;

    // The head being read (see begin_head()).
    bool in_head_ = true;
    size_t head_bytes_ = 0, header_lines_ = 0;
    size_t line_bytes_ = 0;   // of the line being read, before its LF
    bool first_line_ = true;  // the request line is being read
    bool colon_ = false;      // in the line being read
    char last_ = 0;
    // A header line of the head read so far that the parser drops without a
    // word (a line continued on the next, one without a colon, one not ended
    // by CR LF), or null.
    const char* head_fault_ = nullptr;
    bool judged_refused_ = false;
    size_t framing_line_ = 0;  // bytes of the body's framing line being read
    std::string refusal_;      // why the request is refused
};

#endif
