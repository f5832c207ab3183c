#ifndef SMARTX_JOB_BACKUP_EXECUTOR_H
#define SMARTX_JOB_BACKUP_EXECUTOR_H

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>

#include "host/client_io_options.h"
#include "host/pool_info.h"
#include "host/servant/json_rpc.h"
#include "job/job_executor_t.h"
#include "models/task/task_base.h"
#include "smartx/common/history.h"
#include "smartx/common/login_info.h"
#include "smartx/common/restful_client.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/job_value.h"

namespace smartx {
class Backup_Param;

// Fills the pool I/O options of a job: compression, overwrite, then what the
// definition, the host and the pool ask for. False when the pool's step fails.
bool set_io_options(int channels, const std::string& compression, int compression_level,
                    const Job_Definition& def, const Pool_Info& pool,
                    Client_IO_Base::Options& options);

class Backup_Executor : public Job_Executor_T<Backup_Source, Backup_Options> {
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
    typedef std::unordered_map<std::string, VM_History> VM_Histories;

    explicit Backup_Executor(Job& job);
    ~Backup_Executor() override;

    bool execute_i(const Action_Options* opts) override;

protected:
    bool login_cluster();
    bool get_vms();
    bool resolve_param(Backup_Param& param);
    bool is_canceled() const;
    Task_Base::Error handle_vm_result(const JSON_RPC_Object_Ptr& reply);

private:
    bool run_servants(Backup_Param& param);
    void finish_run();

    Login_Info login_info_;
    Pool_Info pool_info_;
    RESTful_Client client_;
    VM_Histories histories_;
    VM_Set vms_;
    std::unordered_map<std::string, Backup_Source_Entry> entry_map_;
    std::atomic<uint64_t> storage_size_{0};
    std::atomic<uint64_t> source_size_{0};
    std::atomic<uint64_t> set_size_{0};
    std::atomic<int> succeeded_vm_{0};
};
}  // namespace smartx

#endif
