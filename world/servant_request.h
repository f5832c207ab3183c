// Backup servant requests as the executor makes them, and their replies: in
// this process through the module's handler, or in servant processes the
// host's scheduler starts (the starter and its configuration installed with
// world/servant_setup.h).
#ifndef WORLD_SERVANT_REQUEST_H
#define WORLD_SERVANT_REQUEST_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/job/job_object.h"
#include "host/job_definition_subtype.h"
#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/restore_source_entry.h"
#include "world/sim_vm.h"

class Servant;

namespace world {

// What every backup request of a world carries besides its VM and level.
struct Request_Defaults {
    std::string pool_dir;
    std::string cluster_id;
    std::string def_id;
    std::string resource_uuid;
    std::string host_id = "host-backup-01";
    int backupd_port = 0;
    smartx::Login_Info login;
    std::string zbs_version;  // empty: the module's default
    int disks_per_vm = 2;
    std::string catalog_name = "nightly";
    std::string pool_uuid = "pool-uuid-1";
};

smartx::Backup_Param backup_param(const Request_Defaults& defaults, Job_Definition_Subtype type,
                                  const VM& vm);
// The entry naming the VM; with disk indexes, only those disks.
smartx::Backup_Source_Entry backup_entry(const VM& vm, const std::vector<size_t>& only = {});
// {"param", "entry"}: the params of one servant request.
Object backup_request(const smartx::Backup_Param& param, const smartx::Backup_Source_Entry& entry);

// Where a restore puts the VM: into the original VM, or as a new VM named
// new_name on the world's cluster, host and folder ("production").
struct Restore_Target {
    bool original = false;
    std::string new_name;
    bool start_vm = false;
    int32_t cpu_cores = 0;  // 0: the backed-up values
    int32_t cpu_count = 0;
    int64_t mem_mbytes = 0;
};

smartx::Restore_Param restore_param(const Request_Defaults& defaults, const Restore_Target& target);
// The entry restoring every disk of the VM (with disk indexes, only those)
// from the catalog set catalog_uuid.
smartx::Restore_Source_Entry restore_entry(const Fixtures& fixtures, const VM& vm,
                                           const std::string& catalog_uuid,
                                           const Restore_Target& target,
                                           const std::vector<size_t>& only = {});
Object restore_request(const smartx::Restore_Param& param,
                       const smartx::Restore_Source_Entry& entry);

using Handler_Ptr = std::unique_ptr<JSON_RPC_Handler, Gobble_Function>;
// The backup and restore servant handlers as the starter gets them from the
// module; throws when the factory gives none.
Handler_Ptr make_backup_handler();
Handler_Ptr make_restore_handler();

// The reply to one request: a result object, or an error.
struct Servant_Reply {
    int rc = -1;         // what handle_object returned (in process)
    size_t sent = 0;     // objects the handler sent
    bool error = false;  // the one object is an error
    int error_code = 0;
    std::string error_message;
    Value id;
    Object result;

    // The result's "code"; -100 when there is none.
    int code() const;
};

// One request (id 7) to a handler in this process, as the starter hands it over.
Servant_Reply call_servant(JSON_RPC_Handler& handler, const Value& params);

// One task of run_backup_servants: queued as "backup_vm_<name>", its servant
// started under the name.
struct Servant_Task {
    Object params;
    std::string name;
    std::string owner = "node-hz01-01";
    std::string id = std::string();  // tasks of one id never run at once
};

struct Servant_Run_Options {
    std::string method = "smartx.servant.backup";
    int parallelism = 1;
    int owner_limit = 0;  // 0: none
    bool global_mutex = false;
    // Called before each servant starts (its environment, say).
    std::function<void(Servant&, const Servant_Task&)> prepare;
};

struct Servant_Runs {
    std::vector<Servant_Reply> replies;                    // in the order they came
    std::map<std::string, std::vector<std::string>> logs;  // each servant's output, by name
};

// Runs the tasks through the host's scheduler of the method, each in
// a starter process; throws when the scheduler fails. A servant that sent no
// reply leaves none.
Servant_Runs run_backup_servants(const std::vector<Servant_Task>& tasks,
                                 const Servant_Run_Options& options = Servant_Run_Options());

}  // namespace world

#endif
