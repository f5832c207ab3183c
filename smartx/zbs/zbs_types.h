/* Types of the ZBS client library (libzbs.so.1) as the module passes them.
 * Plain C so that a library written in C can share them. */
#ifndef SMARTX_ZBS_ZBS_TYPES_H
#define SMARTX_ZBS_ZBS_TYPES_H

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

/* Records of the library that the module only passes through. */
struct zbs_pool;
struct zbs_snapshot;
struct zbs_volume;

#ifdef __cplusplus
}
#endif

#endif
