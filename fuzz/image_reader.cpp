// The pool image reader over any bytes, held against a plain walk of the
// format written here on its own: the ranges and bytes the reader hands over
// must be those the walk finds, and where the walk finds the image invalid the
// reader must fail, having handed over only what came before the fault. A
// custom mutator puts the checksums right after each mutation, so inputs get
// past them to the checks behind.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/crc32c.h"
#include "host/image_block_reader.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

// The format, as the walk and the mutator read it.
constexpr size_t SUPERBLOCK = 512;
constexpr size_t HEADER = 32;
enum : size_t {
    SB_VERSION = 8,
    SB_SIZE = 12,
    SB_SECTOR = 16,
    SB_BLOCK = 20,
    SB_CHECKSUM = 24,
    SB_COMPRESSION = 28,
    SB_UUID1 = 32,
    SB_UUID2 = 48,
    SB_VOLUME = 64,
    SB_DISK_ID_LENGTH = 80,
    SB_DISK_ID = 84,
    SB_CRC = SUPERBLOCK - 4,
};
enum : size_t { R_KIND = 0, R_DATA_CRC = 4, R_OFFSET = 8, R_LENGTH = 16, R_SEQUENCE = 24 };
constexpr size_t HEADER_CRC = HEADER - 4;
constexpr size_t UUID_SIZE = 16;
constexpr uint32_t VERSION_1 = 1, VERSION_2 = 2, CRC32C = 1, STORED = 0;
constexpr uint32_t DATA = 1, ZEROS = 2, END = 3;
constexpr uint32_t MIN_SECTOR = 512, MAX_SECTOR = 65536;
constexpr uint32_t MAX_BLOCK = 64u << 20;
constexpr uint32_t MAX_DISK_ID = 255;

