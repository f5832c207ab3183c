// Run-time binding of the ZBS client library: one copy of libzbs.so.1 per ZBS
// version lives under the install directory; zbs_init loads the copy of the
// version a request names and binds its functions into the process-wide
// table below, zbs_finalize unloads it again.
//
// Callers call through the table by the library's own names, e.g.
//   smartx::zbs_read(zbs, volume_id, buf, length, offset)
// Every entry is null while no library is bound.
#ifndef SMARTX_ZBS_ZBS_WRAPPER_H
#define SMARTX_ZBS_ZBS_WRAPPER_H

#include <cstdint>
#include <memory>

#include "smartx/zbs/zbs_types.h"

// The bound functions, in the order they are resolved.
#define SMARTX_ZBS_FUNCTIONS(X)         \
    X(zbs_create_external)              \
    X(zbs_create_external_with_timeout) \
    X(zbs_pextents_get_by_volume_id)    \
    X(zbs_read)                         \
    X(zbs_write)                        \
    X(zbs_destroy)                      \
    X(zbs_err_str)                      \
    X(zbs_pool_create)                  \
    X(zbs_snapshot_create_by_volume_id) \
    X(zbs_enable_zadp_mode)             \
    X(zbs_read_ex)                      \
    X(zbs_write_ex)                     \
    X(zbs_volume_get_by_id)             \
    X(zbs_get_written_area)             \
    X(zbs_get_volume_diff)              \
    X(zbs_destroy_diff)                 \
    X(zbs_diff_iter_deref)              \
    X(zbs_diff_iter_begin)              \
    X(zbs_diff_iter_next)               \
    X(zbs_diff_iter_end)

namespace smartx {
using zbs_create_external_fn = zbs_t (*)(const char* ip, char** err);
using zbs_create_external_with_timeout_fn = zbs_t (*)(const char* ip, int timeout_ms, char** err);
// Number of entries stored in *out (one per 256 MiB extent), or negative.
using zbs_pextents_get_by_volume_id_fn = int (*)(zbs_t, const char* volume_id, zbs_pextent** out);
// 0: the whole length was transferred; anything else is an error code.
using zbs_read_fn = int (*)(zbs_t, const char* volume_id, char* buf, uint32_t length,
                            uint64_t offset);
using zbs_write_fn = int (*)(zbs_t, const char* volume_id, char* buf, uint32_t length,
                             uint64_t offset);
using zbs_destroy_fn = void (*)(zbs_t);
using zbs_err_str_fn = void (*)(zbs_t, char** err);
using zbs_pool_create_fn = int (*)(zbs_t, const char* name, zbs_pool* pool, const char* desc);
using zbs_snapshot_create_by_volume_id_fn = int (*)(zbs_t, const char* volume_id, const char* name,
                                                    const char* desc, zbs_snapshot* snapshot);
using zbs_enable_zadp_mode_fn = void (*)(uint32_t);
using zbs_read_ex_fn = int (*)(zbs_t, const char* volume_id, char* buf, uint32_t length,
                               uint64_t offset, uint32_t flags);
using zbs_write_ex_fn = int (*)(zbs_t, const char* volume_id, char* buf, uint32_t length,
                                uint64_t offset, uint32_t flags);
using zbs_volume_get_by_id_fn = int (*)(zbs_t, const char* volume_id, zbs_volume* volume);
// 0 fills *out; anything else is failure. The module passes 0 for both uint32.
using zbs_get_written_area_fn = int (*)(zbs_t, const char* volume_id, uint32_t, uint32_t,
                                        zbs_diff_t* out);
using zbs_get_volume_diff_fn = int (*)(zbs_t, const char* old_volume_id, const char* new_volume_id,
                                       uint32_t, uint32_t, zbs_diff_t* out);
using zbs_destroy_diff_fn = void (*)(zbs_diff_t);
using zbs_diff_iter_deref_fn = zbs_diff_range (*)(zbs_diff_iter_t);
using zbs_diff_iter_begin_fn = zbs_diff_iter_t (*)(zbs_diff_t, uint64_t block_size);
using zbs_diff_iter_next_fn = zbs_diff_iter_t (*)(zbs_diff_iter_t);
using zbs_diff_iter_end_fn = zbs_diff_iter_t (*)(zbs_diff_t);

#define SMARTX_ZBS_DECLARE_ENTRY(name) extern name##_fn name;
SMARTX_ZBS_FUNCTIONS(SMARTX_ZBS_DECLARE_ENTRY)
#undef SMARTX_ZBS_DECLARE_ENTRY

// Loads <install dir>/zbs/<version>/libzbs.so.1 and binds every function;
// 1 success (also when a library is already bound: that one stays), 0
// failure. A failed load leaves nothing loaded and every entry null.
int zbs_init(const char* version);

// Unbinds and unloads; 1 success (also when nothing is loaded), 0 when the
// library could not be unloaded (the table is cleared all the same).
// Every handle and diff must be released first: only the library can.
int zbs_finalize();

// Owners of what the library hands out, released through the table; one
// that outlives the library fails an invariant check and leaks.
struct Zbs_Handle_Release {
    void operator()(zbs_t zbs) const;
};
struct Zbs_Diff_Release {
    void operator()(zbs_diff_t diff) const;
};
using Zbs_Handle = std::unique_ptr<zbs_handle, Zbs_Handle_Release>;
using Zbs_Diff = std::unique_ptr<zbs_diff, Zbs_Diff_Release>;

// A version may name a directory: letters, digits, '.', '_' and '-' only,
// and neither "." nor "..".
bool is_valid_zbs_version(const char* version);
}  // namespace smartx

#endif
