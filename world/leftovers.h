// What a backup world holds that nothing needs: the checks that nothing was
// left behind after a failure, once the next backup has run.
#ifndef WORLD_LEFTOVERS_H
#define WORLD_LEFTOVERS_H

#include <ctime>
#include <string>
#include <vector>

#include "world/sim_vm.h"

namespace world {

class Backup_World;

// Ids of the VM snapshots (CloudTower's records) a backup took (by their
// name) that no committed set needs: only the newest set of each chain (one
// resource and VM) is built on. With vm_id, only that VM's.
std::vector<std::string> leftover_snapshots(const Array& vm_snapshots,
                                            const std::vector<Object>& rows,
                                            const std::string& vm_id = std::string());
std::vector<std::string> leftover_snapshots(Backup_World& world,
                                            const std::string& vm_id = std::string());

// Pool files (relative names, temporaries included) that no catalog row
// names as a piece.
std::vector<std::string> orphan_pool_files(const std::vector<std::string>& files,
                                           const std::vector<Object>& rows);
std::vector<std::string> orphan_pool_files(const Backup_World& world);

// The time is up for every backup of the VM whose set may still land (its
// commit answer was lost, and its hold stays for a while): as if that while
// had passed, the next backup settles those sets from the catalog. How many.
size_t end_commit_grace(const std::string& vm_id);
// Every such backup's hold says it holds until `until` (a time the clock
// may have stepped back from, say). How many.
size_t hold_kept_sets_until(const std::string& vm_id, time_t until);

}  // namespace world

#endif
