#include "smartx/servant/run_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/directory_reader.h"
#include "host/paths.h"
#include "host/time_format.h"

namespace smartx {

namespace {
// Seconds after which an unfinished record nobody locks is a dead run's (its
// writer locks it right after making it).
constexpr time_t UNFINISHED_RECORD_AGE = 10;
constexpr mode_t RECORD_DIRECTORY_MODE = 0750;
constexpr mode_t RECORD_MODE = 0640;
constexpr size_t READ_BLOCK = 4096;
const char ASIDE_DIRECTORY[] = "aside";
// "YYYYmmdd-HHMMSS" and its end.
constexpr size_t ASIDE_STAMP_SIZE = 16;
// Names a record set aside tries, one second's worth: far more than records
// a host sets aside in a second.
constexpr unsigned ASIDE_NAME_TRIES = 1000;

std::function<void(const std::string&)>& record_open_hook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

std::function<int(const std::string&)>& record_sync_fault() {
    static std::function<int(const std::string&)> fault;
    return fault;
}

#ifdef SMARTX_TEST_PAUSES
// Test builds: a process whose SMARTX_TEST_PAUSES names the point (a comma
// list) stops there the first time it comes by, making
// <SMARTX_TEST_PAUSE_DIR>/<point>.<pid> and waiting until a test removes it;
// so the windows between processes can be opened at will.
constexpr int TEST_PAUSE_POLL_MS = 10;
constexpr int TEST_PAUSE_LIMIT_MS = 60000;

void test_pause(const std::string& point) {
    const char* points = std::getenv("SMARTX_TEST_PAUSES");
    const char* dir = std::getenv("SMARTX_TEST_PAUSE_DIR");
    static std::set<std::string> passed;
    if (points == nullptr || dir == nullptr ||
        ("," + std::string(points) + ",").find("," + point + ",") == std::string::npos ||
        !passed.insert(point).second)
        return;
    const std::string file = std::string(dir) + "/" + point + "." + std::to_string(::getpid());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, RECORD_MODE);
    if (fd < 0)
        return;
    ::close(fd);
    for (int waited = 0; waited < TEST_PAUSE_LIMIT_MS && ::access(file.c_str(), F_OK) == 0;
         waited += TEST_PAUSE_POLL_MS)
        ::usleep(TEST_PAUSE_POLL_MS * 1000);
}
#else
void test_pause(const std::string&) {}
#endif

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

// What was written through fd (its data alone when data_only) is on disk;
// errno says why not.
bool sync_fd(int fd, const std::string& path, bool data_only) {
    if (record_sync_fault()) {
        if (const int error = record_sync_fault()(path)) {
            errno = error;
            return false;
        }
    }
    return (data_only ? ::fdatasync(fd) : ::fsync(fd)) == 0;
}

// The names dir holds (a record renamed into it or out of it, a directory
// made in it) are on disk.
bool sync_directory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = sync_fd(fd, dir, false);
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

// How adding a line to a record ended.
enum class Line_Added {
    ON_DISK,
    // Not on disk, and cut back off: the record is as it was.
    CUT_BACK,
    // Not on disk, and a piece of it may end the record: no line may follow
    // (a reader drops a last line cut short, not one run into the next).
    TAIL_LEFT,
};

// A line is on disk before the caller asks for what it announces; one that
// is not is cut back off, so that the record holds only lines said to be
// there. errno says why it failed.
Line_Added append_synced(int fd, const std::string& path, const std::string& text) {
    struct stat before;
    if (::fstat(fd, &before) != 0)
        return Line_Added::CUT_BACK;
    if (write_all(fd, text) && sync_fd(fd, path, true))
        return Line_Added::ON_DISK;
    const int error = errno;
    const bool cut = ::ftruncate(fd, before.st_size) == 0;
    // The cut on disk too, where the disk takes it: a line that failed must
    // not come back whole after a crash either.
    if (cut && !sync_fd(fd, path, true))
        ACE_ERROR((LM_WARNING,
                   ACE_TEXT("Record %C: a line cut back off may not be off on disk: %C.\n"),
                   path.c_str(), std::strerror(errno)));
    errno = error;
    return cut ? Line_Added::CUT_BACK : Line_Added::TAIL_LEFT;
}

// Adds a line for its writer, unless refused says why it may not; nor may a
// writer whose line before could not be cut back off (tail_left, set here).
// False (logged) when the line is not on disk.
bool add_line(int fd, const std::string& path, const std::string& text, const char* refused,
              bool& tail_left) {
    const char* why = refused != nullptr ? refused
                      : tail_left        ? "a line before may end it"
                                         : nullptr;
    if (why == nullptr) {
        const Line_Added added = append_synced(fd, path, text);
        if (added == Line_Added::ON_DISK)
            return true;
        tail_left = added == Line_Added::TAIL_LEFT;
        why = std::strerror(errno);
    }
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to add to record %C: %C.\n"), path.c_str(), why));
    return false;
}

std::string parent_directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads the file from its start; too_large once it holds more than the
// bound, and then nothing of it is kept.
bool read_bounded(int fd, std::string& text, bool& too_large) {
    char buffer[READ_BLOCK];
    text.clear();
    too_large = false;
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (text.size() + static_cast<size_t>(n) > MAX_RECORD_BYTES) {
            std::string().swap(text);
            too_large = true;
            return true;
        }
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

// The record locked through fd is still the one under path: its run did not
// end (removing it) between our open and our lock.
bool still_named(int fd, const std::string& path) {
    struct stat held;
    struct stat named;
    return ::fstat(fd, &held) == 0 && held.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Emptied first, so that a reader that opened it before it goes and locks it
// after finds nothing to settle; and emptied on disk, so that a crash cannot
// bring back whole the record of a run that ended. When the emptying cannot
// be put on disk, the name's removal is. False (logged) when neither is.
bool remove_locked(int fd, const std::string& path) {
    const bool emptied = ::ftruncate(fd, 0) == 0 && sync_fd(fd, path, true);
    if (!emptied)
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to empty record %C: %C.\n"), path.c_str(),
                   std::strerror(errno)));
    const bool unlinked = ::unlink(path.c_str()) == 0;
    if (emptied || (unlinked && sync_directory(parent_directory(path))))
        return true;
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("Record %C may come back whole after a crash: neither its emptying nor "
                        "its removal is on disk: %C.\n"),
               path.c_str(), std::strerror(errno)));
    return false;
}

