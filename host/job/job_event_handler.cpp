#include "host/job/job_event_handler.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "host/job/job.h"

int Job_Event_Handler::handle_start_job() {
    store_activity_field(job_.activity().start_time, std::time(nullptr));
    // A stop asked for since the job was started stands.
    const Job_State now = load_job_state(job_.activity());
    if (now != JOB_STATE_CANCELING && now != JOB_STATE_ABORTING)
        job_.state(JOB_STATE_RUNNING);
    job_.report({Job_Report::START, 0, std::string()});
    return 0;
}

int Job_Event_Handler::handle_success() {
    job_.report({Job_Report::SUCCESS, 0, std::string()});
    return 0;
}

int Job_Event_Handler::handle_canceled() {
    job_.state(JOB_STATE_CANCELED);
    job_.report({Job_Report::CANCELED, 0, std::string()});
    return 0;
}

int Job_Event_Handler::handle_failure(int code, const char* fmt, ...) {
    std::string message;
    if (fmt) {
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        if (n > 0)
            message.assign(
                buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
    }
    job_.report({Job_Report::FAILURE, code, message});
    return 0;
}

int Job_Event_Handler::handle_vm_progress(const std::vector<VM_Job_Progress>& progresses,
                                          Job_State state, bool flush) {
    Job_Report r{Job_Report::VM_PROGRESS, static_cast<int>(state), std::string()};
    r.vms = progresses;
    r.flush = flush;
    job_.report(r);
    return 0;
}
