#include "host/directory_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

Directory_Reader::~Directory_Reader() {
    close();
}

int Directory_Reader::open(const char* path, bool, int) {
    close();
    error_ = 0;
    if (path == nullptr || *path == '\0') {
        error_ = ENOENT;
        return -1;
    }
    dir_ = ::opendir(path);
    if (dir_ == nullptr) {
        error_ = errno;
        return -1;
    }
    return 0;
}

int Directory_Reader::read(std::string& name, ACE_stat& st) {
    if (dir_ == nullptr) {
        error_ = EBADF;
        return -1;
    }
    for (;;) {
        // readdir reports errors only through errno.
        errno = 0;
        const dirent* entry = ::readdir(dir_);
        if (entry == nullptr) {
            error_ = errno;
            return -1;
        }
        const char* n = entry->d_name;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0)
            continue;
        // Relative to the open directory: no path building, no rename races.
        if (::fstatat(::dirfd(dir_), n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            error_ = errno;
            return -1;
        }
        name = n;
        error_ = 0;
        return 0;
    }
}

void Directory_Reader::close() {
    if (dir_ != nullptr) {
        ::closedir(dir_);
        dir_ = nullptr;
    }
}
