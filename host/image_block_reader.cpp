#include "host/image_block_reader.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "host/crc32c.h"

namespace {

constexpr size_t IN_BUFFER = 1u << 20;

}  // namespace

// Where the aligned units a read gathers go. A unit is gathered in a buffer
// of `alignment` bytes taken from here and given back with the run it holds.
class Image_Block_Reader::Units {
public:
    virtual ~Units() = default;
    // A buffer for the next unit; null once the receiver has stopped.
    virtual char* take() = 0;
    // Hands over length bytes at buffer + at, the data at offset; the buffer
    // is the receiver's again. False once the receiver has stopped.
    virtual bool give(char* buffer, uint64_t at, uint64_t length, uint64_t offset) = 0;

    // The offset of the data the receiver refused, when it stopped the read.
    bool refused() const { return refused_; }
    uint64_t refused_at() const { return refused_at_; }

protected:
    bool refused_ = false;
    uint64_t refused_at_ = 0;
};

// Units handed to write on the reading thread, in one buffer.
class Image_Block_Reader::Inline_Units : public Units {
public:
    Inline_Units(const Write_Callback& write, uint64_t alignment)
        : write_(write), buffer_(new (std::nothrow) char[alignment]) {}
    bool ready() const { return buffer_ != nullptr; }

    char* take() override { return buffer_.get(); }
    bool give(char* buffer, uint64_t at, uint64_t length, uint64_t offset) override {
        if (write_(buffer + at, length, offset))
            return true;
        refused_ = true;
        refused_at_ = offset;
        return false;
    }

private:
    const Write_Callback& write_;
    std::unique_ptr<char[]> buffer_;
};

// Units queued by the reading thread for write on the caller's thread, in
// up to depth buffers.
class Image_Block_Reader::Ahead_Units : public Units {
public:
    Ahead_Units(uint64_t alignment, unsigned depth) {
        for (unsigned i = 0; i < depth; ++i) {
            buffers_.emplace_back(new (std::nothrow) char[alignment]);
            if (!buffers_.back())
                return;
            free_.push_back(buffers_.back().get());
        }
    }
    bool ready() const { return !buffers_.empty() && buffers_.back() != nullptr; }

    char* take() override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty() || refused_; });
        if (refused_)
            return nullptr;
        char* buffer = free_.front();
        free_.pop_front();
        return buffer;
    }
    bool give(char* buffer, uint64_t at, uint64_t length, uint64_t offset) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (refused_)
                return false;
            queued_.push_back(Piece{buffer, at, length, offset});
        }
        changed_.notify_all();
        return true;
    }
    // The reading thread has ended, having read everything (ok) or not.
    void finish(bool ok) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            failed_ = !ok;
        }
        changed_.notify_all();
    }

    // On the caller's thread: hands what is queued to write until the reading
    // thread ends. True when everything it read went to write; a failed read
    // ends the hand-over at once.
    bool hand_over(const Write_Callback& write) {
        for (;;) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !queued_.empty() || done_; });
                if (failed_ || queued_.empty())
                    return !failed_;
                piece = queued_.front();
                queued_.pop_front();
            }
            bool taken = false;
            try {
                taken = write(piece.buffer + piece.at, piece.length, piece.offset);
            } catch (...) {
                refuse(piece.offset);
                throw;
            }
            if (!taken) {
                refuse(piece.offset);
                return false;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                free_.push_back(piece.buffer);
            }
            changed_.notify_all();
        }
    }

private:
    // The receiver takes nothing more: the reading thread stops.
    void refuse(uint64_t offset) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            refused_ = true;
            refused_at_ = offset;
        }
        changed_.notify_all();
    }

    struct Piece {
        char* buffer = nullptr;
        uint64_t at = 0;
        uint64_t length = 0;
        uint64_t offset = 0;
    };

    std::vector<std::unique_ptr<char[]>> buffers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<char*> free_;
    std::deque<Piece> queued_;
    bool done_ = false;
    bool failed_ = false;
};

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

bool Image_Block_Reader::read_superblock(Client_IO_Base& io, size_t in_size, bool* empty) {
    sb_ = qorm::Image_Superblock();
    records_ = 0;
    in_pos_ = in_len_ = 0;
    in_.resize(in_size);
    *empty = false;
    size_t got = 0;
    unsigned char sbuf[image_format::SUPERBLOCK_SIZE];
    if (!fill(io, sbuf, sizeof sbuf, &got))
        return false;
    if (got == 0) {
        // Nothing at all is the image of a disk with nothing to copy, never
        // the image of a disk that had data.
        *empty = true;
        return !expected_ || io.fail(EBADMSG, "image is empty");
    }
    if (got < sizeof sbuf)
        return io.fail(EBADMSG, "image is truncated inside its superblock");
    std::string why;
    if (!image_format::decode_superblock(sbuf, sb_, &why))
        return io.fail(EBADMSG, "image is damaged: " + why);
    if (expected_ && !image_format::check_identity(sb_, *expected_, &why))
        return io.fail(EBADMSG, "wrong image: " + why);
    if (block_limit_ != 0 && sb_.block_size > block_limit_)
        return io.fail(EBADMSG, "wrong image: its blocks of " + std::to_string(sb_.block_size) +
                                    " bytes are larger than the " + std::to_string(block_limit_) +
                                    " this read takes");
    return true;
}

bool Image_Block_Reader::check_superblock(Client_IO_Base& io) {
    bool empty = false;
    return read_superblock(io, image_format::SUPERBLOCK_SIZE, &empty);
}

