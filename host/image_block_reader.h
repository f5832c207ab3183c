// Reader of pool image files (format: host/image_format.h).
#ifndef HOST_IMAGE_BLOCK_READER_H
#define HOST_IMAGE_BLOCK_READER_H

#include <cstddef>
#include <cstdint>
#include <functional>
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

    // Reads the image open on io from its start and hands its data to write in
    // ascending order. No range crosses a multiple of alignment, and the
    // image's consecutive data inside one aligned unit comes in one call, so a
    // range starts on a multiple of alignment unless the image holds nothing
    // just before it. Zero runs arrive as zeros; ranges the image does not
    // hold are never handed over (an older image under them stays as it is).
    // An empty file is an image without data. Every checksum is checked before
    // its data is handed over; a damaged, truncated or foreign file, a stop
    // from write, or a failed read fails it with the reason in the I/O's
    // error_text() (data handed over before that is correct but incomplete).
    bool read_blocks_align(Client_IO_Base& io, const Write_Callback& write, uint64_t alignment);

    // Of the last image read (as far as it got).
    const qorm::Image_Superblock& superblock() const { return sb_; }
    uint64_t record_count() const { return records_; }

private:
    bool fill(Client_IO_Base& io, void* out, size_t length, size_t* got);

    qorm::Image_Superblock sb_;
    uint64_t records_ = 0;
    std::vector<unsigned char> in_;  // read ahead
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
    std::vector<char> data_;  // one record's data
    std::vector<char> unit_;  // the aligned unit being gathered
};

#endif
