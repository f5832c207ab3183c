#include "qorm/mem_map_handle.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include <ace/Log_Msg.h>

#include "host/paths.h"
#include "qorm/check.h"

namespace qorm {
namespace {
// One plain entry of a directory: nothing that leaves it or names it.
bool is_entry_name(const String_Arg& s) {
    const char* p = s.c_str();
    return p && *p && !s.has_embedded_nul() && std::strchr(p, '/') == nullptr &&
           std::strcmp(p, ".") != 0 && std::strcmp(p, "..") != 0;
}
}  // namespace

int mem_map_open(ACE_Mem_Map& map, const char* dir, const String_Arg& id,
                 const String_Arg& basename, int flags, mode_t dir_mode, size_t map_size,
                 size_t record_size) {
    QORM_CHECK_RETURN(is_entry_name(id), "id is NULL or \"\"", -1);
    QORM_CHECK_RETURN(is_entry_name(basename), "basename is NULL or \"\"", -1);
    Path_Conf path(dir, id.c_str(), (flags & O_CREAT) != 0, basename.c_str(), dir_mode);
    return mem_map_open_i(map, path.str().c_str(), flags, map_size, record_size);
}

int mem_map_open_i(ACE_Mem_Map& map, const char* path, int flags, size_t map_size,
                   size_t record_size) {
    map.close();
    const size_t length = (flags & O_CREAT) ? map_size : static_cast<size_t>(-1);
    const int access = flags & O_ACCMODE;
    const int prot = access == O_RDWR     ? PROT_READ | PROT_WRITE
                     : access == O_WRONLY ? PROT_WRITE
                                          : PROT_READ;
    // O_CLOEXEC goes to open() itself: no window in which a process forked
    // by another thread inherits the descriptor.
    int rc = map.map(path, length, flags, 0640, prot, MAP_SHARED, nullptr, 0);
    int err = errno;
    if (rc == 0 && map.size() < record_size) {
        // A short file would be read past its end on first access.
        rc = -1;
        err = EINVAL;
    }
    if (rc != 0) {
        map.close();
        errno = err;
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Failed to memory map %s, errno=%d, %m\n"), path ? path : "", err));
        errno = err;
        return -1;
    }
    return 0;
}
}  // namespace qorm
