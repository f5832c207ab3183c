#include "host/client_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <mutex>
#include <thread>
#include <vector>

#include "host/paths.h"

namespace {

struct Fault {
    std::atomic<int> times{0};
    std::atomic<int> err{0};
};

Fault g_faults[Client_IO::FAULT_STEPS];
// Bytes this process may still write (POOL_SPACE); negative: no bound.
std::atomic<long long> g_space{-1};

// A servant process takes its switches from the environment once:
// POOL_FAIL_WRITES=N fails the next N writes (EIO), POOL_SPACE=BYTES lets
// the process write that much before writes fail with ENOSPC.
void load_env_faults() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* n = std::getenv("POOL_FAIL_WRITES")) {
            g_faults[Client_IO::FAULT_WRITE].err = EIO;
            g_faults[Client_IO::FAULT_WRITE].times = std::atoi(n);
        }
        if (const char* n = std::getenv("POOL_SPACE"))
            g_space = std::atoll(n);
    });
}

// True (errno ENOSPC) when length bytes do not fit in what is left.
bool out_of_space(size_t length) {
    long long left = g_space.load();
    while (left >= 0) {
        if (static_cast<unsigned long long>(left) < length) {
            errno = ENOSPC;
            return true;
        }
        if (g_space.compare_exchange_weak(left, left - static_cast<long long>(length)))
            return false;
    }
    return false;
}

// True (errno set) when the step is to fail now.
bool fault(Client_IO::Fault_Step step) {
    load_env_faults();
    Fault& f = g_faults[step];
    int n = f.times.load();
    while (n > 0) {
        if (f.times.compare_exchange_weak(n, n - 1)) {
            errno = f.err.load();
            return true;
        }
    }
    return false;
}

std::string quoted(const std::string& file) {
    return "'" + file + "'";
}

std::string reason(const std::string& what, const std::string& file, int err) {
    return what + " " + quoted(file) + ": " + ::strerror(err);
}

// "/a//b/" -> "/a/b"; false for "." or ".." parts.
bool normalize_dir(const std::string& path, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        const size_t j = path.find('/', i);
        const std::string part = path.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (part.empty())
            break;
        if (part == "." || part == "..")
            return false;
        out += "/" + part;
        i = (j == std::string::npos) ? path.size() : j;
    }
    if (out.empty())
        out = "/";
    return true;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_directory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Moves from to an unused name to; EEXIST when it is taken.
int rename_noreplace(const char* from, const char* to) {
    if (fault(Client_IO::FAULT_RENAME))
        return -1;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // File systems without RENAME_NOREPLACE: link refuses an existing name too.
    if (::link(from, to) != 0)
        return -1;
    ::unlink(from);
    return 0;
}

// O_DIRECT alignment of memory, file offsets and lengths, and the size of
// the pieces that go to disk.
constexpr size_t DIRECT_ALIGN = 4096;
constexpr size_t DIRECT_PIECE = 4u << 20;
// Pieces read from disk: one large read in flight keeps a disk busier than
// the page cache's read-ahead does.
constexpr size_t READ_PIECE = 8u << 20;

}  // namespace

// Reads or writes one piece at a time on a thread of its own: the next
// piece of a file read ahead, or the last one written behind.
class Client_IO::Piece_Thread {
public:
    ~Piece_Thread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    // After wait(): starts writing length bytes of data at the file offset
    // at, or reading them into data (which stops short at the file's end).
    void start(int fd, char* data, size_t length, uint64_t at, bool write) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd_ = fd;
            data_ = data;
            length_ = length;
            at_ = at;
            write_ = write;
            done_ = 0;
            busy_ = true;
        }
        changed_.notify_all();
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
    }

    // Waits for the piece being moved: its errno, or 0; *done the bytes moved.
    int wait(size_t* done = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        const int err = err_;
        err_ = 0;
        if (done != nullptr)
            *done = done_;
        return err;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return busy_ || quit_; });
            if (!busy_)
                return;
            int err = 0;
            size_t done = 0;
            lock.unlock();
            while (done < length_ && err == 0) {
                const size_t want = length_ - done;
                const off_t at = static_cast<off_t>(at_ + done);
                const ssize_t n = write_ ? ::pwrite(fd_, data_ + done, want, at)
                                         : ::pread(fd_, data_ + done, want, at);
                if (n < 0) {
                    if (errno != EINTR)
                        err = errno;
                    continue;
                }
                done += static_cast<size_t>(n);
                // A file read short has ended (reading on there could break
                // O_DIRECT's alignment); a write that moved nothing failed.
                if (!write_ && static_cast<size_t>(n) < want)
                    break;
                if (n == 0)
                    err = EIO;
            }
            lock.lock();
            err_ = err;
            done_ = done;
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    bool busy_ = false;
    bool quit_ = false;
    int err_ = 0;
    int fd_ = -1;
    char* data_ = nullptr;
    size_t length_ = 0;
    uint64_t at_ = 0;
    bool write_ = false;
    size_t done_ = 0;
};

