#include "host/image_block_reader.h"

#include <cerrno>
#include <cstring>

#include "host/crc32c.h"

namespace {

constexpr size_t IN_BUFFER = 1u << 20;

}  // namespace

Image_Block_Reader::Image_Block_Reader() = default;
Image_Block_Reader::~Image_Block_Reader() = default;

// Up to length bytes into out, fewer only where the file ends; *got says
// how many. False on a failed read.
bool Image_Block_Reader::fill(Client_IO_Base& io, void* out, size_t length, size_t* got) {
    auto* p = static_cast<unsigned char*>(out);
    *got = 0;
    while (*got < length) {
        if (in_pos_ == in_len_) {
            const ssize_t n = io.read(in_.data(), in_.size());
            if (n < 0)
                return false;
            if (n == 0)
                break;
            in_pos_ = 0;
            in_len_ = static_cast<size_t>(n);
        }
        const size_t take = length - *got < in_len_ - in_pos_ ? length - *got : in_len_ - in_pos_;
        std::memcpy(p + *got, in_.data() + in_pos_, take);
        in_pos_ += take;
        *got += take;
    }
    return true;
}

bool Image_Block_Reader::read_blocks_align(Client_IO_Base& io, const Write_Callback& write,
                                           uint64_t alignment) {
    sb_ = qorm::Image_Superblock();
    records_ = 0;
    in_pos_ = in_len_ = 0;
    if (!write)
        return io.fail(EINVAL, "image reader: no write callback");
    if (alignment == 0 || alignment > image_format::MAX_BLOCK_SIZE)
        return io.fail(EINVAL, "image reader: alignment must be from 1 byte to 64 MiB");
    in_.resize(IN_BUFFER);
    auto damaged = [&io](const std::string& why) {
        return io.fail(EBADMSG, "image is damaged: " + why);
    };
    auto truncated = [&io](uint64_t records) {
        return io.fail(EBADMSG, "image is truncated after " + std::to_string(records) + " records");
    };

    size_t got = 0;
    unsigned char sbuf[image_format::SUPERBLOCK_SIZE];
    if (!fill(io, sbuf, sizeof sbuf, &got))
        return false;
    // Nothing at all is the image of a disk with nothing to copy.
    if (got == 0)
        return true;
    if (got < sizeof sbuf)
        return io.fail(EBADMSG, "image is truncated inside its superblock");
    std::string why;
    if (!image_format::decode_superblock(sbuf, sb_, &why))
        return damaged(why);

    if (unit_.size() != alignment)
        unit_.assign(alignment, 0);
    if (data_.size() < sb_.block_size)
        data_.resize(sb_.block_size);

    // The run of data gathered inside the current aligned unit.
    bool has_run = false;
    uint64_t unit_start = 0, run_start = 0, run_end = 0;
    auto hand_over = [&](char* data, uint64_t length, uint64_t offset) {
        return write(data, length, offset) ||
               io.fail(ECANCELED, "the data at offset " + std::to_string(offset) +
                                      " was not taken; reading stopped");
    };
    auto emit = [&]() {
        if (!has_run)
            return true;
        has_run = false;
        return hand_over(unit_.data() + (run_start - unit_start), run_end - run_start, run_start);
    };
    auto deliver = [&](uint64_t off, uint64_t len, char* data) {
        while (len > 0) {
            const uint64_t unit = off - off % alignment;
            const uint64_t n = len < unit + alignment - off ? len : unit + alignment - off;
            if (has_run && (unit != unit_start || off != run_end) && !emit())
                return false;
            if (!has_run) {
                if (data != nullptr && off == unit && n == alignment) {
                    // A whole unit goes straight from the record.
                    if (!hand_over(data, n, off))
                        return false;
                    off += n;
                    len -= n;
                    data += n;
                    continue;
                }
                has_run = true;
                unit_start = unit;
                run_start = run_end = off;
            }
            char* dst = unit_.data() + (off - unit_start);
            if (data != nullptr) {
                std::memcpy(dst, data, n);
                data += n;
            } else {
                std::memset(dst, 0, n);
            }
            run_end += n;
            off += n;
            len -= n;
            if (run_end == unit_start + alignment && !emit())
                return false;
        }
        return true;
    };

    uint32_t chain = 0;
    uint64_t next = 0, data_bytes = 0;
    for (;;) {
        unsigned char header[image_format::RECORD_SIZE];
        if (!fill(io, header, sizeof header, &got))
            return false;
        if (got < sizeof header)
            return truncated(records_);
        image_format::Record rec;
        const std::string where = "record " + std::to_string(records_);
        if (!image_format::decode_record(header, rec, &why))
            return damaged(where + ": " + why);
        if (rec.sequence != static_cast<uint32_t>(records_))
            return damaged(where + " is out of sequence");
        if (rec.kind == image_format::KIND_END) {
            if (rec.offset != records_ || rec.length != data_bytes || rec.data_crc != chain)
                return damaged("the end record does not match the records before it");
            unsigned char extra;
            if (!fill(io, &extra, 1, &got))
                return false;
            if (got != 0)
                return damaged("data follows the end record");
            return emit();
        }
        chain = crc32c(chain, header, sizeof header);
        ++records_;
        if (rec.length == 0 || rec.length > sb_.block_size)
            return damaged(where + " has a bad length");
        if (rec.offset < next || rec.offset + rec.length < rec.offset)
            return damaged(where + " overlaps the data before it");
        next = rec.offset + rec.length;
        char* data = nullptr;
        if (rec.kind == image_format::KIND_DATA) {
            data = data_.data();
            if (!fill(io, data, rec.length, &got))
                return false;
            if (got < rec.length)
                return truncated(records_ - 1);
            if (crc32c(0, data, rec.length) != rec.data_crc)
                return damaged(where + " (offset " + std::to_string(rec.offset) +
                               ") fails its checksum");
            data_bytes += rec.length;
        }
        io.add_original_size(rec.length);
        if (!deliver(rec.offset, rec.length, data))
            return false;
    }
}
