// One VM's progress as the job engine reports it for a running job.
#ifndef HOST_VM_JOB_PROGRESS_H
#define HOST_VM_JOB_PROGRESS_H

#include <cstdint>
#include <ctime>
#include <string>

struct VM_Job_Progress {
    enum VM_State {
        STATE_PENDING = 0,
        STATE_RUNNING = 1,
        STATE_COMPLETED = 2,
        STATE_FAILED = 3,
        STATE_SKIPPED = 4,
    };

    std::string uuid;
    std::string name;
    std::string status;
    std::string title;
    uint64_t total_bytes = 0;
    uint64_t processed_bytes = 0;
    int virtual_disk_count = 0;
    int processed_virtual_disk_count = 0;
    time_t start_time = 0;
    time_t end_time = 0;
    VM_State state = STATE_PENDING;
};

#endif