Client_IO::Client_IO() = default;

Client_IO::~Client_IO() {
    abort();
}

void Client_IO::inject_fault(Fault_Step step, int err, int times) {
    load_env_faults();
    if (step < 0 || step >= FAULT_STEPS)
        return;
    g_faults[step].err = err;
    g_faults[step].times = times < 0 ? 0 : times;
}

void Client_IO::clear_faults() {
    load_env_faults();
    g_space = -1;
    for (Fault& f : g_faults)
        f.times = 0;
}

bool Client_IO::connect(const char* url, const Options& options) {
    if (url == nullptr) {
        clear_error();
        return fail(EINVAL, "no storage pool URL");
    }
    return connect(std::string(url), options);
}

bool Client_IO::connect(const std::string& url, const Options& options) {
    clear_error();
    if (is_open())
        return fail(EBUSY, "a file is open on this connection");
    std::string path;
    const std::string scheme = "file://";
    if (url.compare(0, scheme.size(), scheme) == 0) {
        path = url.substr(scheme.size());
        if (path.compare(0, 10, "localhost/") == 0)
            path.erase(0, 9);
    } else if (url.find("://") != std::string::npos) {
        return fail(EPROTONOSUPPORT,
                    "unsupported storage pool URL '" + url + "' (only file:// and local paths)");
    } else {
        path = url;
    }
    std::string dir;
    if (path.empty() || path[0] != '/' || !normalize_dir(path, dir))
        return fail(EINVAL, "storage pool URL '" + url + "' does not name an absolute directory");
    if (options.cipher != 0)
        return fail(ENOTSUP, "client-side encryption is not supported by this storage pool");
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return fail(ENOTDIR, "storage pool '" + dir + "' is not a directory");
    } else if (errno != ENOENT || !is_directory(parent_of(dir))) {
        return fail(ENOENT, "storage pool directory '" + dir + "' does not exist");
    }
    dir_ = dir;
    options_ = options;
    return true;
}

bool Client_IO::check_name(const std::string& file) {
    if (!connected())
        return fail(ENOTCONN, "not connected to a storage pool");
    bool ok = !file.empty() && file[0] != '/' && file.size() < 4096 &&
              file.find('\0') == std::string::npos;
    for (size_t i = 0; ok && i <= file.size();) {
        const size_t j = file.find('/', i);
        const size_t end = j == std::string::npos ? file.size() : j;
        const std::string part = file.substr(i, end - i);
        ok = !part.empty() && part != "." && part != "..";
        i = end + 1;
    }
    return ok || fail(EINVAL, "invalid file name " + quoted(file) + " in storage pool");
}

bool Client_IO::open(const char* file, int mode) {
    if (file == nullptr) {
        clear_error();
        return fail(EINVAL, "no file name");
    }
    return open(std::string(file), mode);
}

bool Client_IO::open(const std::string& file, int mode) {
    clear_error();
    if (is_open())
        return fail(EBUSY, "a file is already open on this connection");
    if (mode == MODE_WRITE)
        return start_write(file);
    if (mode != MODE_READ)
        return fail(EINVAL, "unknown open mode " + std::to_string(mode));
    if (!check_name(file))
        return false;
    const std::string path = dir_ + "/" + file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return fail(errno, reason("cannot open", file, errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return fail(err, reason("cannot open", file, err));
    }
    begin_file();
    fd_ = fd;
    mode_ = MODE_READ;
    file_ = file;
    path_ = path;
    write_failed_ = false;
    storage_size_ = static_cast<uint64_t>(st.st_size);
    start_reading();
    return true;
}

// Where the file system takes O_DIRECT, reads go to disk in large pieces, the
// next one read ahead while the last one is handed out; elsewhere (or for a
// file that fits in a page) through the page cache.
void Client_IO::start_reading() {
    piece_ = nullptr;
    piece_len_ = piece_pos_ = 0;
    read_at_ = 0;
    read_end_ = false;
    reading_ahead_ = false;
    direct_read_ = false;
    if (storage_size_ <= DIRECT_ALIGN)
        return;
    // Small files get small pieces.
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(
        READ_PIECE, (storage_size_ + DIRECT_ALIGN - 1) / DIRECT_ALIGN * DIRECT_ALIGN));
    if (read_piece_ != piece) {
        for (Buffer& b : read_buffers_)
            b.reset();
        read_piece_ = piece;
    }
    for (Buffer& b : read_buffers_) {
        void* p = nullptr;
        if (!b && ::posix_memalign(&p, DIRECT_ALIGN, read_piece_) == 0)
            b.reset(static_cast<char*>(p));
        if (!b)
            return;
    }
    direct_read_ = ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_DIRECT) == 0;
}

