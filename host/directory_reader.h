#ifndef HOST_DIRECTORY_READER_H
#define HOST_DIRECTORY_READER_H

#include <dirent.h>

#include <string>

#include "ace/OS_NS_sys_stat.h"

// Lists one directory's entries, without "." and "..", each with its lstat
// (a dangling symlink is listed, not skipped).
class Directory_Reader {
public:
    Directory_Reader() = default;
    ~Directory_Reader();

    Directory_Reader(const Directory_Reader&) = delete;
    Directory_Reader& operator=(const Directory_Reader&) = delete;

    // 0 on success, -1 on failure (last_error() says why). Reopening closes
    // the previous directory. `flag` and `mask` are accepted for callers that
    // pass them and are ignored: every entry, hidden or not, is listed.
    int open(const char* path, bool flag, int mask);

    // 0 with the next entry; -1 when none is left (last_error() == 0) or on
    // error (last_error() is the errno). An entry removed between listing and
    // lstat is skipped.
    int read(std::string& name, ACE_stat& st);

    int last_error() const { return error_; }

    void close();

private:
    DIR* dir_ = nullptr;
    int error_ = 0;
};

#endif
