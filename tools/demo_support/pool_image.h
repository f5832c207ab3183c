// Reading back one image file of a storage pool: every range it holds goes to
// a callback, as Image_Block_Reader hands it over. Shared by the servant
// tests and the backup demo.
#ifndef TOOLS_DEMO_SUPPORT_POOL_IMAGE_H
#define TOOLS_DEMO_SUPPORT_POOL_IMAGE_H

#include <cstdint>
#include <string>

#include "host/client_io.h"
#include "host/image_block_reader.h"

// False with the reason in *error when the pool, the file or the image
// cannot be read (what went to write before that is correct).
inline bool read_pool_image(const std::string& pool_url, const std::string& file,
                            const Image_Block_Reader::Write_Callback& write, uint64_t alignment,
                            std::string* error) {
    Client_IO io;
    Image_Block_Reader reader;
    if (io.connect(pool_url, Client_IO_Base::Options()) && io.open(file, Client_IO::MODE_READ) &&
        reader.read_blocks_align(io, write, alignment))
        return true;
    if (error != nullptr)
        *error = io.error_text();
    return false;
}

#endif
