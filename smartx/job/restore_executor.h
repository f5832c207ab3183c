#ifndef SMARTX_JOB_RESTORE_EXECUTOR_H
#define SMARTX_JOB_RESTORE_EXECUTOR_H

#include <string>
#include <vector>

#include "host/servant/json_rpc.h"
#include "models/task/task_base.h"
#include "smartx/common/param.h"
#include "smartx/job/job_value.h"
#include "smartx/job/restore_source_entry.h"
#include "smartx/job/vm_job_executor_t.h"

class Servant_Task_Scheduler;

namespace smartx {
class Progress_Reporter;

// False (logged) when the platform's version cannot be read or is below minimum.
bool check_version(RESTful_Client& client, const char* minimum);

// What to do with an existing VM of the target's name ("duplicate_vm").
enum class Duplicate_VM_Type { IGNORE = 0, TIMESTAMP = 1, OVERWRITE = 2, RECYCLE = 3, UNKNOWN = 4 };
Duplicate_VM_Type duplicate_vm_type(const std::string& name);

class Restore_Executor : public VM_Job_Executor_T<Restore_Source, Restore_Options> {
public:
    static const char* const DEFAULT_NAME;

    explicit Restore_Executor(Job& job);
    ~Restore_Executor() override;

    bool execute_i(const Action_Options* opts) override;

protected:
    // One entry of the source, as the checks left it.
    struct Plan {
        enum Step {
            RESTORE,  // a new VM, nothing existing to touch
            REPLACE,  // an existing VM of the target's name goes first (overwrite, recycle)
            INTO_VM,  // into the source VM, powered off first
            SKIP,     // not restored, by the job's choice; not counted
            FAIL,     // cannot be restored; counted as failed
        };
        Restore_Source_Entry entry;
        Step step = RESTORE;
        Duplicate_VM_Type rule = Duplicate_VM_Type::IGNORE;
        std::string existing_vm_id;  // REPLACE: the VM that goes
        bool existing_running = false;
        std::string pool_uuid;  // where the set lies; empty when unknown
    };

    bool resolve_param(int vm_count, Restore_Param& param);
    // Checks every entry and decides what to do with each, changing nothing;
    // false when the job cannot run.
    bool plan_entries(const json_spirit::Array& entries, Progress_Reporter& reporter,
                      std::vector<Plan>& plans);
    // Decides what an existing VM of the target's name means for the plan.
    void handle_duplicate_vm(const VM& existing, Plan& plan);
    // The destructive steps, then one task per VM left.
    void run_plans(std::vector<Plan>& plans, Servant_Task_Scheduler& scheduler);
    bool clear_target(Plan& plan);
    Task_Base::Error handle_vm_result(const JSON_RPC_Object_Ptr& reply) {
        return take_vm_result(reply, "restore");
    }

    Restore_Param param_;
    bool protected_flag_ = false;
    // Source VM ids of the VMs counted in the outcome.
    std::vector<std::string> total_vms_;

private:
    void count_vm(const Plan& plan);
};

}  // namespace smartx

#endif