// Past this many bytes handed over the reader is not run: zero records
// stand for far more than the input holds.
constexpr uint64_t MOST_HANDED = 8u << 20;
// The volume size a read expects where the superblock states none.
constexpr uint64_t ROW_SIZE = 4u << 20;
// The block size the restore's reads take, and their units.
constexpr uint32_t RESTORE_BLOCK = 262144;
constexpr uint32_t PAGE = 4096;
// The most one read of the file gives: cut short at odd places, or long.
constexpr size_t SHORT_READ = 1000;
constexpr size_t LONG_READ = 1u << 20;

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t get64(const uint8_t* p) {
    return get32(p) | uint64_t(get32(p + 4)) << 32;
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// How one read is made.
struct Settings {
    bool expect = false;
    qorm::Image_Identity identity;
    uint32_t block_limit = 0;
    uint64_t alignment = 0;
    unsigned depth = 0;
    size_t read_size = 0;  // the most one read of the file gives
};

// A stretch of data the image holds; zeros where data is null.
struct Run {
    uint64_t offset = 0;
    uint64_t length = 0;
    const uint8_t* data = nullptr;
};

struct Walk {
    bool superblock_ok = false;
    bool valid = false;
    std::vector<Run> runs;  // of the records before the first fault
    uint64_t handed = 0;    // their bytes
};

bool power_of_two(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// The superblock as the settings take it.
bool superblock_ok(const uint8_t* p, const Settings& s) {
    static const uint8_t magic[8] = {'T', 'V', 'I', 'M', 'G', '\r', '\n', 0x1a};
    const uint32_t version = get32(p + SB_VERSION), sector = get32(p + SB_SECTOR);
    const uint32_t block = get32(p + SB_BLOCK);
    if (std::memcmp(p, magic, sizeof magic) != 0 || get32(p + SB_CRC) != crc32c(0, p, SB_CRC) ||
        (version != VERSION_1 && version != VERSION_2) || get32(p + SB_SIZE) != SUPERBLOCK)
        return false;
    if (sector < MIN_SECTOR || sector > MAX_SECTOR || !power_of_two(sector) || block == 0 ||
        block % sector != 0 || block > MAX_BLOCK || get32(p + SB_CHECKSUM) != CRC32C ||
        get32(p + SB_COMPRESSION) != STORED)
        return false;
    const uint32_t id_length = get32(p + SB_DISK_ID_LENGTH);
    if (version == VERSION_2 && (id_length == 0 || id_length > MAX_DISK_ID))
        return false;
    if (s.block_limit != 0 && block > s.block_limit)
        return false;
    if (!s.expect)
        return true;
    const uint64_t size = get64(p + SB_VOLUME);
    const char* disk_id = reinterpret_cast<const char*>(p + SB_DISK_ID);
    return std::memcmp(p + SB_UUID1, s.identity.set_uuid, UUID_SIZE) == 0 &&
           std::memcmp(p + SB_UUID2, s.identity.set_uuid, UUID_SIZE) == 0 &&
           (version == VERSION_1 || std::string(disk_id, id_length) == s.identity.disk_id) &&
           (size == 0 || size == s.identity.volume_size);
}

Walk walk(const uint8_t* p, size_t n, const Settings& s) {
    Walk w;
    if (n == 0) {
        w.superblock_ok = w.valid = !s.expect;
        return w;
    }
    if (n < SUPERBLOCK || !superblock_ok(p, s))
        return w;
    w.superblock_ok = true;
    const uint64_t block = get32(p + SB_BLOCK), stated = get64(p + SB_VOLUME);
    const bool bounded = s.expect || stated != 0;
    const uint64_t end = s.expect ? s.identity.volume_size : stated;
    uint64_t next = 0, count = 0, data_bytes = 0;
    uint32_t chain = 0;
    for (size_t at = SUPERBLOCK;;) {
        if (n - at < HEADER)
            return w;
        const uint8_t* h = p + at;
        const uint32_t kind = get32(h + R_KIND);
        const uint64_t offset = get64(h + R_OFFSET), length = get64(h + R_LENGTH);
        if (get32(h + HEADER_CRC) != crc32c(0, h, HEADER_CRC) ||
            get32(h + R_SEQUENCE) != uint32_t(count))
            return w;
        if (kind == END) {
            w.valid = offset == count && length == data_bytes && get32(h + R_DATA_CRC) == chain &&
                      at + HEADER == n;
            return w;
        }
        if (kind != DATA && kind != ZEROS)
            return w;
        if (length == 0 || length > block || offset < next || offset + length < offset ||
            (bounded && offset + length > end))
            return w;
        at += HEADER;
        Run run{offset, length, nullptr};
        if (kind == DATA) {
            if (n - at < length || crc32c(0, p + at, length) != get32(h + R_DATA_CRC))
                return w;
            run.data = p + at;
            at += length;
            data_bytes += length;
        }
        chain = crc32c(chain, h, HEADER);
        ++count;
        next = offset + length;
        w.runs.push_back(run);
        w.handed += length;
    }
}

// The input as a pool file, given out in reads of at most read_size bytes.
class Memory_IO : public Client_IO_Base {
public:
    Memory_IO(const uint8_t* data, size_t size, size_t read_size)
        : data_(data), size_(size), read_size_(read_size) {}
    ssize_t read(void* out, size_t length) override {
        const size_t n = std::min({length, size_ - at_, read_size_});
        std::memcpy(out, data_ + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    bool write(const void*, size_t) override { return fail(EBADF, "read only"); }
    bool close() override { return true; }
    void abort() override {}

private:
    const uint8_t* data_;
    size_t size_;
    size_t read_size_;
    size_t at_ = 0;
};

bool zeros(const char* data, uint64_t length) {
    return std::all_of(data, data + length, [](char c) { return c == 0; });
}

// Follows what the reader hands over through the walk's runs.
class Follower {
public:
    Follower(const Walk& w, uint64_t alignment) : runs_(w.runs), alignment_(alignment) {}

    bool take(const char* data, uint64_t length, uint64_t offset) {
        FUZZ_CHECK(length > 0);
        FUZZ_CHECK(offset / alignment_ == (offset + length - 1) / alignment_);
        // In order; what continues the last range in its unit came with it.
        FUZZ_CHECK(offset >= last_end_);
        FUZZ_CHECK(offset != last_end_ || offset % alignment_ == 0);
        last_end_ = offset + length;
        while (length > 0) {
            FUZZ_CHECK(i_ < runs_.size());
            const Run& run = runs_[i_];
            FUZZ_CHECK(offset == run.offset + at_);
            const uint64_t n = std::min(length, run.length - at_);
            FUZZ_CHECK(run.data ? std::memcmp(data, run.data + at_, n) == 0 : zeros(data, n));
            data += n;
            offset += n;
            length -= n;
            at_ += n;
            if (at_ == run.length) {
                ++i_;
                at_ = 0;
            }
        }
        return true;
    }
    bool all() const { return i_ == runs_.size(); }

private:
    const std::vector<Run>& runs_;
    const uint64_t alignment_;
    size_t i_ = 0;
    uint64_t at_ = 0;
    uint64_t last_end_ = 0;
};

// The reader is used again from input to input, as a restore uses its
// readers one image after another (and its buffers are not made anew).
void check(Image_Block_Reader& reader, const uint8_t* data, size_t size, const Settings& s) {
    const Walk w = walk(data, size, s);
    if (w.handed > MOST_HANDED)
        return;
    if (s.expect)
        reader.expect(s.identity);
    reader.limit_block_size(s.block_limit);
    reader.read_ahead(s.depth);
    Memory_IO head(data, size, s.read_size);
    FUZZ_CHECK(reader.check_superblock(head) == w.superblock_ok);

    Memory_IO io(data, size, s.read_size);
    Follower follower(w, s.alignment);
    const bool read = reader.read_blocks_align(
        io,
        [&follower](char* d, uint64_t length, uint64_t offset) {
            return follower.take(d, length, offset);
        },
        s.alignment);
    if (w.valid) {
        FUZZ_CHECK(read);
        FUZZ_CHECK(follower.all());
        FUZZ_CHECK(io.original_size() == w.handed);
    } else {
        FUZZ_CHECK(!read);
        FUZZ_CHECK(io.last_errno() == EBADMSG);
    }
}

// Where the record headers of an image lie, as far as the lengths of its
// data records lead: up to the end record or the file's end.
std::vector<size_t> headers(const uint8_t* p, size_t n) {
    std::vector<size_t> out;
    for (size_t at = SUPERBLOCK; n >= at && n - at >= HEADER;) {
        out.push_back(at);
        const uint32_t kind = get32(p + at + R_KIND);
        const uint64_t length = get64(p + at + R_LENGTH);
        if (kind == END || (kind == DATA && length > n - at - HEADER))
            break;
        at += HEADER + (kind == DATA ? length : 0);
    }
    return out;
}

// Puts the checksums of an image right after a mutation; with `totals`, the
// sequence numbers and the end record's count and data bytes too.
void repair(uint8_t* p, size_t n, bool totals) {
    if (n < SUPERBLOCK)
        return;
    put32(p + SB_CRC, crc32c(0, p, SB_CRC));
    uint64_t count = 0, data_bytes = 0;
    uint32_t chain = 0;
    for (size_t at : headers(p, n)) {
        uint8_t* h = p + at;
        const uint32_t kind = get32(h + R_KIND);
        const uint64_t length = get64(h + R_LENGTH);
        if (totals)
            put32(h + R_SEQUENCE, uint32_t(count));
        if (kind == END) {
            if (totals) {
                put64(h + R_OFFSET, count);
                put64(h + R_LENGTH, data_bytes);
            }
            put32(h + R_DATA_CRC, chain);
        } else if (kind == DATA && length <= n - at - HEADER) {
            put32(h + R_DATA_CRC, crc32c(0, h + HEADER, length));
            data_bytes += length;
        }
        put32(h + HEADER_CRC, crc32c(0, h, HEADER_CRC));
        chain = crc32c(chain, h, HEADER);
        ++count;
    }
}

// One field of the superblock or of a record set next to a value that
// matters: where the record before ends, a unit's edge, the block size.
// Random bytes seldom hit those.
void reshape(uint8_t* p, size_t n, std::minstd_rand& rng) {
    const std::vector<size_t> at = headers(p, n);
    if (at.empty())
        return;
    const size_t k = rng() % at.size();
    uint8_t* h = p + at[k];
    const uint64_t offset = get64(h + R_OFFSET), length = get64(h + R_LENGTH);
    const uint8_t* last = k == 0 ? nullptr : p + at[k - 1];
    const uint64_t before = last ? get64(last + R_OFFSET) + get64(last + R_LENGTH) : 0;
    const uint32_t block = get32(p + SB_BLOCK);
    const uint64_t unit = rng() % 2 ? PAGE : RESTORE_BLOCK;
    const auto near = [&rng](uint64_t v) { return v + rng() % 3 - 1; };
    switch (rng() % 6) {
        case 0:  // the volume ends at, before or past a record's end, or is not stated
            put64(p + SB_VOLUME, rng() % 4 == 0 ? 0 : near(offset + length));
            break;
        case 1: {
            const uint32_t sizes[] = {MIN_SECTOR, PAGE, RESTORE_BLOCK, 2 * RESTORE_BLOCK,
                                      uint32_t(length)};
            put32(p + SB_BLOCK, sizes[rng() % (sizeof sizes / sizeof sizes[0])]);
            break;
        }
        case 2:  // against the record before, or at a unit's edge
            put64(h + R_OFFSET, rng() % 2 ? near(before) : near(offset / unit * unit + unit));
            break;
        case 3: {
            const uint64_t lengths[] = {1, block, uint64_t(block) + 1, near(unit - offset % unit)};
            put64(h + R_LENGTH, lengths[rng() % (sizeof lengths / sizeof lengths[0])]);
            break;
        }
        case 4:
            put32(h + R_KIND, DATA + rng() % (END + 1));  // one kind past the last
            break;
        default:
            put32(h + R_SEQUENCE, get32(h + R_SEQUENCE) + 1);
            break;
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
    // Now and then the checksums stay as the mutation left them; a few
    // mutations change one field where it matters.
    enum { LEAVE = 0, CHECKSUMS = 1, RESHAPE = 2, MODES = 8 };
    const unsigned mode = seed % MODES;
    std::minstd_rand rng(seed);
    if (mode == RESHAPE && size >= SUPERBLOCK)
        reshape(data, size, rng);
    else
        size = LLVMFuzzerMutate(data, size, max_size);
    if (mode != LEAVE)
        repair(data, size, mode != CHECKSUMS);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (quiet_logs(), true);
    (void)quiet;
    // As any reader of the file: nothing expected, small units, reads cut
    // short at odd places.
    Settings plain;
    plain.alignment = PAGE;
    plain.read_size = SHORT_READ;
    static Image_Block_Reader plain_reader;
    check(plain_reader, data, size, plain);

    // As the restore: the image's own set and disk expected, with the
    // superblock's size or, where it states none, a row's; its block limit,
    // its units, reading ahead.
    Settings restore;
    restore.expect = true;
    restore.block_limit = RESTORE_BLOCK;
    restore.alignment = RESTORE_BLOCK;
    restore.depth = 2;
    restore.read_size = LONG_READ;
    restore.identity.volume_size = ROW_SIZE;
    if (size >= SUPERBLOCK) {
        std::memcpy(restore.identity.set_uuid, data + SB_UUID1, UUID_SIZE);
        const uint32_t id_length = get32(data + SB_DISK_ID_LENGTH);
        if (id_length <= MAX_DISK_ID)
            restore.identity.disk_id.assign(reinterpret_cast<const char*>(data + SB_DISK_ID),
                                            id_length);
        if (get64(data + SB_VOLUME) != 0)
            restore.identity.volume_size = get64(data + SB_VOLUME);
    }
    static Image_Block_Reader restore_reader;
    check(restore_reader, data, size, restore);
    return 0;
}
