// Writer of image files in the storage pool: a superblock, then the blocks
// added with add_block, in the order they were added.
#ifndef HOST_IMAGE_BLOCK_WRITER_H
#define HOST_IMAGE_BLOCK_WRITER_H

#include <cstdint>
#include <vector>

// One byte range of the source: offset and length in bytes.
struct Block {
  uint64_t offset = 0;
  uint64_t length = 0;
};

class Image_Block_Writer {
 public:
  void add_block(uint64_t offset, uint64_t length) { blocks_.push_back(Block{offset, length}); }
  const std::vector<Block>& blocks() const { return blocks_; }

 private:
  std::vector<Block> blocks_;
};

#endif
