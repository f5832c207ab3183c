#include "host/image_writer.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "host/crc32c.h"

namespace qorm {

namespace {

// Headers and small pieces are gathered here; larger ones go to the I/O as
// they are, so a block's data is copied once, into the I/O's write buffer.
constexpr size_t OUT_BUFFER = 64u << 10;
// Zero runs are found at this grain (a common file-system block).
constexpr uint64_t ZERO_GRAIN = 4096;

bool all_zero(const unsigned char* p, size_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

}  // namespace

Image_Writer::Image_Writer(Client_IO_Base& io) : io_(io) {}

// An unfinished image stays marked incomplete, so its file cannot be
// closed into place.
Image_Writer::~Image_Writer() = default;

bool Image_Writer::fail(int err, const std::string& text) {
    if (state_ != FAILED) {
        if (!text.empty())
            io_.fail(err, text);
        io_.abort();
        state_ = FAILED;
    }
    return false;
}

bool Image_Writer::usable(State wanted) {
    if (state_ == FAILED)
        return false;
    if (state_ != wanted)
        return fail(EINVAL, "image writer used out of order");
    return true;
}

bool Image_Writer::init(uint32_t sector_size, uint32_t block_size, uint32_t checksum,
                        uint32_t compression) {
    if (!usable(NEW))
        return false;
    std::string error;
    if (!image_format::check_geometry(sector_size, block_size, checksum, compression, &error))
        return fail(EINVAL, "image writer: " + error);
    sb_.sector_size = sector_size;
    sb_.block_size = block_size;
    sb_.checksum = checksum;
    sb_.compression = compression;
    out_.reserve(OUT_BUFFER);
    state_ = READY;
    return true;
}

bool Image_Writer::write_superblock(const unsigned char* uuid1, const unsigned char* uuid2,
                                    uint64_t volume_size, const std::string& disk_id) {
    if (!usable(READY))
        return false;
    if (uuid1 == nullptr || uuid2 == nullptr)
        return fail(EINVAL, "image writer: no UUID for the superblock");
    if (disk_id.size() > image_format::MAX_DISK_ID)
        return fail(EINVAL, "image writer: a disk id longer than " +
                                std::to_string(image_format::MAX_DISK_ID) + " bytes");
    sb_.version = disk_id.empty() ? image_format::VERSION_1 : image_format::VERSION;
    sb_.disk_id = disk_id;
    std::memcpy(sb_.uuid1, uuid1, 16);
    std::memcpy(sb_.uuid2, uuid2, 16);
    sb_.volume_size = volume_size;
    sb_.created = static_cast<int64_t>(::time(nullptr));
    unsigned char buf[image_format::SUPERBLOCK_SIZE];
    image_format::encode_superblock(sb_, buf);
    io_.set_incomplete(true);
    state_ = STARTED;
    // Written at once, so a pool that cannot take it fails here.
    return put(buf, sizeof buf) && drain();
}

bool Image_Writer::write_data(uint64_t offset, const void* data, size_t length) {
    if (!usable(STARTED))
        return false;
    if (length == 0)
        return true;
    if (data == nullptr)
        return fail(EINVAL, "image writer: no data");
    if (offset < next_offset_ || offset + length < offset)
        return fail(EINVAL, "image writer: data at offset " + std::to_string(offset) +
                                " is not after what was stored before it");
    if (sb_.volume_size != 0 && offset + length > sb_.volume_size)
        return fail(EINVAL, "image writer: data at offset " + std::to_string(offset) +
                                " lies past the volume's end");
    const auto* p = static_cast<const unsigned char*>(data);
    uint64_t pos = offset;
    const uint64_t end = offset + length;
    while (pos < end) {
        // One run of zero or non-zero grains, at most one block long.
        const uint64_t limit = pos + (end - pos < sb_.block_size ? end - pos : sb_.block_size);
        uint64_t run_end = pos;
        bool zero = false;
        for (uint64_t g = pos; g < limit;) {
            const uint64_t g_end = (g / ZERO_GRAIN + 1) * ZERO_GRAIN < limit
                                       ? (g / ZERO_GRAIN + 1) * ZERO_GRAIN
                                       : limit;
            const bool z = all_zero(p + (g - offset), g_end - g);
            if (g == pos)
                zero = z;
            else if (z != zero)
                break;
            run_end = g = g_end;
        }
        if (!put_record(zero ? image_format::KIND_ZERO : image_format::KIND_DATA, pos,
                        run_end - pos, zero ? nullptr : p + (pos - offset)))
            return false;
        pos = run_end;
    }
    next_offset_ = end;
    io_.add_original_size(length);
    return true;
}

bool Image_Writer::put_record(uint32_t kind, uint64_t offset, uint64_t length,
                              const unsigned char* data) {
    image_format::Record rec;
    rec.kind = kind;
    rec.offset = offset;
    rec.length = length;
    rec.sequence = static_cast<uint32_t>(records_);
    if (kind == image_format::KIND_DATA)
        rec.data_crc = crc32c(0, data, length);
    unsigned char header[image_format::RECORD_SIZE];
    image_format::encode_record(rec, header);
    chain_crc_ = crc32c(chain_crc_, header, sizeof header);
    ++records_;
    if (kind == image_format::KIND_DATA)
        data_bytes_ += length;
    if (!put(header, sizeof header))
        return false;
    return kind != image_format::KIND_DATA || put(data, length);
}

bool Image_Writer::put(const void* data, size_t length) {
    if (out_.size() + length > OUT_BUFFER && !drain())
        return false;
    if (length >= OUT_BUFFER / 2) {
        // Large pieces go straight through, after what is buffered before them.
        if (!drain() || !io_.write(data, length))
            return fail(io_.last_errno(), std::string());
        return true;
    }
    const auto* p = static_cast<const unsigned char*>(data);
    out_.insert(out_.end(), p, p + length);
    return true;
}

bool Image_Writer::drain() {
    if (out_.empty())
        return true;
    if (!io_.write(out_.data(), out_.size()))
        return fail(io_.last_errno(), std::string());
    out_.clear();
    return true;
}

bool Image_Writer::finish() {
    if (!usable(STARTED))
        return false;
    image_format::Record end;
    end.kind = image_format::KIND_END;
    end.offset = records_;
    end.length = data_bytes_;
    end.sequence = static_cast<uint32_t>(records_);
    end.data_crc = chain_crc_;
    unsigned char header[image_format::RECORD_SIZE];
    image_format::encode_record(end, header);
    if (!put(header, sizeof header) || !drain())
        return false;
    io_.set_incomplete(false);
    if (!io_.close()) {
        state_ = FAILED;
        return false;
    }
    state_ = FINISHED;
    return true;
}

}  // namespace qorm