// Moves from to to, never over another file: false with EEXIST when to is
// taken.
bool rename_unreplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    // A file system that cannot: a second name, then the first goes.
    return errno == EINVAL && ::link(from.c_str(), to.c_str()) == 0 && ::unlink(from.c_str()) == 0;
}

// Moves the record to aside/ under its name, the time and, when a record set
// aside before holds that, a count: every record set aside stays. Where it
// lies now.
std::string set_aside(const std::string& dir, const std::string& name) {
    const std::string from = dir + "/" + name;
    const std::string aside = aside_directory(dir);
    const POSIX_Time_Format<ASIDE_STAMP_SIZE> stamp(::time(nullptr), "%Y%m%d-%H%M%S");
    const std::string named = aside + "/" + name + "." + stamp.c_str();
    std::string to = named;
    bool moved = make_record_directory(aside);
    for (unsigned tries = 1; moved && !rename_unreplacing(from, to); ++tries) {
        moved = errno == EEXIST && tries < ASIDE_NAME_TRIES;
        to = named + "." + std::to_string(tries);
    }
    if (!moved) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to set record %C aside: %C.\n"), from.c_str(),
                   std::strerror(errno)));
        return from;
    }
    if (!sync_directory(aside) || !sync_directory(dir))
        ACE_ERROR((LM_WARNING, ACE_TEXT("Record %C set aside may not be on disk: %C.\n"),
                   to.c_str(), std::strerror(errno)));
    ACE_ERROR((LM_ERROR, ACE_TEXT("Record %C is set aside as %C.\n"), from.c_str(), to.c_str()));
    return to;
}

class Fd_Closer {
public:
    explicit Fd_Closer(int fd) : fd_(fd) {}
    ~Fd_Closer() { ::close(fd_); }
    Fd_Closer(const Fd_Closer&) = delete;
    Fd_Closer& operator=(const Fd_Closer&) = delete;

private:
    int fd_;
};
}  // namespace

bool plain_path_part(const std::string& s) {
    return !s.empty() && s[0] != '.' && s.find('/') == std::string::npos;
}

std::string servant_record_directory(const std::string& kind) {
    return host_path("/var/opt/velmora/tarnvik3/$COMPONENT/servant/") + kind;
}

std::string aside_directory(const std::string& dir) {
    return dir + "/" + ASIDE_DIRECTORY;
}

void set_record_open_hook(std::function<void(const std::string& path)> hook) {
    record_open_hook() = std::move(hook);
}

void set_record_sync_fault(std::function<int(const std::string& path)> fault) {
    record_sync_fault() = std::move(fault);
}

