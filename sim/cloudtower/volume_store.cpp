#include "sim/cloudtower/volume_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/paths.h"

namespace sim {
namespace cloudtower {

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error)
        *error = what;
    return false;
}

bool fail_errno(std::string* error, const std::string& what, int err) {
    return fail(error, what + ": " + std::strerror(err));
}

// Ids come from requests: never let one name a path outside the store. The
// same ids are refused as by the simulated ZBS library.
bool valid_id(const std::string& id) {
    return !id.empty() && id != "." && id.find("..") == std::string::npos &&
           id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool write_all(int fd, const char* data, size_t len, off_t offset) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// Copies [begin, end) of in to the same offsets of out.
bool copy_range(int in, int out, off_t begin, off_t end, std::vector<char>& buf) {
    while (begin < end) {
        size_t want =
            static_cast<size_t>(std::min<off_t>(end - begin, static_cast<off_t>(buf.size())));
        ssize_t n = ::pread(in, buf.data(), want, begin);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;  // the file shrank under us: the rest reads as zeroes
        if (!write_all(out, buf.data(), static_cast<size_t>(n), begin))
            return false;
        begin += n;
    }
    return true;
}

}  // namespace

std::string Volume_Store::path(const std::string& id) const {
    return dir_ + "/" + id;
}

bool Volume_Store::prepare(std::string* error) const {
    if (!enabled())
        return true;
    if (make_directories(dir_, 0755) != 0)
        return fail_errno(error, "cannot make volume store " + dir_, errno);
    return true;
}

bool Volume_Store::create(const std::string& id, int64_t size, std::string* error) const {
    if (!enabled())
        return true;
    if (!valid_id(id))
        return fail(error, "invalid volume id '" + id + "'");
    if (size < 0)
        return fail(error, "negative volume size");
    std::string p = path(id);
    Fd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        return fail_errno(error, "cannot create volume " + p, errno);
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        int err = errno;
        ::unlink(p.c_str());
        return fail_errno(error, "cannot size volume " + p, err);
    }
    return true;
}

bool Volume_Store::ensure(const std::string& id, int64_t size, std::string* error) const {
    if (!enabled())
        return true;
    if (!valid_id(id))
        return fail(error, "invalid volume id '" + id + "'");
    struct stat st;
    if (::stat(path(id).c_str(), &st) == 0)
        return true;
    return create(id, size, error);
}

bool Volume_Store::copy_sparse(const std::string& from, const std::string& to,
                               std::string* error) const {
    if (!enabled())
        return true;
    if (!valid_id(from))
        return fail(error, "invalid volume id '" + from + "'");
    if (!valid_id(to))
        return fail(error, "invalid volume id '" + to + "'");
    std::string src = path(from), dst = path(to);
    Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return fail_errno(error, "cannot open volume " + src, errno);
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        return fail_errno(error, "cannot stat volume " + src, errno);
    struct stat dst_st;
    if (::stat(dst.c_str(), &dst_st) == 0)
        return fail(error, "volume " + dst + " exists");

    // Built under a temporary name and renamed: a reader never sees half a copy.
    std::string tmp = dst + ".part";
    Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.get() < 0)
        return fail_errno(error, "cannot create volume " + tmp, errno);
    auto abandon = [&](const std::string& what, int err) {
        ::unlink(tmp.c_str());
        return fail_errno(error, what, err);
    };

    std::vector<char> buf(1 << 20);
    const off_t size = st.st_size;
    off_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(in.get(), pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break;              // only a hole remains
            if (errno == EINVAL) {  // no SEEK_DATA here: copy the rest plainly
                if (!copy_range(in.get(), out.get(), pos, size, buf))
                    return abandon("cannot copy " + src, errno);
                break;
            }
            return abandon("cannot seek in " + src, errno);
        }
        off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
        if (hole < 0)
            return abandon("cannot seek in " + src, errno);
        if (!copy_range(in.get(), out.get(), data, hole, buf))
            return abandon("cannot copy " + src, errno);
        pos = hole;
    }
    if (::ftruncate(out.get(), size) != 0)
        return abandon("cannot size " + tmp, errno);
    int fd = out.release();
    if (::close(fd) != 0)
        return abandon("cannot write " + tmp, errno);
    if (::rename(tmp.c_str(), dst.c_str()) != 0)
        return abandon("cannot rename " + tmp, errno);
    return true;
}

bool Volume_Store::remove(const std::string& id, std::string* error) const {
    if (!enabled())
        return true;
    if (!valid_id(id))
        return fail(error, "invalid volume id '" + id + "'");
    std::string p = path(id);
    if (::unlink(p.c_str()) != 0 && errno != ENOENT)
        return fail_errno(error, "cannot remove volume " + p, errno);
    return true;
}

}  // namespace cloudtower
}  // namespace sim
