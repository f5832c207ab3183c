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
// Makes content the whole file; throws when it cannot.
void replace_file(const std::string& path, const std::string& content);

// Images gone wrong, as a bad disk or a wrong copy leaves them; each throws
// when it cannot. An image cut to its first size bytes (0: empty):
void cut_image(const std::string& path, uint64_t size);
// Another image put in place of one (another disk's, set's or VM's):
void copy_image(const std::string& from, const std::string& to);
// An image rewritten as the format's version 1 wrote it: the same records
// after a superblock without the disk's id (the file keeps its size).
void make_version_1_image(const std::string& path);

}  // namespace world

#endif
