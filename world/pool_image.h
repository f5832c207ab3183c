// A storage pool directory read back: its files, and the ranges one image
// file holds, as Image_Block_Reader hands them over.
#ifndef WORLD_POOL_IMAGE_H
#define WORLD_POOL_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/image_block_reader.h"

namespace world {

// False with the reason in *error when the pool, the file or the image
// cannot be read (what went to write before that is correct).
bool read_pool_image(const std::string& pool_url, const std::string& file,
                     const Image_Block_Reader::Write_Callback& write, uint64_t alignment,
                     std::string* error);

// Every regular file below dir, hidden ones included, as sorted relative names.
std::vector<std::string> pool_files(const std::string& dir);

// Writes data at offset into an existing file; throws when it cannot.
void write_at(const std::string& path, uint64_t offset, const std::string& data);

// A whole file's bytes ("" when it cannot be read).
std::string file_content(const std::string& path);

}  // namespace world

#endif
