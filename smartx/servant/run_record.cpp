#include "smartx/servant/run_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <ace/Log_Msg.h>

#include "host/directory_reader.h"
#include "host/paths.h"

namespace smartx {

namespace {
// Seconds after which an unfinished record nobody locks is a dead run's (its
// writer locks it right after making it).
constexpr time_t UNFINISHED_RECORD_AGE = 10;
constexpr mode_t RECORD_DIRECTORY_MODE = 0750;
constexpr mode_t RECORD_MODE = 0640;
constexpr size_t READ_BLOCK = 4096;

bool write_all(int fd, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, std::string& text) {
    char buffer[READ_BLOCK];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<size_t>(n));
    }
}
}  // namespace

bool plain_path_part(const std::string& s) {
    return !s.empty() && s[0] != '.' && s.find('/') == std::string::npos;
}

std::string servant_record_directory(const std::string& kind) {
    return host_path("/var/opt/velmora/tarnvik3/$COMPONENT/servant/") + kind;
}

bool Run_Record::take(const std::string& dir, const std::string& run_id, const std::string& text) {
    release();
    if (!plain_path_part(run_id))
        return false;
    if (make_directories(dir, RECORD_DIRECTORY_MODE) != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to make record directory %C: %C.\n"), dir.c_str(),
                   std::strerror(errno)));
        return false;
    }
    const std::string path = dir + "/" + run_id;
    const std::string part = dir + "/." + run_id;
    const int fd = ::open(part.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, RECORD_MODE);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || !write_all(fd, text) ||
        ::rename(part.c_str(), path.c_str()) != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write record %C: %C.\n"), path.c_str(),
                   std::strerror(errno)));
        if (fd >= 0) {
            ::unlink(part.c_str());
            ::close(fd);
        }
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool Run_Record::append(const std::string& text) {
    if (fd_ >= 0 && write_all(fd_, text))
        return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to add to record %C: %C.\n"), path_.c_str(),
               fd_ >= 0 ? std::strerror(errno) : "not held"));
    return false;
}

void Run_Record::release() {
    if (fd_ < 0)
        return;
    // Removed while still locked: no reader takes it for a dead run's.
    ::unlink(path_.c_str());
    keep();
}

void Run_Record::keep() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    path_.clear();
}

bool visit_records(const std::string& dir, const Record_Visit& visit) {
    Directory_Reader reader;
    if (reader.open(dir.c_str(), false, 0) != 0) {
        if (reader.last_error() == ENOENT)
            return true;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list records of %C.\n"), dir.c_str()));
        return false;
    }
    std::string name;
    ACE_stat st;
    bool ok = true;
    while (reader.read(name, st) == 0) {
        if (name.empty() || !S_ISREG(st.st_mode))
            continue;
        const std::string path = dir + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            // Gone since it was listed: its run ended.
            if (errno != ENOENT)
                ok = false;
            continue;
        }
        const bool dead = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        // A hidden record is one being written: its run is alive, or died
        // before it held anything (then, unlocked and old, it goes).
        if (name[0] == '.') {
            if (dead && ::time(nullptr) - st.st_mtime > UNFINISHED_RECORD_AGE)
                ::unlink(path.c_str());
            ::close(fd);
            continue;
        }
        std::string text;
        if (!read_all(fd, text)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read record %C.\n"), path.c_str()));
            ok = false;
        } else if (visit(name, text, !dead) && dead) {
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
    if (reader.last_error() != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list records of %C.\n"), dir.c_str()));
        return false;
    }
    return ok;
}

}  // namespace smartx
