#include "host/image_block_writer.h"

#include <cerrno>
#include <string>

bool Image_Block_Writer::write_blocks(const Read_Callback& read, const Progress_Callback& progress,
                                      const char* buffer, size_t buffer_size) {
    if (!read || buffer == nullptr || buffer_size == 0)
        return fail(EINVAL, "image writer: no read callback or buffer");
    for (const Block& b : blocks_) {
        uint64_t offset = b.offset;
        uint64_t left = b.length;
        while (left > 0) {
            const ssize_t n = read(left, offset);
            if (n < 0)
                return fail(EIO, "cannot read source data at offset " + std::to_string(offset));
            if (n == 0 || static_cast<uint64_t>(n) > left || static_cast<size_t>(n) > buffer_size)
                return fail(EIO, "source read at offset " + std::to_string(offset) + " returned " +
                                     std::to_string(n) + " bytes");
            if (!write_data(offset, buffer, static_cast<size_t>(n)))
                return false;
            offset += static_cast<uint64_t>(n);
            left -= static_cast<uint64_t>(n);
            if (progress && !progress(static_cast<uint64_t>(n)))
                return fail(ECANCELED, "image write was stopped");
        }
    }
    return finish();
}
