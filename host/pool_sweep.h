// Listing and reclaiming a storage pool directory's files: what a backup
// uses to find the files nothing names any more, and the temporaries of
// writers that are gone.
//
// A file being written lives under ".<name>.part-XXXXXX" and its writer holds
// a lock (flock) on it until it closes or discards it; a killed writer's
// lock goes with it.
#ifndef HOST_POOL_SWEEP_H
#define HOST_POOL_SWEEP_H

#include <string>
#include <vector>

class Client_IO;

// The regular files of dir (relative to the connected pool), as sorted names
// relative to the pool, temporaries included; false (and *error) when dir
// cannot be read. A missing dir has no files.
bool list_pool_files(const Client_IO& io, const std::string& dir, std::vector<std::string>& out,
                     std::string* error = nullptr);

// Whether a pool file name is the temporary of a file being written.
bool is_pool_temporary(const std::string& name);

// Removes the temporaries of dir whose writer is gone: nobody holds their
// lock, and they hold data or are older than a few seconds (a writer locks
// its file right after making it). The count removed, or -1 when dir cannot
// be read.
int reclaim_pool_temporaries(const Client_IO& io, const std::string& dir);

#endif