// The next piece becomes the one handed out: the one read ahead, or one
// read now. The first piece is only as large as the first read asks (a look
// at a file's start reads no more); from the second on, each piece is read
// while the one before it is handed out. False on a failed read; at the
// file's end the piece is empty.
bool Client_IO::next_piece(size_t want) {
    piece_len_ = piece_pos_ = 0;
    if (read_end_)
        return true;
    if (!behind_)
        behind_.reset(new Piece_Thread);
    char* const buffers[2] = {read_buffers_[0].get(), read_buffers_[1].get()};
    char* const into = piece_ == buffers[0] ? buffers[1] : buffers[0];
    const bool first = read_at_ == 0;
    const size_t length =
        first ? std::min(read_piece_, (want + DIRECT_ALIGN - 1) / DIRECT_ALIGN * DIRECT_ALIGN)
              : read_piece_;
    size_t n = 0;
    int err = 0;
    if (reading_ahead_) {
        err = behind_->wait(&n);
    } else if (first && fault(FAULT_DIRECT)) {
        err = errno;
    } else {
        behind_->start(fd_, into, length, read_at_, false);
        err = behind_->wait(&n);
    }
    reading_ahead_ = false;
    if (err == EINVAL && first) {
        // The file system refused O_DIRECT only at the first read: go on
        // through the page cache.
        direct_read_ = false;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT);
        return true;
    }
    if (err != 0)
        return fail(err, reason("cannot read", file_, err));
    piece_ = into;
    piece_len_ = n;
    read_at_ += n;
    read_end_ = n < length;
    if (!read_end_ && !first) {
        behind_->start(fd_, into == buffers[0] ? buffers[1] : buffers[0], read_piece_, read_at_,
                       false);
        reading_ahead_ = true;
    }
    return true;
}

// No read may be left running when the file is closed.
void Client_IO::stop_reading() {
    if (reading_ahead_)
        behind_->wait();
    reading_ahead_ = false;
}

bool Client_IO::start_write(const std::string& file, bool replace) {
    if (!check_name(file))
        return false;
    const std::string path = dir_ + "/" + file;
    const std::string parent = parent_of(path);
    if (make_directories(parent, 0750) != 0)
        return fail(errno, reason("cannot make the directory of", file, errno));
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!replace || !S_ISREG(st.st_mode))
            return fail(EEXIST, quoted(file) + " already exists in the storage pool");
    } else if (errno != ENOENT)
        return fail(errno, reason("cannot check", file, errno));
    std::string temp = parent + "/." + path.substr(parent.size() + 1) + ".part-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(errno, reason("cannot create", file, errno));
    // Locked while it is written: a temporary nobody holds is a dead writer's.
    ::flock(fd, LOCK_EX | LOCK_NB);
    begin_file();
    fd_ = fd;
    mode_ = MODE_WRITE;
    file_ = file;
    path_ = path;
    temp_path_ = name.data();
    write_failed_ = false;
    storage_size_ = 0;
    written_ = 0;
    writeback_ = 0;
    staged_ = 0;
    direct_at_ = 0;
    // Where the file system does not take O_DIRECT, writes go through the page cache.
    for (Buffer& b : buffers_) {
        void* p = nullptr;
        if (!b && ::posix_memalign(&p, DIRECT_ALIGN, DIRECT_PIECE) == 0)
            b.reset(static_cast<char*>(p));
    }
    stage_ = buffers_[0].get();
    direct_ =
        buffers_[0] && buffers_[1] && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_DIRECT) == 0;
    return true;
}

