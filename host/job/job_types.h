// Job states, definition types and the shared per-job activity record.
#ifndef HOST_JOB_JOB_TYPES_H
#define HOST_JOB_JOB_TYPES_H

#include <cstddef>
#include <cstdint>
#include <ctime>

enum Job_State : int32_t {
    JOB_STATE_NONE = 0,
    JOB_STATE_IDLE = 1,
    JOB_STATE_RUNNING = 3,
    JOB_STATE_PAUSING = 4,
    JOB_STATE_COMPLETING = 6,
    JOB_STATE_COMPLETED = 7,
    JOB_STATE_CANCELING = 8,
    JOB_STATE_CANCELED = 9,
    JOB_STATE_ERROR = 10,
    JOB_STATE_SKIPPED = 17,
    JOB_STATE_ABORTING = 20,
    JOB_STATE_SWITCHING = 23,
};

enum Job_Definition_Type : int32_t {
    JOB_DEFINITION_NONE = 0,
    JOB_DEFINITION_BACKUP = 1,
    JOB_DEFINITION_RESTORE = 2,
    JOB_DEFINITION_STANDBY = 3,
    JOB_DEFINITION_STORAGE = 4,
};

// The record other processes map: 4096 bytes, native (little-endian) layout.
// "message" holds the text of the last closing report, NUL-terminated.
struct Job_Activity {
    enum { MAGIC = 0x4a414354u /* "JACT" */, VERSION = 1, FILE_SIZE = 4096 };

    uint32_t magic;
    uint32_t version;
    unsigned char id[16];
    unsigned char def_id[16];
    unsigned char uid[16];
    Job_Definition_Type type;
    bool enabled;
    Job_State state;
    time_t last_run_time;
    time_t next_run_time;
    time_t start_time;
    uint64_t size;
    uint64_t set_size;
    uint64_t set_storage_size;
    int progress;
    uint64_t processed_size;
    uint64_t speed;
    int code;
    char message[FILE_SIZE - 148];
};

static_assert(offsetof(Job_Activity, id) == 8, "activity layout");
static_assert(offsetof(Job_Activity, def_id) == 24, "activity layout");
static_assert(offsetof(Job_Activity, uid) == 40, "activity layout");
static_assert(offsetof(Job_Activity, type) == 56, "activity layout");
static_assert(offsetof(Job_Activity, enabled) == 60, "activity layout");
static_assert(offsetof(Job_Activity, state) == 64, "activity layout");
static_assert(offsetof(Job_Activity, last_run_time) == 72, "activity layout");
static_assert(offsetof(Job_Activity, start_time) == 88, "activity layout");
static_assert(offsetof(Job_Activity, size) == 96, "activity layout");
static_assert(offsetof(Job_Activity, progress) == 120, "activity layout");
static_assert(offsetof(Job_Activity, processed_size) == 128, "activity layout");
static_assert(offsetof(Job_Activity, code) == 144, "activity layout");
static_assert(offsetof(Job_Activity, message) == 148, "activity layout");
static_assert(sizeof(Job_Activity) == Job_Activity::FILE_SIZE, "activity size");

// The state is changed by the engine's control calls (and other processes)
// while the run thread polls it: one atomic load or store each.
inline Job_State load_job_state(const Job_Activity& act) {
    Job_State s;
    __atomic_load(&act.state, &s, __ATOMIC_ACQUIRE);
    return s;
}

inline void store_job_state(Job_Activity& act, Job_State s) {
    __atomic_store(&act.state, &s, __ATOMIC_RELEASE);
}

// The other fields another process reads while a run goes on (its times,
// later its sizes and progress): one atomic load or store each as well.
template <class T>
T load_activity_field(const T& field) {
    T v;
    __atomic_load(&field, &v, __ATOMIC_ACQUIRE);
    return v;
}

template <class T>
void store_activity_field(T& field, T v) {
    __atomic_store(&field, &v, __ATOMIC_RELEASE);
}

// Where the activity record of a job definition lives (directory template;
// the definition id and "activity" complete the path).
#define JOB_ACTIVITY_DIR "/var/opt/velmora/tarnvik3/$COMPONENT/act/job"
#define JOB_ACTIVITY_BASENAME "activity"

#endif
