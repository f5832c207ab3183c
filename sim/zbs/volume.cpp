#include "sim/zbs/volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zbs_sim {
namespace {
constexpr uint64_t hash_chunk = 65536;
constexpr uint64_t compare_chunk = uint64_t(1) << 20;

uint64_t rotl(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Feeds one chunk, with its place in the extent, into the extent's hash.
uint64_t hash_bytes(uint64_t h, uint64_t index, const char* p, uint64_t n) {
    h = mix64(h ^ (index * 0x9e3779b97f4a7c15ULL));
    for (uint64_t i = 0; i < n; i += 8) {
        uint64_t w = 0;
        std::memcpy(&w, p + i, std::min<uint64_t>(8, n - i));
        h = rotl(h ^ (w * 0x87c37b91114253d5ULL), 31) * 0x4cf5ad432745937fULL;
    }
    return h;
}

bool all_zero(const char* p, uint64_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

uint64_t round_up(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

// Appends [offset, offset + length), joining it to the last range it touches.
void append_range(std::vector<Range>& out, uint64_t offset, uint64_t length) {
    if (!out.empty() && offset <= out.back().end()) {
        const uint64_t end = std::max(out.back().end(), offset + length);
        out.back().length = end - out.back().offset;
        return;
    }
    out.push_back({offset, length});
}

std::vector<Range> merge(std::vector<Range> a, const std::vector<Range>& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end(),
              [](const Range& x, const Range& y) { return x.offset < y.offset; });
    std::vector<Range> out;
    for (const Range& r : a)
        append_range(out, r.offset, r.length);
    return out;
}
}  // namespace

bool is_valid_volume_id(const char* id) {
    return id != nullptr && *id != 0 && std::strchr(id, '/') == nullptr &&
           std::strstr(id, "..") == nullptr;
}

Volume_File::~Volume_File() {
    if (fd_ >= 0)
        ::close(fd_);
}

int Volume_File::open(const std::string& store, const char* id, int flags) {
    if (!is_valid_volume_id(id))
        return -EINVAL;
    const std::string path = store + "/" + id;
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    struct stat st;
    int rc = 0;
    if (::fstat(fd, &st) != 0)
        rc = -errno;
    else if (!S_ISREG(st.st_mode))
        rc = -EINVAL;
    if (rc != 0) {
        ::close(fd);
        return rc;
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
    return 0;
}

namespace {
// Moves all of [offset, offset + length) with pread or pwrite; 0 or -errno.
// A short transfer of 0 bytes means the file shrank under us.
template <class Buf, class Io>
int transfer_all(int fd, Buf* buf, uint32_t length, uint64_t offset, Io io) {
    for (uint32_t done = 0; done < length;) {
        const ssize_t n = io(fd, buf + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return -EIO;
        done += static_cast<uint32_t>(n);
    }
    return 0;
}
}  // namespace

int Volume_File::read(char* buf, uint32_t length, uint64_t offset) const {
    if (buf == nullptr && length != 0)
        return -EINVAL;
    if (offset > size_ || length > size_ - offset)
        return -ERANGE;
    return transfer_all(fd_, buf, length, offset, ::pread);
}

int Volume_File::write(const char* buf, uint32_t length, uint64_t offset) const {
    if (buf == nullptr && length != 0)
        return -EINVAL;
    if (offset > size_ || length > size_ - offset)
        return -ERANGE;
    return transfer_all(fd_, buf, length, offset, ::pwrite);
}

int Volume_File::read_zero_filled(char* buf, uint64_t length, uint64_t offset) const {
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n =
            ::pread(fd_, buf + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    std::memset(buf + done, 0, length - done);
    return 0;
}

int Volume_File::data_ranges(uint64_t from, uint64_t to, std::vector<Range>& out) const {
    out.clear();
    uint64_t pos = from;
    while (pos < to) {
        const off_t data = ::lseek(fd_, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0)
            return errno == ENXIO ? 0 : -errno;  // ENXIO: no data after pos
        if (static_cast<uint64_t>(data) >= to)
            break;
        const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
        if (hole < 0)
            return -errno;
        const uint64_t end = std::min(static_cast<uint64_t>(hole), to);
        append_range(out, static_cast<uint64_t>(data), end - static_cast<uint64_t>(data));
        pos = static_cast<uint64_t>(hole);
    }
    return 0;
}

int changed_ranges(const Volume_File& old_volume, const Volume_File& new_volume,
                   std::vector<Range>& out) {
    out.clear();
    const uint64_t size = new_volume.size();
    std::vector<Range> old_data;
    std::vector<Range> new_data;
    int rc = new_volume.data_ranges(0, size, new_data);
    if (rc == 0)
        rc = old_volume.data_ranges(0, std::min(size, old_volume.size()), old_data);
    if (rc != 0)
        return rc;

    // Where neither volume has data both read as zeros.
    std::vector<char> a(compare_chunk);
    std::vector<char> b(compare_chunk);
    uint64_t compared_to = 0;
    for (const Range& r : merge(std::move(new_data), old_data)) {
        uint64_t pos = std::max(r.offset / diff_granule * diff_granule, compared_to);
        const uint64_t end = std::min(round_up(r.end(), diff_granule), size);
        for (; pos < end; pos += compare_chunk) {
            const uint64_t n = std::min(compare_chunk, end - pos);
            if ((rc = old_volume.read_zero_filled(a.data(), n, pos)) != 0 ||
                (rc = new_volume.read_zero_filled(b.data(), n, pos)) != 0)
                return rc;
            for (uint64_t i = 0; i < n; i += diff_granule) {
                const uint64_t len = std::min(diff_granule, n - i);
                if (std::memcmp(a.data() + i, b.data() + i, len) != 0)
                    append_range(out, pos + i, len);
            }
        }
        compared_to = std::max(compared_to, end);
    }
    return 0;
}

int extent_map(const Volume_File& volume, std::vector<zbs_pextent>& out) {
    out.clear();
    const uint64_t size = volume.size();
    std::vector<char> buf(hash_chunk);
    std::vector<Range> data;
    for (uint64_t i = 0; i * extent_size < size; ++i) {
        const uint64_t start = i * extent_size;
        const uint64_t end = std::min(size, start + extent_size);
        if (int rc = volume.data_ranges(start, end, data))
            return rc;

        // Only chunks that hold data are read; all-zero ones count as holes,
        // so the hash depends on the content alone.
        uint64_t h = 0;
        bool any = false;
        uint64_t next_chunk = 0;
        for (const Range& r : data) {
            const uint64_t first = std::max((r.offset - start) / hash_chunk, next_chunk);
            const uint64_t last = (r.end() - start + hash_chunk - 1) / hash_chunk;
            for (uint64_t c = first; c < last; ++c) {
                const uint64_t offset = start + c * hash_chunk;
                const uint64_t n = std::min(hash_chunk, end - offset);
                if (int rc = volume.read_zero_filled(buf.data(), n, offset))
                    return rc;
                if (all_zero(buf.data(), n))
                    continue;
                any = true;
                h = hash_bytes(h, c, buf.data(), n);
            }
            next_chunk = std::max(next_chunk, last);
        }
        uint32_t pid = 0;
        if (any) {
            h = mix64(h);
            pid = static_cast<uint32_t>(h ^ (h >> 32));
            if (pid == 0)
                pid = 1;
        }
        out.push_back({pid, data.empty() ? 0u : static_cast<uint32_t>(i + 1)});
    }
    return 0;
}

std::vector<Range> blocks_of(const std::vector<Range>& ranges, uint64_t volume_size,
                             uint64_t block_size) {
    std::vector<Range> out;
    if (block_size == 0)
        return out;
    uint64_t next = 0;  // first block not yet yielded
    for (const Range& r : ranges) {
        if (r.length == 0 || r.offset >= volume_size)
            continue;
        const uint64_t last = (std::min(r.end(), volume_size) - 1) / block_size;
        for (uint64_t k = std::max(r.offset / block_size, next); k <= last; ++k) {
            const uint64_t offset = k * block_size;
            out.push_back({offset, std::min(block_size, volume_size - offset)});
        }
        next = std::max(next, last + 1);
    }
    return out;
}
}  // namespace zbs_sim
