// Descriptor I/O shared by the servant scheduler, its channels and the
// starter program.
#ifndef HOST_SERVANT_FD_IO_H
#define HOST_SERVANT_FD_IO_H

#include <cstddef>
#include <string>

#include "host/secure_memory.h"

// Writes all n bytes; false on failure (errno set). A closed peer is EPIPE,
// never a SIGPIPE.
bool fd_write_all(int fd, const char* data, size_t n);

// Newline-ended messages from one descriptor, read in blocks. On a socket it
// takes exactly what it hands out (it peeks for the newline), so the socket
// can be passed on; on a pipe or file it keeps what follows a message for
// the next call. What it holds is wiped when it goes: messages carry secrets.
class FD_Line_Reader {
public:
    explicit FD_Line_Reader(int fd);
    FD_Line_Reader(const FD_Line_Reader&) = delete;
    FD_Line_Reader& operator=(const FD_Line_Reader&) = delete;
    ~FD_Line_Reader();

    // Reads up to and including the next newline, or to the end of input,
    // into out (newline dropped). Gives up when the text would pass max bytes
    // or when no byte arrives for timeout_ms (negative: no limit). 1 a line,
    // 0 end of input before any byte, -1 failure (errno: ETIMEDOUT, EMSGSIZE
    // or the read's).
    int read_line(std::string& out, size_t max, int timeout_ms);

private:
    int fill(size_t& got);

    const int fd_;
    int socket_ = -1;  // unknown until the first read
    secure_string block_;
    size_t begin_ = 0, end_ = 0;  // the bytes of block_ not handed out yet
};

// One message through a reader of its own: on a pipe, what follows the
// newline is lost with the reader.
int fd_read_line(int fd, std::string& out, size_t max, int timeout_ms);

// Marks a descriptor close-on-exec; false on failure.
bool fd_set_cloexec(int fd);

#endif
