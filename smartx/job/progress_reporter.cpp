#include "smartx/job/progress_reporter.h"

#include <fcntl.h>

#include <ace/Log_Msg.h>

#include <new>

#include "host/job/job_event_handler.h"
#include "host/job/job_types.h"
#include "qorm/check.h"

namespace smartx {
namespace {
const int PROGRESS_FILE_FLAGS = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
const mode_t PROGRESS_DIR_MODE = 0750;
const int HANDLER_FAILURE = -1;
}  // namespace

Progress_Reporter::Progress_Reporter(Job_Event_Handler& event_handler, const Job_Activity& job_act)
    : event_handler_(event_handler), job_act_(job_act) {}

Progress_Reporter::~Progress_Reporter() = default;

bool Progress_Reporter::add_vm(const std::string& vm_id, const std::string& vm_name) {
    QORM_CHECK_TRUE_RETURN(progress_handles_.empty(), false);
    QORM_CHECK_NOT_EMPTY_RETURN(vm_id, false);
    QORM_CHECK_NOT_EMPTY_RETURN(vm_name, false);
    VM_Job_Progress progress;
    progress.uuid = vm_id;
    progress.name = vm_name;
    vm_progresses_.push_back(std::move(progress));
    return true;
}

bool Progress_Reporter::activate(const std::string& job_def_id) {
    QORM_CHECK_TRUE_RETURN(progress_handles_.empty(), false);
    QORM_CHECK_NOT_EMPTY_RETURN(job_def_id, false);
    progress_handles_.resize(vm_progresses_.size());
    for (size_t i = 0; i < vm_progresses_.size(); ++i) {
        const VM_Job_Progress& v = vm_progresses_[i];
        QORM_CHECK_NOT_EMPTY_RETURN(v.uuid, false);
        std::unique_ptr<VM_Progress_Handle> handle(new (std::nothrow) VM_Progress_Handle);
        QORM_CHECK_NOT_NULL_RETURN(handle, false);
        // The record's open refuses ids that are not one directory entry.
        if (handle->open(job_def_id, v.uuid, PROGRESS_FILE_FLAGS, PROGRESS_DIR_MODE) != 0) {
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to activate reporter, job_def_id: %C, VM id: %C.\n"),
                 job_def_id.c_str(), v.uuid.c_str()),
                false);
        }
        QORM_CHECK_RETURN(static_cast<bool>(*handle), "*handle is NULL", false);
        progress_handles_[i] = std::move(handle);
    }
    return true;
}

bool Progress_Reporter::update_i(bool flush) {
    for (size_t i = 0; i < progress_handles_.size(); ++i) {
        std::unique_ptr<VM_Progress_Handle>& handle = progress_handles_[i];
        if (!handle)
            continue;
        // The servant stores these fields while we read them: one atomic load each.
        const VM_Progress_Info& info = *handle->get();
        VM_Job_Progress& v = vm_progresses_[i];
        v.processed_bytes = info.processed_bytes.load();
        v.processed_virtual_disk_count = info.processed_virtual_disk_count.load();
        v.total_bytes = info.total_bytes.load();
        v.virtual_disk_count = info.virtual_disk_count.load();
        v.start_time = static_cast<time_t>(info.start_time.load());
        v.end_time = static_cast<time_t>(info.end_time.load());
        v.state = static_cast<VM_Job_Progress::VM_State>(info.state.load());
        // A finished VM's last values stand; its mapping is no longer needed.
        if (v.state == VM_Job_Progress::STATE_COMPLETED || v.state == VM_Job_Progress::STATE_FAILED)
            handle.reset();
    }
    return event_handler_.handle_vm_progress(vm_progresses_, load_job_state(job_act_), flush) !=
           HANDLER_FAILURE;
}
}  // namespace smartx
