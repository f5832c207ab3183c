#include "smartx/servant/backup_planner.h"

#include <ace/Log_Msg.h>

#include "smartx/common/connect_params.h"
#include "smartx/servant/zbs_call.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {

int get_zbs_pextents(zbs_t zbs, const std::string& volume_id, zbs_pextent** out) {
    int count = -1;
    const bool done = call_zbs_with_backoff(
        [&] {
            count = zbs_pextents_get_by_volume_id(zbs, volume_id.c_str(), out);
            return count >= 0;
        },
        [&](int delay) {
            ACE_ERROR((
                LM_WARNING,
                ACE_TEXT("Failed to get zbs pextents for volume[%C] try again after %d second. \n"),
                volume_id.c_str(), delay));
        });
    if (!done) {
        const Smartx_Connect_Params* params = Smartx_Connect_Params::instance();
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get zbs pextents, after %u attempts.\n"),
                   params != nullptr ? params->zbs_retries : 0u));
    }
    return count;
}

bool get_zbs_diff(zbs_t zbs, const std::string& volume_id, zbs_diff_t* out) {
    return call_zbs_with_backoff(
        [&] { return zbs_get_written_area(zbs, volume_id.c_str(), 0, 0, out) == 0; },
        [&](int delay) {
            ACE_ERROR(
                (LM_WARNING,
                 ACE_TEXT(
                     "Failed to get zbs written area for volume[%C] try again after %d second.\n"),
                 volume_id.c_str(), delay));
        });
}

bool get_zbs_diff(zbs_t zbs, const std::string& old_volume_id, const std::string& new_volume_id,
                  zbs_diff_t* out) {
    return call_zbs_with_backoff(
        [&] {
            return zbs_get_volume_diff(zbs, old_volume_id.c_str(), new_volume_id.c_str(), 0, 0,
                                       out) == 0;
        },
        [&](int delay) {
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("Failed to get zbs volume diff for volumes[%C -> %C] try again "
                                "after %d second.\n"),
                       old_volume_id.c_str(), new_volume_id.c_str(), delay));
        });
}

void parse_zbs_diff_to_chunk(zbs_diff_t diff, uint64_t block_size, const std::string& zbs_volume_id,
                             std::vector<Change_Block>& blocks) {
    int count = 0;
    // The end is asked for after the start: beginning may lay the diff out anew.
    zbs_diff_iter_t it = zbs_diff_iter_begin(diff, block_size);
    const zbs_diff_iter_t end = zbs_diff_iter_end(diff);
    for (; it != end; it = zbs_diff_iter_next(it)) {
        const zbs_diff_range range = zbs_diff_iter_deref(it);
        blocks.push_back(Change_Block{range.offset, range.length});
        ++count;
    }
    ACE_DEBUG(
        (LM_INFO,
         ACE_TEXT("Lun.local_id[%C]'s valid_data_blocks=%d, param_.control.zbs_block_size=%d.\n"),
         zbs_volume_id.c_str(), count, static_cast<int>(block_size)));
}

void extents_to_blocks(const zbs_pextent* map, int count, const std::vector<zbs_pextent>* old_map,
                       std::vector<Change_Block>& blocks) {
    for (int i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>(i);
        const zbs_pextent* old =
            old_map != nullptr && at < old_map->size() ? &(*old_map)[at] : nullptr;
        if (old == nullptr ? map[i].location == 0 : old->pid == map[i].pid)
            continue;
        // An extent freed since the older snapshot still changed: it now reads as zeros.
        if (map[i].location == 0 && old->location == 0)
            continue;
        blocks.push_back(Change_Block{at * ZBS_EXTENT_SIZE, ZBS_EXTENT_SIZE});
    }
}

uint64_t clip_blocks(std::vector<Change_Block>& blocks, uint64_t size) {
    uint64_t used = 0;
    size_t kept = 0;
    for (const Change_Block& b : blocks) {
        if (b.length == 0 || b.offset >= size)
            continue;
        Change_Block c = b;
        if (c.length > size - c.offset)
            c.length = size - c.offset;
        blocks[kept++] = c;
        used += c.length;
    }
    blocks.resize(kept);
    return used;
}

}  // namespace smartx
