// Writer of image files in the storage pool (format: host/image_format.h):
// init, write_superblock, then the data in ascending offset order, then
// finish, which closes the file so that it takes its name. The first failure
// discards the file and makes every later call fail; the reason is in the
// I/O's error_text().
#ifndef HOST_IMAGE_WRITER_H
#define HOST_IMAGE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/client_io_options.h"
#include "host/image_format.h"

namespace qorm {

class Image_Writer {
public:
    using Superblock = Image_Superblock;

    // io: a file open for writing; it must outlive the writer.
    explicit Image_Writer(Client_IO_Base& io);
    virtual ~Image_Writer();
    Image_Writer(const Image_Writer&) = delete;
    Image_Writer& operator=(const Image_Writer&) = delete;

    // checksum: 1 (CRC-32C per record); compression: 0 (none). Other values,
    // a sector size that is not a power of two from 512, or a block size that
    // is not a multiple of it, are refused.
    bool init(uint32_t sector_size, uint32_t block_size, uint32_t checksum, uint32_t compression);

    // uuid1, uuid2: 16 bytes each. volume_size: the source's size, 0 when not
    // known. disk_id: the source disk's id (at most image_format::MAX_DISK_ID
    // bytes), which makes a version 2 image; empty writes version 1. From
    // here until finish the file is marked incomplete.
    bool write_superblock(const unsigned char* uuid1, const unsigned char* uuid2,
                          uint64_t volume_size = 0, const std::string& disk_id = std::string());

    // Stores length bytes of the source at offset, which must not lie before
    // the end of what was stored last nor past the volume's end (when known).
    // Runs of zeros are stored by length only.
    bool write_data(uint64_t offset, const void* data, size_t length);

    // Ends the image and closes the file; a failed flush or close fails it.
    bool finish();

    const Superblock& superblock() const { return sb_; }
    bool finished() const { return state_ == FINISHED; }

protected:
    // Records a failure, discards the file, and returns false.
    bool fail(int err, const std::string& text);

    Client_IO_Base& io_;

private:
    enum State { NEW, READY, STARTED, FINISHED, FAILED };

    bool usable(State wanted);
    bool put_record(uint32_t kind, uint64_t offset, uint64_t length, const unsigned char* data);
    bool put(const void* data, size_t length);
    bool drain();

    State state_ = NEW;
    Superblock sb_;
    std::vector<unsigned char> out_;  // small pieces, written together
    uint64_t next_offset_ = 0;        // end of the data stored last
    uint64_t records_ = 0;
    uint64_t data_bytes_ = 0;
    uint32_t chain_crc_ = 0;
};

}  // namespace qorm

#endif
