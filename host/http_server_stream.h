// One accepted connection of an HTTP server built on cpp-httplib, as the
// library's request parser reads and writes it, for servers that serve their
// connections themselves (the web-services agent, the simulators): reads
// come from a buffer, an answer is collected and leaves in one write at
// flush(), so that a client on a kept-open connection never waits for the
// rest of an answer. When and how long to wait for the client is the
// server's: it fills the buffer (fill(), with receive()) and waits (wait()).
// Both buffers are wiped: requests and answers may carry secrets.
#ifndef HOST_HTTP_SERVER_STREAM_H
#define HOST_HTTP_SERVER_STREAM_H

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <httplib.h>

#include "host/secure_memory.h"

class Http_Server_Stream : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    ~Http_Server_Stream() override {
        secure_memset(in_.data(), 0, in_.size());
        wipe_output();
    }

    bool is_readable() const override { return pos_ < len_; }
    bool is_writable() const override { return !broken_; }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == len_ && !fill())
            return broken_ ? -1 : 0;
        const size_t n = std::min(size, len_ - pos_);
        std::memcpy(ptr, in_.data() + pos_, n);
        read_from_buffer(ptr, n);
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
    // Sees each piece the parser reads, in order.
    virtual void read_from_buffer(const char*, size_t) {}

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
};

#endif
