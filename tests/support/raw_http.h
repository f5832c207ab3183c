// HTTP as bytes, for tests of what the project's servers (the agent, the
// simulators) do with requests no HTTP client would send: one client
// connection to 127.0.0.1, and request heads of a chosen size.
#ifndef TESTS_SUPPORT_RAW_HTTP_H
#define TESTS_SUPPORT_RAW_HTTP_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

class Raw_Connection {
public:
    using Clock = std::chrono::steady_clock;

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

    // Sends `piece` again and again until `total` bytes went or the server
    // ended the connection; the bytes that went.
    size_t send_repeated(const std::string& piece, size_t total) {
        size_t sent = 0;
        while (sent < total && send(piece))
            sent += piece.size();
        return sent;
    }

    // What arrives until the server closes the connection (closed() then
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

// "200 400": the status codes of the HTTP/1.1 answers in the text, in order.
inline std::string statuses(const std::string& answers) {
    std::string out;
    for (size_t at = answers.find("HTTP/1.1 "); at != std::string::npos;
         at = answers.find("HTTP/1.1 ", at + 1))
        out += (out.empty() ? "" : " ") + answers.substr(at + 9, 3);
    return out;
}

// The bounds of a request's head the servers document: its bytes from the
// request line to the blank line, its header lines, and one header line's
// bytes with its CR LF.
const size_t HEAD_BYTES = 32u << 10;
const size_t HEADER_LINES = 100;
const size_t HEADER_LINE_BYTES = 8u << 10;

// A head of `bytes` bytes from `request_line` to the blank line with
// `lines` header lines: `headers` (whole lines), then fillers, the first of
// them `longest` bytes with its CR LF, the others sharing what is left.
inline std::string head_of(const std::string& request_line, const std::string& headers,
                           size_t lines, size_t bytes, size_t longest) {
    const std::string end = "\r\n";
    size_t given = 0;
    for (size_t at = headers.find('\n'); at != std::string::npos; at = headers.find('\n', at + 1))
        ++given;
    const size_t others = lines - given - 1;
    const size_t left = bytes - request_line.size() - headers.size() - end.size() - longest;
    std::string head = request_line + headers;
    for (size_t i = 0; i <= others; ++i) {
        const std::string name = "X-Filler-" + std::to_string(i) + ": ";
        const size_t size = i == 0 ? longest : left / others + (i <= left % others ? 1 : 0);
        head += name + std::string(size - name.size() - end.size(), 'a') + end;
    }
    return head + end;
}

#endif
