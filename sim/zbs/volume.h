// Volumes of the simulated ZBS: sparse files named by their volume id in the
// volume store directory.
#ifndef SIM_ZBS_VOLUME_H
#define SIM_ZBS_VOLUME_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/zbs/libzbs.h"

namespace zbs_sim {
constexpr uint64_t extent_size = uint64_t(1) << 28;  // 256 MiB
// Volume differences are found at this granularity; a block of any larger
// size differs when one of its granules does.
constexpr uint64_t diff_granule = 4096;

// [offset, offset + length), ascending and disjoint in every list below.
struct Range {
    uint64_t offset;
    uint64_t length;
    uint64_t end() const { return offset + length; }
};

// Not empty, and neither "/" nor ".." anywhere: an id never leaves the store.
bool is_valid_volume_id(const char* id);

// One open volume file. Every operation answers 0 (or a count) on success and
// a negative errno on failure.
class Volume_File {
public:
    Volume_File() = default;
    ~Volume_File();
    Volume_File(const Volume_File&) = delete;
    Volume_File& operator=(const Volume_File&) = delete;

    // flags: O_RDONLY or O_WRONLY; never creates the file.
    int open(const std::string& store, const char* id, int flags);
    uint64_t size() const { return size_; }

    // The whole range must lie inside the volume: a volume never grows.
    int read(char* buf, uint32_t length, uint64_t offset) const;
    int write(const char* buf, uint32_t length, uint64_t offset) const;

    // Allocated ranges inside [from, to).
    int data_ranges(uint64_t from, uint64_t to, std::vector<Range>& out) const;

    // Fills length bytes at offset, zeros past the end of the file.
    int read_zero_filled(char* buf, uint64_t length, uint64_t offset) const;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Granules of new_volume whose content differs from old_volume's (an old
// volume shorter than the new one reads as zeros past its end). Content, not
// allocation, decides: a hole and written zeros are equal, zeros written over
// data are a change.
int changed_ranges(const Volume_File& old_volume, const Volume_File& new_volume,
                   std::vector<Range>& out);

// One entry per 256 MiB extent: location is non-zero when the extent has
// allocated data; pid is a hash of the extent's content, 0 exactly when the
// content is all zeros, so it changes when the content changes and not when
// only the allocation does (a sparse copy keeps the pids).
int extent_map(const Volume_File& volume, std::vector<zbs_pextent>& out);

// The block_size-aligned blocks that the ranges touch, each once, in order;
// the last block of the volume is cut at its end. Empty for block size 0.
std::vector<Range> blocks_of(const std::vector<Range>& ranges, uint64_t volume_size,
                             uint64_t block_size);
}  // namespace zbs_sim

#endif
