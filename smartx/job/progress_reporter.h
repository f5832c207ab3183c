// Carries per-VM progress from the servant processes (one mapped record
// file per VM) to the job's event handler.
#ifndef SMARTX_JOB_PROGRESS_REPORTER_H
#define SMARTX_JOB_PROGRESS_REPORTER_H

#include <memory>
#include <string>
#include <vector>

#include "host/vm_job_progress.h"
#include "smartx/common/progress_info.h"

class Job_Event_Handler;
struct Job_Activity;

namespace smartx {
class Progress_Reporter {
public:
    Progress_Reporter(Job_Event_Handler& event_handler, const Job_Activity& job_act);
    ~Progress_Reporter();
    Progress_Reporter(const Progress_Reporter&) = delete;
    Progress_Reporter& operator=(const Progress_Reporter&) = delete;

    // Only before activate.
    bool add_vm(const std::string& vm_id, const std::string& vm_name);
    // Creates (truncates) each VM's progress file under the job definition.
    bool activate(const std::string& job_def_id);
    bool update() { return update_i(false); }
    bool flush() { return update_i(true); }

    const std::vector<VM_Job_Progress>& vm_progresses() const { return vm_progresses_; }

private:
    bool update_i(bool flush);

    Job_Event_Handler& event_handler_;
    const Job_Activity& job_act_;
    std::vector<VM_Job_Progress> vm_progresses_;
    // Same index as vm_progresses_; null once that VM has finished.
    std::vector<std::unique_ptr<VM_Progress_Handle>> progress_handles_;
};
}  // namespace smartx

#endif
