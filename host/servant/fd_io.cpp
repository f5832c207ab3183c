#include "host/servant/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "host/secure_memory.h"

bool fd_write_all(int fd, const char* data, size_t n) {
    bool socket = true;
    while (n > 0) {
        ssize_t w = socket ? ::send(fd, data, n, MSG_NOSIGNAL) : ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (socket && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, -1) < 0 && errno != EINTR)
                    return false;
                continue;
            }
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

namespace {

int read_line(int fd, std::string& out, size_t max, int timeout_ms, char (&c)[4096]) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        // Byte by byte up to the newline would be slow; peek instead when we can.
        ssize_t n = ::recv(fd, c, sizeof c, MSG_PEEK);
        bool peeked = n >= 0;
        if (!peeked && errno == ENOTSOCK)
            n = ::read(fd, c, 1);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        if (n == 0)
            return out.empty() ? 0 : 1;
        size_t take = static_cast<size_t>(n);
        bool line_end = false;
        for (size_t i = 0; i < take; ++i) {
            if (c[i] == '\n') {
                take = i + 1;
                line_end = true;
                break;
            }
        }
        if (peeked && ::recv(fd, c, take, 0) != static_cast<ssize_t>(take))
            return -1;
        out.append(c, line_end ? take - 1 : take);
        if (line_end)
            return 1;
        if (out.size() > max) {
            errno = EMSGSIZE;
            return -1;
        }
    }
}

}  // namespace

int fd_read_line(int fd, std::string& out, size_t max, int timeout_ms) {
    out.clear();
    out.reserve(64 * 1024);  // requests carry secrets: avoid leaving copies behind on growth
    char c[4096];
    int r = read_line(fd, out, max, timeout_ms, c);
    int saved = errno;
    secure_memset(c, 0, sizeof c);
    errno = saved;
    return r;
}

bool fd_set_cloexec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}