bool Image_Block_Reader::read_blocks_align(Client_IO_Base& io, const Write_Callback& write,
                                           uint64_t alignment) {
    if (!write)
        return io.fail(EINVAL, "image reader: no write callback");
    if (alignment == 0 || alignment > image_format::MAX_BLOCK_SIZE)
        return io.fail(EINVAL, "image reader: alignment must be from 1 byte to 64 MiB");
    bool empty = false;
    if (!read_superblock(io, IN_BUFFER, &empty))
        return false;
    if (empty)
        return true;
    const auto refused = [&io](const Units& units) {
        return io.fail(ECANCELED, "the data at offset " + std::to_string(units.refused_at()) +
                                      " was not taken; reading stopped");
    };
    const auto no_memory = [&io] { return io.fail(ENOMEM, "image reader: no memory for units"); };

    if (depth_ == 0) {
        Inline_Units units(write, alignment);
        if (!units.ready())
            return no_memory();
        return read_records(io, units, alignment) || (units.refused() && refused(units));
    }

    Ahead_Units units(alignment, depth_);
    if (!units.ready())
        return no_memory();
    bool read = false;
    std::thread reading;
    try {
        // Only this thread uses the I/O until it ends.
        reading = std::thread([&] {
            try {
                read = read_records(io, units, alignment);
            } catch (const std::exception& e) {
                read = io.fail(ENOMEM, std::string("image reader: ") + e.what());
            }
            units.finish(read);
        });
    } catch (const std::exception& e) {
        return io.fail(EAGAIN, std::string("image reader: no reading thread: ") + e.what());
    }
    bool handed = false;
    try {
        handed = units.hand_over(write);
    } catch (...) {
        // What write threw goes to the caller once the reading has stopped.
        reading.join();
        throw;
    }
    reading.join();
    if (units.refused())
        return refused(units);
    return handed && read;
}

bool Image_Block_Reader::read_records(Client_IO_Base& io, Units& units, uint64_t alignment) {
    auto damaged = [&io](const std::string& why) {
        return io.fail(EBADMSG, "image is damaged: " + why);
    };
    auto truncated = [&io](uint64_t records) {
        return io.fail(EBADMSG, "image is truncated after " + std::to_string(records) + " records");
    };

    // The run of data gathered in the unit's buffer.
    char* unit = nullptr;
    bool has_run = false;
    uint64_t unit_start = 0, run_start = 0, run_end = 0;
    auto emit = [&]() {
        if (!has_run)
            return true;
        has_run = false;
        return units.give(unit, run_start - unit_start, run_end - run_start, run_start);
    };
    // Where the data at off goes: after the run when it continues it, else
    // in a new unit's buffer. Null once the receiver has stopped.
    auto place = [&](uint64_t off) -> char* {
        const uint64_t at = off - off % alignment;
        if (has_run && (at != unit_start || off != run_end) && !emit())
            return nullptr;
        if (!has_run) {
            unit = units.take();
            if (unit == nullptr)
                return nullptr;
            has_run = true;
            unit_start = at;
            run_start = run_end = off;
        }
        return unit + (off - unit_start);
    };
    // n bytes were placed; a full unit goes at once.
    auto placed = [&](uint64_t n) {
        run_end += n;
        return run_end != unit_start + alignment || emit();
    };

    // Where the superblock states no size, the one expected bounds the
    // records all the same: they go to a volume of that size.
    const bool bounded = expected_ || sb_.volume_size != 0;
    const uint64_t volume_end = expected_ ? expected_->volume_size : sb_.volume_size;

    size_t got = 0;
    std::string why;
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
        if (bounded && rec.offset + rec.length > volume_end)
            return damaged(where + " (offset " + std::to_string(rec.offset) + ", " +
                           std::to_string(rec.length) + " bytes) lies past the volume's end at " +
                           std::to_string(volume_end));
        next = rec.offset + rec.length;
        const auto fails_checksum = [&](const char* data) {
            return crc32c(0, data, rec.length) != rec.data_crc;
        };
        const auto bad_data = [&]() {
            return damaged(where + " (offset " + std::to_string(rec.offset) +
                           ") fails its checksum");
        };
        if (rec.kind == image_format::KIND_DATA) {
            data_bytes += rec.length;
            if (rec.offset / alignment == (rec.offset + rec.length - 1) / alignment) {
                // Inside one unit: read straight into its buffer; a run
                // is handed over only once it is checked.
                char* dst = place(rec.offset);
                if (dst == nullptr)
                    return false;
                if (!fill(io, dst, rec.length, &got))
                    return false;
                if (got < rec.length)
                    return truncated(records_ - 1);
                if (fails_checksum(dst))
                    return bad_data();
                io.add_original_size(rec.length);
                if (!placed(rec.length))
                    return false;
                continue;
            }
            if (data_.size() < rec.length)
                data_.resize(rec.length);
            if (!fill(io, data_.data(), rec.length, &got))
                return false;
            if (got < rec.length)
                return truncated(records_ - 1);
            if (fails_checksum(data_.data()))
                return bad_data();
        }
        io.add_original_size(rec.length);
        const char* data = rec.kind == image_format::KIND_DATA ? data_.data() : nullptr;
        for (uint64_t off = rec.offset, left = rec.length; left > 0;) {
            const uint64_t room = alignment - off % alignment;
            const uint64_t n = left < room ? left : room;
            char* dst = place(off);
            if (dst == nullptr)
                return false;
            if (data != nullptr) {
                std::memcpy(dst, data, n);
                data += n;
            } else {
                std::memset(dst, 0, n);
            }
            if (!placed(n))
                return false;
            off += n;
            left -= n;
        }
    }
}
