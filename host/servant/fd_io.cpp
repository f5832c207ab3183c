#include "host/servant/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

const size_t BLOCK = 64 * 1024;

}  // namespace

FD_Line_Reader::FD_Line_Reader(int fd) : fd_(fd) {
    block_.resize(BLOCK);
}

FD_Line_Reader::~FD_Line_Reader() = default;  // secure_string wipes the block

// Makes bytes available at block_[begin_, end_) (on a socket: peeked, still
// in the socket). got = how many; 0 at the end of input.
int FD_Line_Reader::fill(size_t& got) {
    for (;;) {
        ssize_t n = -1;
        if (socket_ != 0) {
            n = ::recv(fd_, &block_[0], BLOCK, MSG_PEEK);
            if (n < 0 && errno == ENOTSOCK) {
                socket_ = 0;
                continue;
            }
            if (n >= 0)
                socket_ = 1;
        } else {
            n = ::read(fd_, &block_[0], BLOCK);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        begin_ = 0;
        end_ = got = static_cast<size_t>(n);
        return 0;
    }
}

int FD_Line_Reader::read_line(std::string& out, size_t max, int timeout_ms) {
    out.clear();
    for (;;) {
        if (begin_ == end_) {
            pollfd p{fd_, POLLIN, 0};
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
            size_t got = 0;
            if (fill(got) < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    continue;
                return -1;
            }
            if (got == 0)
                return out.empty() ? 0 : 1;
        }
        const char* from = block_.data() + begin_;
        const size_t avail = end_ - begin_;
        const char* nl = static_cast<const char*>(std::memchr(from, '\n', avail));
        const size_t take = nl != nullptr ? static_cast<size_t>(nl - from) + 1 : avail;
        const size_t text = nl != nullptr ? take - 1 : take;
        if (out.size() + text > max) {
            errno = EMSGSIZE;
            return -1;
        }
        // On a socket the peeked bytes are taken for real now; what was
        // peeked past the line stays in the socket.
        if (socket_ == 1 && ::recv(fd_, &block_[begin_], take, 0) != static_cast<ssize_t>(take))
            return -1;
        out.append(from, text);
        const size_t wipe_end = socket_ == 1 ? end_ : begin_ + take;
        secure_memset(&block_[begin_], 0, wipe_end - begin_);
        begin_ = wipe_end;
        if (nl != nullptr)
            return 1;
    }
}

int fd_read_line(int fd, std::string& out, size_t max, int timeout_ms) {
    out.reserve(BLOCK);  // requests carry secrets: fewer copies left behind on growth
    int r, saved;
    {
        FD_Line_Reader reader(fd);
        r = reader.read_line(out, max, timeout_ms);
        saved = errno;
    }  // its wipe and free keep errno as the read left it
    errno = saved;
    return r;
}

bool fd_set_cloexec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}
