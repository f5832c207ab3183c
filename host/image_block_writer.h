// Writer of image files in the storage pool: a superblock, then the blocks
// added with add_block, in the order they were added (ascending offsets).
#ifndef HOST_IMAGE_BLOCK_WRITER_H
#define HOST_IMAGE_BLOCK_WRITER_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/image_writer.h"

// One byte range of the source: offset and length in bytes.
struct Block {
    uint64_t offset = 0;
    uint64_t length = 0;
};

class Image_Block_Writer : public qorm::Image_Writer {
public:
    // Given (length, offset): places up to length source bytes from offset in
    // the buffer handed to write_blocks; the count, or -1 to fail.
    using Read_Callback = std::function<ssize_t(uint64_t length, uint64_t offset)>;
    // Given (buffer, length, offset): places up to length source bytes from
    // offset in buffer; the count, or -1 to fail.
    using Read_Into_Callback =
        std::function<ssize_t(char* buffer, uint64_t length, uint64_t offset)>;
    // Given the bytes just stored; false stops the write.
    using Progress_Callback = std::function<bool(uint64_t bytes)>;

    explicit Image_Block_Writer(Client_IO_Base& io) : qorm::Image_Writer(io) {}

    void add_block(uint64_t offset, uint64_t length) { blocks_.push_back(Block{offset, length}); }
    const std::vector<Block>& blocks() const { return blocks_; }

    // After init and write_superblock: reads every block through read (in
    // pieces of at most buffer_size bytes, each asked for with the rest of its
    // block), stores it, reports it to progress, and then finishes the image,
    // closing the file. Blocks out of ascending order, a failed or empty read,
    // a stop from progress or a failed write, flush or close fail it and
    // discard the file.
    bool write_blocks(const Read_Callback& read, const Progress_Callback& progress,
                      const char* buffer, size_t buffer_size);

    // The same with the reads running ahead of the writes: read fills up to
    // depth buffers of buffer_size bytes on the calling thread while a second
    // thread stores what was read before and calls progress.
    bool write_blocks_ahead(const Read_Into_Callback& read, const Progress_Callback& progress,
                            size_t buffer_size, unsigned depth);

private:
    // The reason a read's result cannot be stored, or empty.
    static std::string bad_read(ssize_t n, uint64_t left, uint64_t offset, size_t buffer_size);

    std::vector<Block> blocks_;
};

#endif
