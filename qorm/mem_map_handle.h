// A fixed record T at the start of a file under Conf::dir, mapped shared so
// that several processes see each other's stores. Conf gives
//   static constexpr const char* dir;     directory template ("$COMPONENT")
//   static constexpr size_t map_size;     size of a file made by this handle
// The file of (id, basename) is Path_Conf(dir, id, create, basename, mode).
#ifndef QORM_MEM_MAP_HANDLE_H
#define QORM_MEM_MAP_HANDLE_H

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

#include <ace/Mem_Map.h>

#include "qorm/basic_string_arg.h"

namespace qorm {
// Shared by every Mem_Map_Handle: an id or basename must name one entry of
// the directory (not empty, ".", "..", nor holding "/" or a NUL).
int mem_map_open(ACE_Mem_Map& map, const char* dir, const String_Arg& id,
                 const String_Arg& basename, int flags, mode_t dir_mode, size_t map_size,
                 size_t record_size);
int mem_map_open_i(ACE_Mem_Map& map, const char* path, int flags, size_t map_size,
                   size_t record_size);
}  // namespace qorm

template <class T, class Conf>
class Mem_Map_Handle {
    static_assert(sizeof(T) <= Conf::map_size, "record larger than its file");

public:
    Mem_Map_Handle() = default;
    ~Mem_Map_Handle() { close(); }
    Mem_Map_Handle(const Mem_Map_Handle&) = delete;
    Mem_Map_Handle& operator=(const Mem_Map_Handle&) = delete;

    // O_RDWR, plus O_CREAT with create, plus O_CLOEXEC with cloexec.
    int open(const String_Arg& id, const String_Arg& basename, bool create, bool cloexec,
             mode_t dir_mode) {
        return open(id, basename, O_RDWR | (create ? O_CREAT : 0) | (cloexec ? O_CLOEXEC : 0),
                    dir_mode);
    }

    // With O_CREAT the directories are made with dir_mode and the file gets
    // Conf::map_size bytes (zeros after O_TRUNC); without it the whole
    // existing file is mapped, and a file shorter than T is refused.
    // 0, or -1 with the reason logged.
    int open(const String_Arg& id, const String_Arg& basename, int flags, mode_t dir_mode) {
        close();
        return qorm::mem_map_open(map_, Conf::dir, id, basename, flags, dir_mode, Conf::map_size,
                                  sizeof(T));
    }

    int open_i(const char* path, int flags) {
        close();
        return qorm::mem_map_open_i(map_, path, flags, Conf::map_size, sizeof(T));
    }

    int close() { return map_.close(); }

    explicit operator bool() const { return map_.addr() != nullptr && map_.addr() != MAP_FAILED; }
    T* operator->() const { return get(); }
    T* get() const { return *this ? static_cast<T*>(map_.addr()) : nullptr; }

private:
    ACE_Mem_Map map_;
};

#endif
