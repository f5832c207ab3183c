/* The ZBS client library (libzbs.so.1): its types and its twenty functions,
 * as the module binds them at run time and as the simulated library defines
 * them. Plain C so that a library written in C can share it.
 *
 * Each function NAME has a function type NAME_func and a pointer type
 * NAME_fn; the prototypes are declared with the function types, so a library
 * defining NAME with another signature does not compile. */
#ifndef HOST_ZBS_LIBZBS_H
#define HOST_ZBS_LIBZBS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One connection to ZBS. */
typedef struct zbs_handle* zbs_t;
/* A set of changed ranges of a volume, and a position in it. */
typedef struct zbs_diff* zbs_diff_t;
typedef struct zbs_diff_iter* zbs_diff_iter_t;

/* One 256 MiB physical extent of a volume; location 0: not allocated. */
typedef struct zbs_pextent {
    uint32_t pid;
    uint32_t location;
} zbs_pextent;

/* One range of a diff, in bytes. */
typedef struct zbs_diff_range {
    uint64_t offset;
    uint64_t length;
} zbs_diff_range;

/* Records of the library that callers only pass through. */
typedef struct zbs_pool zbs_pool;
typedef struct zbs_snapshot zbs_snapshot;
typedef struct zbs_volume zbs_volume;

/* The functions, in the order a binding resolves them. */
#define LIBZBS_FUNCTIONS(X)             \
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

typedef zbs_t zbs_create_external_func(const char* ip, char** err);
typedef zbs_t zbs_create_external_with_timeout_func(const char* ip, int timeout_ms, char** err);
/* Number of entries stored in *out (one per 256 MiB extent), or negative. */
typedef int zbs_pextents_get_by_volume_id_func(zbs_t zbs, const char* volume_id, zbs_pextent** out);
/* 0: the whole length was transferred; anything else is an error code. */
typedef int zbs_read_func(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                          uint64_t offset);
typedef int zbs_write_func(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                           uint64_t offset);
typedef void zbs_destroy_func(zbs_t zbs);
typedef void zbs_err_str_func(zbs_t zbs, char** err);
typedef int zbs_pool_create_func(zbs_t zbs, const char* name, zbs_pool* pool, const char* desc);
typedef int zbs_snapshot_create_by_volume_id_func(zbs_t zbs, const char* volume_id,
                                                  const char* name, const char* desc,
                                                  zbs_snapshot* snapshot);
typedef void zbs_enable_zadp_mode_func(uint32_t mode);
typedef int zbs_read_ex_func(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                             uint64_t offset, uint32_t flags);
typedef int zbs_write_ex_func(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                              uint64_t offset, uint32_t flags);
typedef int zbs_volume_get_by_id_func(zbs_t zbs, const char* volume_id, zbs_volume* volume);
/* 0 fills *out; anything else is failure. Callers pass 0 for both uint32. */
typedef int zbs_get_written_area_func(zbs_t zbs, const char* volume_id, uint32_t, uint32_t,
                                      zbs_diff_t* out);
typedef int zbs_get_volume_diff_func(zbs_t zbs, const char* old_volume_id,
                                     const char* new_volume_id, uint32_t, uint32_t,
                                     zbs_diff_t* out);
typedef void zbs_destroy_diff_func(zbs_diff_t diff);
typedef zbs_diff_range zbs_diff_iter_deref_func(zbs_diff_iter_t it);
typedef zbs_diff_iter_t zbs_diff_iter_begin_func(zbs_diff_t diff, uint64_t block_size);
typedef zbs_diff_iter_t zbs_diff_iter_next_func(zbs_diff_iter_t it);
typedef zbs_diff_iter_t zbs_diff_iter_end_func(zbs_diff_t diff);

#define LIBZBS_DECLARE(name)        \
    typedef name##_func* name##_fn; \
    extern name##_func name;
LIBZBS_FUNCTIONS(LIBZBS_DECLARE)
#undef LIBZBS_DECLARE

#ifdef __cplusplus
}
#endif

#endif