bool make_record_directory(const std::string& dir) {
    // The deepest directory on the way to dir that is there already: the
    // ones below it are made.
    std::string there = dir;
    struct stat st;
    while (::stat(there.c_str(), &st) != 0 && parent_directory(there) != there)
        there = parent_directory(there);
    if (make_directories(dir, RECORD_DIRECTORY_MODE) != 0)
        return false;
    for (std::string made = dir; made != there;) {
        made = parent_directory(made);
        if (!sync_directory(made))
            return false;
    }
    return true;
}

bool Run_Record::take(const std::string& dir, const std::string& run_id, const std::string& text) {
    release();
    if (!plain_path_part(run_id))
        return false;
    if (!make_record_directory(dir)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to make record directory %C: %C.\n"), dir.c_str(),
                   std::strerror(errno)));
        return false;
    }
    const std::string path = dir + "/" + run_id;
    const std::string part = dir + "/." + run_id;
    const int fd =
        ::open(part.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, RECORD_MODE);
    // On disk whole before it is under its name, and its name on disk before
    // its run makes anything the record is to name.
    const bool named = fd >= 0 && ::flock(fd, LOCK_EX) == 0 && write_all(fd, text) &&
                       sync_fd(fd, part, false) && ::rename(part.c_str(), path.c_str()) == 0;
    if (named) {
        fd_ = fd;
        path_ = path;
        if (sync_directory(dir))
            return true;
    }
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write record %C: %C.\n"), path.c_str(),
               std::strerror(errno)));
    if (named) {
        release();
    } else if (fd >= 0) {
        ::unlink(part.c_str());
        ::close(fd);
    }
    return false;
}

bool Run_Record::append(const std::string& text) {
    return add_line(fd_, path_, text, fd_ < 0 ? "not held" : nullptr, tail_left_);
}

bool Run_Record::release() {
    if (fd_ < 0)
        return true;
    test_pause("record-ending");
    // Removed while still locked: no reader takes it for a dead run's.
    const bool gone = remove_locked(fd_, path_);
    keep();
    return gone;
}

void Run_Record::keep() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    path_.clear();
    tail_left_ = false;
}

bool visit_records(const std::string& dir, const Record_Visit& visit, const Record_Aside& aside) {
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
        const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            // Gone since it was listed: its run ended.
            if (errno != ENOENT) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open record %C: %C.\n"), path.c_str(),
                           std::strerror(errno)));
                ok = false;
            }
            continue;
        }
        const Fd_Closer closer(fd);
        if (record_open_hook())
            record_open_hook()(path);
        test_pause("record-opened");
        const bool dead = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        // Its run ended between our open and our lock: nothing to settle.
        if (dead && !still_named(fd, path))
            continue;
        // A hidden record is one being written: its run is alive, or died
        // before it held anything (then, unlocked and old, it goes).
        if (name[0] == '.') {
            if (dead && ::time(nullptr) - st.st_mtime > UNFINISHED_RECORD_AGE)
                ::unlink(path.c_str());
            continue;
        }
        Record_Seen seen;
        seen.run_id = name;
        seen.path = path;
        seen.live = !dead;
        struct stat held = {};
        const bool stated = ::fstat(fd, &held) == 0;
        seen.modified = stated ? held.st_mtime : 0;
        if (!read_bounded(fd, seen.text, seen.too_large)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read record %C: %C.\n"), path.c_str(),
                       std::strerror(errno)));
            ok = false;
            continue;
        }
        // Emptied by its run as it ended: it names nothing.
        if (dead && !seen.too_large && seen.text.empty()) {
            remove_locked(fd, path);
            continue;
        }
        bool appended = false;
        bool tail_left = false;
        const Record_Append append = [&](const std::string& text) {
            appended = appended || dead;
            return add_line(fd, path, text, dead ? nullptr : "its run holds it", tail_left);
        };
        const Record_Fate fate = visit(seen, append);
        if (!dead)
            continue;
        // What a visit adds leaves the record saying when its own run last
        // wrote it.
        const struct timespec times[] = {{0, UTIME_OMIT}, held.st_mtim};
        if (appended && stated && fate != Record_Fate::REMOVE && ::futimens(fd, times) != 0)
            ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to keep the time of record %C: %C.\n"),
                       path.c_str(), std::strerror(errno)));
        if (fate == Record_Fate::REMOVE)
            remove_locked(fd, path);
        else if (fate == Record_Fate::SET_ASIDE) {
            const std::string lies = set_aside(dir, name);
            if (aside)
                aside(seen, lies);
        }
    }
    if (reader.last_error() != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list records of %C.\n"), dir.c_str()));
        return false;
    }
    return ok;
}

}  // namespace smartx
