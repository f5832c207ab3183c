#include "host/pool_sweep.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "host/client_io.h"
#include "host/directory_reader.h"

namespace {
// A temporary without data younger than this may be one whose writer has
// made it but not yet locked it.
constexpr time_t UNLOCKED_GRACE = 10;

bool plain_dir(const std::string& dir) {
    if (dir.empty() || dir[0] == '/')
        return false;
    for (size_t i = 0; i <= dir.size();) {
        const size_t j = std::min(dir.find('/', i), dir.size());
        const std::string part = dir.substr(i, j - i);
        if (part.empty() || part == "." || part == "..")
            return false;
        i = j + 1;
    }
    return true;
}

// Opens dir of the pool; 0, or the errno.
int open_dir(const Client_IO& io, const std::string& dir, Directory_Reader& reader,
             std::string& path) {
    if (!io.connected() || !plain_dir(dir))
        return EINVAL;
    path = io.directory() + "/" + dir;
    return reader.open(path.c_str(), false, 0) == 0 ? 0 : reader.last_error();
}
}  // namespace

bool is_pool_temporary(const std::string& name) {
    const size_t slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const size_t part = base.rfind(".part-");
    return base.size() > 1 && base[0] == '.' && part != std::string::npos && part > 1 &&
           base.size() == part + 12;
}

bool list_pool_files(const Client_IO& io, const std::string& dir, std::vector<std::string>& out,
                     std::string* error) {
    out.clear();
    Directory_Reader reader;
    std::string path;
    const int rc = open_dir(io, dir, reader, path);
    if (rc == ENOENT)
        return true;
    if (rc != 0) {
        if (error != nullptr)
            *error = "cannot read " + dir + ": " + std::strerror(rc);
        return false;
    }
    std::string name;
    ACE_stat st;
    while (reader.read(name, st) == 0)
        if (S_ISREG(st.st_mode))
            out.push_back(dir + "/" + name);
    if (reader.last_error() != 0) {
        if (error != nullptr)
            *error = "cannot read " + dir + ": " + std::strerror(reader.last_error());
        return false;
    }
    std::sort(out.begin(), out.end());
    return true;
}

int reclaim_pool_temporaries(const Client_IO& io, const std::string& dir) {
    Directory_Reader reader;
    std::string path;
    const int rc = open_dir(io, dir, reader, path);
    if (rc == ENOENT)
        return 0;
    if (rc != 0)
        return -1;
    int removed = 0;
    std::string name;
    ACE_stat st;
    while (reader.read(name, st) == 0) {
        if (!S_ISREG(st.st_mode) || !is_pool_temporary(name))
            continue;
        const std::string file = path + "/" + name;
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        struct stat now;
        // Removed while locked: its writer, if any, is gone for good.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &now) == 0 &&
            (now.st_size > 0 || ::time(nullptr) - now.st_mtime > UNLOCKED_GRACE) &&
            ::unlink(file.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    return removed;
}
