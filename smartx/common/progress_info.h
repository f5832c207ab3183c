// The per-VM progress record, shared by a job's executor (reader) and the
// servant moving that VM (writer) through one mapped file per VM.
#ifndef SMARTX_COMMON_PROGRESS_INFO_H
#define SMARTX_COMMON_PROGRESS_INFO_H

#include <cstddef>
#include <cstdint>

#include "host/vm_job_progress.h"
#include "qorm/mem_map_handle.h"

namespace smartx {
// File layout (little-endian, fields at fixed offsets, rest of the 4096-byte
// file zero). Each field is one aligned store: readers may see fields of
// different moments, never a torn field.
struct VM_Progress_Info {
    uint64_t total_bytes;
    uint64_t processed_bytes;
    int32_t virtual_disk_count;
    int32_t processed_virtual_disk_count;
    int64_t start_time;
    int64_t end_time;
    int32_t state;  // VM_Job_Progress::VM_State, kept as int: the file may hold anything
    int32_t padding_;
};

static_assert(offsetof(VM_Progress_Info, total_bytes) == 0, "layout");
static_assert(offsetof(VM_Progress_Info, processed_bytes) == 8, "layout");
static_assert(offsetof(VM_Progress_Info, virtual_disk_count) == 16, "layout");
static_assert(offsetof(VM_Progress_Info, processed_virtual_disk_count) == 20, "layout");
static_assert(offsetof(VM_Progress_Info, start_time) == 24, "layout");
static_assert(offsetof(VM_Progress_Info, end_time) == 32, "layout");
static_assert(offsetof(VM_Progress_Info, state) == 40, "layout");
static_assert(sizeof(VM_Progress_Info) == 48, "layout");

struct VM_Progress_Info_Conf {
    static constexpr const char* dir = "/var/opt/velmora/tarnvik3/$COMPONENT/act/smartx";
    static constexpr size_t map_size = 4096;
};

typedef Mem_Map_Handle<VM_Progress_Info, VM_Progress_Info_Conf> VM_Progress_Handle;
}  // namespace smartx

#endif
