/* Test controls of the simulated ZBS client library (libzbs.so.1).
 *
 * The module never binds these; tests reach them with dlsym on the loaded
 * library (see world/zbs_sim.h). Fault switches are process-wide and
 * each armed fault fires once; they start from the ZBS_SIM_* environment
 * when the library is loaded (sim/README.md). */
#ifndef SIM_ZBS_ZBS_SIM_H
#define SIM_ZBS_ZBS_SIM_H

#include <stdint.h>

#include "host/zbs/libzbs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error code of an injected fault. */
#define ZBS_SIM_FAULT_CODE (-5) /* -EIO */

struct zbs_sim_stats {
    uint64_t calls;         /* every call made with the handle */
    uint64_t failed;        /* calls answered with an error */
    uint64_t reads;         /* zbs_read and zbs_read_ex calls */
    uint64_t writes;        /* zbs_write and zbs_write_ex calls */
    uint64_t bytes_read;    /* bytes of successful reads */
    uint64_t bytes_written; /* bytes of successful writes */
};

/* What zbs_volume_get_by_id fills in. */
struct zbs_volume {
    uint64_t size;
};

/* The next n reads, writes, queries (extent maps, written areas, volume
 * differences) or handle creations fail; 0 disarms. */
void zbs_sim_fail_reads(uint32_t n);
void zbs_sim_fail_writes(uint32_t n);
void zbs_sim_fail_queries(uint32_t n);
void zbs_sim_fail_create(uint32_t n);
/* Every later call sleeps this long first. */
void zbs_sim_set_delay_ms(uint32_t ms);
/* Appends one line per call to the file; NULL or "" stops logging.
 * 0, or a negative errno when the file cannot be opened. */
int zbs_sim_set_log(const char* path);
/* Switches off, totals zero, log closed. */
void zbs_sim_reset(void);

/* Counters of one live handle: 0, or -EINVAL for an unknown handle. */
int zbs_sim_handle_stats(zbs_t zbs, struct zbs_sim_stats* out);
/* Sums over every handle since the library was loaded or reset. */
void zbs_sim_total_stats(struct zbs_sim_stats* out);
/* The time-out a handle was created with, or -1 for an unknown handle. */
int zbs_sim_handle_timeout(zbs_t zbs);
/* Handles created and not destroyed. */
uint32_t zbs_sim_live_handles(void);
/* Diffs (written areas, volume differences) made and not destroyed. */
uint32_t zbs_sim_live_diffs(void);

#ifdef __cplusplus
}
#endif

#endif
