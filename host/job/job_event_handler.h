// Where a job's executor reports a run's start, its end and VM progress.
#ifndef HOST_JOB_JOB_EVENT_HANDLER_H
#define HOST_JOB_JOB_EVENT_HANDLER_H

#include <vector>

#include "host/job/job_types.h"
#include "host/vm_job_progress.h"

class Job;

class Job_Event_Handler {
public:
    explicit Job_Event_Handler(Job& job) : job_(job) {}
    virtual ~Job_Event_Handler() = default;

    int handle_start_job();
    int handle_success();
    int handle_canceled();
    // fmt may be null (no message).
    int handle_failure(int code, const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    // The whole per-VM list as it stands, the job's state, and whether this is
    // the run's last word on it. -1 is a failure.
    virtual int handle_vm_progress(const std::vector<VM_Job_Progress>& progresses, Job_State state,
                                   bool flush);

protected:
    Job& job_;
};

#endif
