#include "host/job/job.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include <ace/Log_Msg.h>

#include "host/uuid.h"

const char* job_report_kind_name(Job_Report::Kind kind) {
    switch (kind) {
        case Job_Report::START:
            return "start";
        case Job_Report::SUCCESS:
            return "success";
        case Job_Report::CANCELED:
            return "canceled";
        case Job_Report::FAILURE:
            return "failure";
        case Job_Report::VM_PROGRESS:
            return "vm_progress";
    }
    return "unknown";
}

Job::Job(const Definition_Ptr& def)
    : def_(def), activity_fallback_(new Job_Activity()), activity_rec_(activity_fallback_.get()) {
    reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
    store_job_state(*activity_rec_, JOB_STATE_IDLE);
}

Job::~Job() = default;

void Job::intrusive_add_ref(Job* job) {
    if (job)
        job->add_reference();
}

void Job::intrusive_remove_ref(Job* job) {
    if (job)
        job->remove_reference();
}

int Job::open_activity() {
    if (activity_map_)
        return 0;
    if (!def_.get() || activity_map_.open(def_->id, true) != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open the activity record of job %C.\n"),
                   def_.get() ? def_->id.c_str() : ""));
        return -1;
    }
    Job_Activity* rec = activity_map_.get();
    // Carry over what was set before the mapping existed.
    store_job_state(*rec, load_job_state(*activity_rec_));
    uuid_from_string(def_->id, rec->def_id);
    rec->type = def_->type;
    rec->enabled = true;
    activity_rec_ = rec;
    return 0;
}

int Job::start(const Action_Options* opts) {
    if (open_activity() != 0)
        return -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_)
            return -1;
        running_ = true;
    }
    // A new run never inherits the last run's cancel or skip state.
    state_i(JOB_STATE_RUNNING);
    int rc = start_i(opts);
    if (rc != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        done_cv_.notify_all();
    }
    return rc;
}

bool Job::wait_for_completion(long timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeout_ms < 0) {
        done_cv_.wait(lock, [this] { return !running_; });
        return true;
    }
    return done_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return !running_; });
}

bool Job::is_running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void Job::set_report_listener(std::function<void(const Job_Report&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

std::vector<Job_Report> Job::reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

json_spirit::Object Job::results() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
}

std::vector<Job_Result::Restore_Path_Entry> Job::restore_paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restore_paths_;
}

void Job::set_job_thread() {}

int Job::state_i(Job_State s) {
    store_job_state(*activity_rec_, s);
    state_event_.signal();
    return 0;
}

int Job::state(Job_State s) {
    int rc = state_i(s);
    sync(nullptr);
    return rc;
}

int Job::sync(const Action_Options*) {
    return activity_map_ ? activity_map_.sync() : 0;
}

void Job::complete() {
    Job_Activity& act = *activity_rec_;
    switch (load_job_state(act)) {
        case JOB_STATE_IDLE:
        case JOB_STATE_SKIPPED:
            break;  // the frame already recorded this run's times
        case JOB_STATE_CANCELING:
        case JOB_STATE_CANCELED:
        case JOB_STATE_ABORTING:
            store_job_state(act, JOB_STATE_CANCELED);
            store_activity_field(act.last_run_time, std::time(nullptr));
            break;
        default:
            store_job_state(act, JOB_STATE_IDLE);
            store_activity_field(act.last_run_time, std::time(nullptr));
            break;
    }
    state_event_.signal();
    sync(nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    done_cv_.notify_all();
}

Log_Msg_Callback Job::log_msg_callback() {
    std::string name = def_.get() ? def_->name : std::string();
    return [name](const std::string& line) {
        ACE_DEBUG((LM_INFO, ACE_TEXT("[%C] %C\n"), name.c_str(), line.c_str()));
    };
}

void Job::set_result(const std::string& key, const json_spirit::Array& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_[key] = json_spirit::Value(value);
}

void Job::append_result(const Job_Result::Restore_Path_Entry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    restore_paths_.push_back(entry);
}

void Job::report(const Job_Report& r) {
    Job_Activity& act = *activity_rec_;
    switch (r.kind) {
        case Job_Report::START:
            act.code = 0;
            break;
        case Job_Report::SUCCESS:
        case Job_Report::CANCELED:
        case Job_Report::FAILURE: {
            act.code = r.code;
            const char* text = r.message.empty() ? job_report_kind_name(r.kind) : r.message.c_str();
            std::strncpy(act.message, text, sizeof act.message - 1);
            act.message[sizeof act.message - 1] = '\0';
            break;
        }
        case Job_Report::VM_PROGRESS:
            break;
    }
    std::function<void(const Job_Report&)> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(r);
        listener = listener_;
    }
    if (listener)
        listener(r);
}

int Job::stop_i(const Action_Options*) {
    return -1;
}
int Job::enable_i(const Action_Options*) {
    activity_rec_->enabled = true;
    return 0;
}
int Job::disable_i(const Action_Options*) {
    activity_rec_->enabled = false;
    return 0;
}
int Job::pause_i(const Action_Options*) {
    return -1;
}
int Job::resume_i(const Action_Options*) {
    return -1;
}
int Job::abort_i(const Action_Options*) {
    return -1;
}
int Job::switch_i(const Action_Options*) {
    return -1;
}
int Job::remove_i(bool, const Action_Options*) {
    return 0;
}
int Job::update_i(const Definition_Ptr& def) {
    def_ = def;
    return 0;
}
int Job::rollback_i() {
    return 0;
}
