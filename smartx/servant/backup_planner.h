// What a backup reads from one ZBS volume: the byte ranges of its allocated
// extents, of its written area, or of what changed since an older snapshot
// of it. Every ZBS query goes through the ZBS back-off.
#ifndef SMARTX_SERVANT_BACKUP_PLANNER_H
#define SMARTX_SERVANT_BACKUP_PLANNER_H

#include <cstdint>
#include <string>
#include <vector>

#include "smartx/zbs/zbs_types.h"

namespace smartx {

// A byte range of a volume.
struct Change_Block {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Every ZBS extent covers 256 MiB.
constexpr uint64_t ZBS_EXTENT_SIZE = 1ULL << 28;

// The volume's extent map: the number of entries stored in *out, or the last
// negative result once the attempts are used up (logged). The map belongs
// to the handle.
int get_zbs_pextents(zbs_t zbs, const std::string& volume_id, zbs_pextent** out);

// The written area of a volume; false once the attempts are used up.
bool get_zbs_diff(zbs_t zbs, const std::string& volume_id, zbs_diff_t* out);
// What changed from the older volume to the newer one.
bool get_zbs_diff(zbs_t zbs, const std::string& old_volume_id, const std::string& new_volume_id,
                  zbs_diff_t* out);

// Appends every range of the diff in block_size units; zbs_volume_id names
// the volume in the log line.
void parse_zbs_diff_to_chunk(zbs_diff_t diff, uint64_t block_size, const std::string& zbs_volume_id,
                             std::vector<Change_Block>& blocks);

// One whole extent per allocated entry of the map. With an older map of the
// same volume (when it could be read), the entries whose content id differs
// from the older entry at the same place, freed ones included (they now read
// as zeros); entries the older map lacks count as allocated ones.
void extents_to_blocks(const zbs_pextent* map, int count, const std::vector<zbs_pextent>* old_map,
                       std::vector<Change_Block>& blocks);

// Keeps only what lies inside a volume of `size` bytes (a range running past
// the end is cut there); returns the bytes left to copy.
uint64_t clip_blocks(std::vector<Change_Block>& blocks, uint64_t size);

}  // namespace smartx

#endif
