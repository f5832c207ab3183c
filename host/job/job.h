// The host's job: one per job definition in the engine. A module derives
// from it, implements start_i/run_i and the control slots, and reports the
// outcome of each run through a Job_Event_Handler.
#ifndef HOST_JOB_JOB_H
#define HOST_JOB_JOB_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ace/Auto_Event.h>
#include <ace/Event_Handler.h>
#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include "host/job/activity_map.h"
#include "host/job/job_definition.h"
#include "host/json_spirit/value.h"
#include "host/vm_job_progress.h"

typedef json_spirit::Object Action_Options;
typedef std::function<void(const std::string& line)> Log_Msg_Callback;

// One report a job made to its event handler. VM_PROGRESS carries the job
// state as its code, the per-VM list, and whether it is the run's last.
struct Job_Report {
    enum Kind { START, SUCCESS, CANCELED, FAILURE, VM_PROGRESS };
    Kind kind;
    int code;
    std::string message;
    std::vector<VM_Job_Progress> vms = {};
    bool flush = false;
};
const char* job_report_kind_name(Job_Report::Kind kind);

namespace Job_Result {
struct Restore_Path_Entry {
    std::string vm_id;
    std::string vm_name;
    std::string path;
};
}  // namespace Job_Result

class Job : public ACE_Event_Handler {
public:
    typedef ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex> Definition_Ptr;

    explicit Job(const Definition_Ptr& def);
    ~Job() override;

    static void intrusive_add_ref(Job* job);
    static void intrusive_remove_ref(Job* job);

    // --- engine side ---
    // Maps (creating) the activity record; start() does it when needed.
    int open_activity();
    int start(const Action_Options* opts = nullptr);
    int stop(const Action_Options* opts = nullptr) { return stop_i(opts); }
    int pause(const Action_Options* opts = nullptr) { return pause_i(opts); }
    int resume(const Action_Options* opts = nullptr) { return resume_i(opts); }
    int abort(const Action_Options* opts) { return abort_i(opts); }
    int switch_job(const Action_Options* opts = nullptr) { return switch_i(opts); }
    int remove(bool purge, const Action_Options* opts = nullptr) { return remove_i(purge, opts); }
    int update(const Definition_Ptr& def) { return update_i(def); }
    int rollback() { return rollback_i(); }
    int setup_ondemand() { return setup_ondemand_i(); }
    // Blocks until the current run has completed; false on time-out
    // (timeout_ms < 0 waits forever).
    bool wait_for_completion(long timeout_ms = -1);
    bool is_running() const;
    void set_report_listener(std::function<void(const Job_Report&)> listener);
    std::vector<Job_Report> reports() const;
    json_spirit::Object results() const;
    std::vector<Job_Result::Restore_Path_Entry> restore_paths() const;

    // --- job side ---
    Job_Definition& definition() const { return *def_.get(); }
    Job_Activity& activity() { return *activity_rec_; }
    const Job_Activity& activity() const { return *activity_rec_; }
    void set_job_thread();
    int state_i(Job_State s);
    int state(Job_State s);
    int sync(const Action_Options* opts);
    void complete();
    ACE_Auto_Event& state_event() { return state_event_; }
    Log_Msg_Callback log_msg_callback();
    void set_result(const std::string& key, const json_spirit::Array& value);
    void append_result(const Job_Result::Restore_Path_Entry& entry);
    void report(const Job_Report& r);

protected:
    virtual int setup_ondemand_by_job(const Action_Options*) { return 0; }
    virtual int start_i(const Action_Options* opts) = 0;
    virtual int stop_i(const Action_Options* opts);
    virtual int enable_i(const Action_Options* opts);
    virtual int disable_i(const Action_Options* opts);
    virtual int pause_i(const Action_Options* opts);
    virtual int resume_i(const Action_Options* opts);
    virtual int abort_i(const Action_Options* opts);
    virtual int switch_i(const Action_Options* opts);
    virtual int remove_i(bool purge, const Action_Options* opts);
    virtual int update_i(const Definition_Ptr& def);
    virtual int rollback_i();
    virtual bool can_update_i() { return true; }
    virtual int setup_ondemand_i() { return 0; }
    virtual void* run_i(const Action_Options* opts) = 0;

private:
    Definition_Ptr def_;
    Job_Activity_Map activity_map_;
    std::unique_ptr<Job_Activity> activity_fallback_;
    Job_Activity* activity_rec_;
    ACE_Auto_Event state_event_;

    mutable std::mutex mutex_;
    std::condition_variable done_cv_;
    bool running_ = false;
    std::function<void(const Job_Report&)> listener_;
    std::vector<Job_Report> reports_;
    json_spirit::Object results_;
    std::vector<Job_Result::Restore_Path_Entry> restore_paths_;
};

#endif
