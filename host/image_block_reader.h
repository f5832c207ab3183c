// Reader of pool image files (format: host/image_format.h).
#ifndef HOST_IMAGE_BLOCK_READER_H
#define HOST_IMAGE_BLOCK_READER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/client_io_options.h"
#include "host/image_format.h"

class Image_Block_Reader {
public:
    // Given (data, length, offset) of the source; false stops the read.
    using Write_Callback = std::function<bool(char* data, uint64_t length, uint64_t offset)>;

    Image_Block_Reader();
    ~Image_Block_Reader();
    Image_Block_Reader(const Image_Block_Reader&) = delete;
    Image_Block_Reader& operator=(const Image_Block_Reader&) = delete;

    // Later reads check the image against identity before any of its data
    // is handed over: an image of another set, disk or volume size fails,
    // and so does an empty file (an image that is someone's has a superblock).
    // The identity's volume size bounds every record, also where the
    // superblock states no size.
    void expect(const qorm::Image_Identity& identity) { expected_ = identity; }
    // Later reads refuse, at the superblock, an image whose blocks are larger
    // than bytes (0: up to the format's largest). A record's data is held
    // whole, so this is the most one read holds for it.
    void limit_block_size(uint32_t bytes) { block_limit_ = bytes; }
    // Later reads read and check the image on a second thread, up to depth
    // aligned units ahead of write, which stays on the caller's thread; 0
    // (the default) reads on the caller's thread.
    void read_ahead(unsigned depth) { depth_ = depth; }

    // Reads the image open on io from its start and hands its data to write in
    // ascending order. No range crosses a multiple of alignment, and the
    // image's consecutive data inside one aligned unit comes in one call, so a
    // range starts on a multiple of alignment unless the image holds nothing
    // just before it. Zero runs arrive as zeros; ranges the image does not
    // hold are never handed over (an older image under them stays as it is).
    // An empty file is an image without data, unless an identity is
    // expected. Every checksum, the order and the sequence of a record are
    // checked before its data is handed over; a damaged, truncated or foreign
    // file, a stop from write, or a failed read fails it with the reason in
    // the I/O's error_text() (data handed over before that is correct but
    // incomplete). The I/O is used by the reading thread only until the call
    // returns.
    bool read_blocks_align(Client_IO_Base& io, const Write_Callback& write, uint64_t alignment);

    // Reads only the superblock of the image open on io and checks it, the
    // identity expected and the block size limit, as read_blocks_align
    // would; the reason in the I/O's error_text().
    bool check_superblock(Client_IO_Base& io);

    // Of the last image read (as far as it got).
    const qorm::Image_Superblock& superblock() const { return sb_; }
    uint64_t record_count() const { return records_; }

private:
    class Units;
    class Inline_Units;
    class Ahead_Units;

    // Reads the superblock through a buffer of in_size bytes; *empty when
    // the file holds nothing (which fails only when an identity is expected).
    bool read_superblock(Client_IO_Base& io, size_t in_size, bool* empty);
    // The records after the superblock, gathered into aligned units.
    bool read_records(Client_IO_Base& io, Units& units, uint64_t alignment);
    bool fill(Client_IO_Base& io, void* out, size_t length, size_t* got);

    std::optional<qorm::Image_Identity> expected_;
    unsigned depth_ = 0;
    uint32_t block_limit_ = 0;
    qorm::Image_Superblock sb_;
    uint64_t records_ = 0;
    std::vector<unsigned char> in_;  // read ahead
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
    std::vector<char> data_;  // a record's data that spans units
};

#endif