ssize_t Client_IO::read(void* data, size_t length) {
    if (fd_ < 0 || mode_ != MODE_READ) {
        fail(EBADF, "no file open for reading");
        return -1;
    }
    size_t done = 0;
    auto* p = static_cast<char*>(data);
    if (direct_read_ && fault(FAULT_READ)) {
        fail(errno, reason("cannot read", file_, errno));
        return -1;
    }
    while (direct_read_ && done < length) {
        if (piece_pos_ == piece_len_ && !next_piece(length - done))
            return -1;
        if (piece_pos_ == piece_len_)
            break;
        const size_t n = std::min(length - done, piece_len_ - piece_pos_);
        std::memcpy(p + done, piece_ + piece_pos_, n);
        piece_pos_ += n;
        done += n;
    }
    if (direct_read_ || read_at_ > 0)
        return static_cast<ssize_t>(done);
    while (done < length) {
        const ssize_t n = fault(FAULT_READ) ? -1 : ::read(fd_, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            fail(errno, reason("cannot read", file_, errno));
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

bool Client_IO::write(const void* data, size_t length) {
    if (fd_ < 0 || mode_ != MODE_WRITE)
        return fail(EBADF, "no file open for writing");
    if (write_failed_)
        return false;
    if (fault(FAULT_WRITE) || out_of_space(length)) {
        write_failed_ = true;
        return fail(errno, reason("cannot write", file_, errno));
    }
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (direct_ && done < length) {
        const size_t n = std::min(length - done, DIRECT_PIECE - staged_);
        std::memcpy(stage_ + staged_, p + done, n);
        staged_ += n;
        done += n;
        if (staged_ == DIRECT_PIECE && !write_stage(false))
            return false;
    }
    // Through the page cache, also for the rest of a piece the file system
    // refused to take directly.
    if (done < length) {
        if (!write_at(p + done, length - done, written_))
            return false;
        written_ += length - done;
        start_writeback();
    }
    storage_size_ += length;
    return true;
}

// Writes length bytes at the file offset at; a failure fails the file.
bool Client_IO::write_at(const char* data, size_t length, uint64_t at) {
    for (size_t done = 0; done < length;) {
        const ssize_t n =
            direct_ && fault(Client_IO::FAULT_DIRECT)
                ? -1
                : ::pwrite(fd_, data + done, length - done, static_cast<off_t>(at + done));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINVAL && direct_ && at == direct_at_ && done == 0) {
            // The file system refused O_DIRECT only at the first write: go on
            // through the page cache.
            direct_ = false;
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT);
        } else if (n == 0 || errno != EINTR) {
            write_failed_ = true;
            const int err = n == 0 ? EIO : errno;
            return fail(err, reason("cannot write", file_, err));
        }
    }
    return true;
}

// Writes the staged bytes at their place. A full buffer moves on; with all,
// a partial one is written padded to the alignment and the file cut back to
// its size, and stays staged so that later bytes join it.
bool Client_IO::write_stage(bool all) {
    if (all && !wait_behind())
        return false;
    if (staged_ == 0 || (!all && staged_ < DIRECT_PIECE))
        return true;
    // Full pieces after the first go behind: the first one finds out whether
    // the file system takes O_DIRECT.
    if (direct_ && !all && direct_at_ > 0) {
        if (!wait_behind())
            return false;
        if (!behind_)
            behind_.reset(new Piece_Thread);
        behind_->start(fd_, stage_, DIRECT_PIECE, direct_at_, true);
        stage_ = stage_ == buffers_[0].get() ? buffers_[1].get() : buffers_[0].get();
        direct_at_ += DIRECT_PIECE;
        staged_ = 0;
        return true;
    }
    if (!wait_behind())
        return false;
    const bool was_direct = direct_;
    size_t length = staged_;
    if (direct_ && length % DIRECT_ALIGN != 0) {
        const size_t padded = (length / DIRECT_ALIGN + 1) * DIRECT_ALIGN;
        std::memset(stage_ + length, 0, padded - length);
        length = padded;
    }
    if (!write_at(stage_, direct_ ? length : staged_, direct_at_))
        return false;
    const uint64_t end = direct_at_ + staged_;
    if (was_direct && length != staged_ && ::ftruncate(fd_, static_cast<off_t>(end)) != 0) {
        write_failed_ = true;
        return fail(errno, reason("cannot write", file_, errno));
    }
    if (staged_ == DIRECT_PIECE || !direct_) {
        direct_at_ = end;
        staged_ = 0;
    }
    if (!direct_)
        written_ = end;
    return true;
}

// Images are flushed before they take their names. Writing back as the data
// arrives keeps dirty memory bounded and leaves the final flush little to do;
// errors show at that flush.
void Client_IO::start_writeback() {
    const uint64_t window = 32u << 20;
    while (written_ - writeback_ >= window) {
        ::sync_file_range(fd_, static_cast<off64_t>(writeback_), window, SYNC_FILE_RANGE_WRITE);
        if (writeback_ >= window)
            ::sync_file_range(
                fd_, static_cast<off64_t>(writeback_ - window), window,
                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        writeback_ += window;
    }
}

bool Client_IO::flush() {
    if (fd_ < 0 || mode_ != MODE_WRITE)
        return fail(EBADF, "no file open for writing");
    if (write_failed_ || !write_stage(true))
        return false;
    if (fault(FAULT_FLUSH) || ::fdatasync(fd_) != 0) {
        write_failed_ = true;
        return fail(errno, reason("cannot flush", file_, errno));
    }
    return true;
}

bool Client_IO::close() {
    if (fd_ < 0)
        return true;
    if (mode_ == MODE_READ) {
        stop_reading();
        ::close(fd_);
        fd_ = -1;
        return true;
    }
    return finish_write(false);
}

bool Client_IO::finish_write(bool replace) {
    if (write_failed_) {
        discard();
        return false;
    }
    if (incomplete()) {
        const std::string file = file_;
        discard();
        return fail(EIO, quoted(file) + " was not finished and is discarded");
    }
    const std::string file = file_;
    if (!write_stage(true)) {
        discard();
        return false;
    }
    int err = 0;
    std::string what;
    if (fault(FAULT_FLUSH) || ::fsync(fd_) != 0) {
        err = errno;
        what = "cannot flush";
    }
    const int fd = fd_;
    fd_ = -1;
    if ((fault(FAULT_CLOSE) || ::close(fd) != 0) && err == 0) {
        err = errno;
        what = "cannot close";
    }
    if (err == 0) {
        const int rc =
            replace ? (fault(FAULT_RENAME) ? -1 : ::rename(temp_path_.c_str(), path_.c_str()))
                    : rename_noreplace(temp_path_.c_str(), path_.c_str());
        if (rc != 0) {
            err = errno;
            what = err == EEXIST ? "cannot replace the existing" : "cannot name";
        }
    }
    if (err == 0 && !sync_directory(parent_of(path_))) {
        err = errno;
        what = "cannot flush the directory of";
        ::unlink(path_.c_str());  // ours: it was just made under a name nobody held
    }
    if (err != 0) {
        discard();
        if (err == EEXIST)
            return fail(EEXIST, quoted(file) + " already exists in the storage pool");
        return fail(err, reason(what, file, err));
    }
    temp_path_.clear();
    mode_ = 0;
    return true;
}

bool Client_IO::wait_behind() {
    const int err = behind_ ? behind_->wait() : 0;
    if (err == 0)
        return true;
    write_failed_ = true;
    return fail(err, reason("cannot write", file_, err));
}

void Client_IO::discard() {
    if (behind_)
        behind_->wait();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temp_path_.empty())
        ::unlink(temp_path_.c_str());
    temp_path_.clear();
    mode_ = 0;
    set_incomplete(false);
}

void Client_IO::abort() {
    if (mode_ == MODE_WRITE) {
        discard();
    } else if (fd_ >= 0) {
        stop_reading();
        ::close(fd_);
        fd_ = -1;
    }
}

bool Client_IO::remove(const std::string& file) {
    clear_error();
    if (!check_name(file))
        return false;
    if (fd_ >= 0 && file == file_)
        abort();
    const std::string path = dir_ + "/" + file;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return fail(errno, reason("cannot remove", file, errno));
    return true;
}

bool Client_IO_Ex::put_stream(std::istream& in, const std::string& file, int flags) {
    clear_error();
    if (is_open())
        return fail(EBUSY, "a file is open on this connection");
    const bool replace = (flags & PUT_EXCLUSIVE) == 0 && options().overwrite;
    if (!start_write(file, replace))
        return false;
    std::vector<char> buf(1 << 16);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const size_t n = static_cast<size_t>(in.gcount());
        if (n == 0)
            break;
        if (!write(buf.data(), n)) {
            abort();
            return false;
        }
        add_original_size(n);
    }
    if (in.bad()) {
        abort();
        return fail(EIO, "cannot read the stream for " + quoted(file));
    }
    return finish_write(replace);
}
