#ifndef SMARTX_JOB_BACKUP_EXECUTOR_H
#define SMARTX_JOB_BACKUP_EXECUTOR_H

#include <set>
#include <string>
#include <unordered_map>

#include "host/client_io_options.h"
#include "host/pool_info.h"
#include "host/servant/json_rpc.h"
#include "models/task/task_base.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/job_value.h"
#include "smartx/job/vm_job_executor_t.h"

namespace smartx {
class Backup_Param;

// Fills the pool I/O options of a job: compression, overwrite, then what the
// definition, the host and the pool ask for. False when the pool's step fails.
bool set_io_options(int channels, const std::string& compression, int compression_level,
                    const Job_Definition& def, const Pool_Info& pool,
                    Client_IO_Base::Options& options);

class Backup_Executor : public VM_Job_Executor_T<Backup_Source, Backup_Options> {
public:
    static const char* const DEFAULT_NAME;

    struct VM_Simple {
        std::string id;
        std::string name;
        std::string cluster_id;
        std::string host;

        bool operator<(const VM_Simple& other) const { return id < other.id; }
    };
    typedef std::set<VM_Simple> VM_Set;

    explicit Backup_Executor(Job& job);
    ~Backup_Executor() override;

    bool execute_i(const Action_Options* opts) override;

protected:
    bool get_vms();
    bool resolve_param(Backup_Param& param);
    Task_Base::Error handle_vm_result(const JSON_RPC_Object_Ptr& reply) {
        return take_vm_result(reply, "backup");
    }

private:
    bool run_servants(Backup_Param& param);

    Pool_Info pool_info_;
    VM_Set vms_;
    std::unordered_map<std::string, Backup_Source_Entry> entry_map_;
};
}  // namespace smartx

#endif
