// Descriptor I/O shared by the servant scheduler, its channels and the
// starter program.
#ifndef HOST_SERVANT_FD_IO_H
#define HOST_SERVANT_FD_IO_H

#include <cstddef>
#include <string>

// Writes all n bytes; false on failure (errno set). A closed peer is EPIPE,
// never a SIGPIPE.
bool fd_write_all(int fd, const char* data, size_t n);

// Reads up to and including the first newline, or to the end of input, into
// out (newline dropped). Gives up when the text would pass max bytes or when
// no byte arrives for timeout_ms (negative: no limit). 1 a line, 0 end of
// input before any byte, -1 failure (errno: ETIMEDOUT, EMSGSIZE or the read's).
int fd_read_line(int fd, std::string& out, size_t max, int timeout_ms);

// Marks a descriptor close-on-exec; false on failure.
bool fd_set_cloexec(int fd);

#endif
