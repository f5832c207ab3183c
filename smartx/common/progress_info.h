// The per-VM progress record, shared by a job's executor (reader) and the
// servant moving that VM (writer) through one mapped file per VM.
#ifndef SMARTX_COMMON_PROGRESS_INFO_H
#define SMARTX_COMMON_PROGRESS_INFO_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "host/vm_job_progress.h"
#include "qorm/mem_map_handle.h"

namespace smartx {
// File layout (little-endian, fields at fixed offsets, rest of the 4096-byte
// file zero). The servant's threads write the fields while the executor's
// process reads them: every access is one atomic operation, so a reader sees
// fields of different moments, never a torn field.
struct VM_Progress_Info {
    std::atomic<uint64_t> total_bytes;
    std::atomic<uint64_t> processed_bytes;
    std::atomic<int32_t> virtual_disk_count;
    std::atomic<int32_t> processed_virtual_disk_count;
    std::atomic<int64_t> start_time;
    std::atomic<int64_t> end_time;
    // A VM_Job_Progress::VM_State, kept as int: the file may hold anything.
    std::atomic<int32_t> state;
    int32_t padding_;

    VM_Progress_Info() = default;
    // A copy is a snapshot taken field by field.
    VM_Progress_Info(const VM_Progress_Info& other) { *this = other; }
    VM_Progress_Info& operator=(const VM_Progress_Info& other) {
        total_bytes = other.total_bytes.load();
        processed_bytes = other.processed_bytes.load();
        virtual_disk_count = other.virtual_disk_count.load();
        processed_virtual_disk_count = other.processed_virtual_disk_count.load();
        start_time = other.start_time.load();
        end_time = other.end_time.load();
        state = other.state.load();
        padding_ = other.padding_;
        return *this;
    }
};

// Another process shares the fields: no lock may stand behind them, and
// each must be laid out as the plain integer it replaces.
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "lock-free fields");
static_assert(sizeof(std::atomic<uint64_t>) == 8 && alignof(std::atomic<uint64_t>) == 8, "layout");
static_assert(sizeof(std::atomic<int32_t>) == 4 && alignof(std::atomic<int32_t>) == 4, "layout");
static_assert(std::is_standard_layout_v<VM_Progress_Info>, "layout");
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
