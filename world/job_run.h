// Backup jobs through the job-engine program against a backup world: the
// instance job-engine logs in as, the pool list, the starter and servant
// configuration, the job definition, and the engine as a child process.
// The backup job tests and the jobs benchmark run jobs the same way.
#ifndef WORLD_JOB_RUN_H
#define WORLD_JOB_RUN_H

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/job/job.h"
#include "host/json_spirit/value.h"
#include "world/backup_world.h"
#include "world/sim_vm.h"

namespace world {

// The backup-server instance the definition names and the pool it backs up to.
constexpr const char* job_instance = "5a1e0000-0000-4000-8000-00000000c70e";
constexpr const char* job_pool = "9f9f0000-0000-4000-8000-0000000000a1";
// The fixtures' second host of cluster-hz-01.
constexpr const char* second_host = "node-hz01-02";

// pools.json listing these pools ({"uuid", "name", "url"} each); its path.
// Throws when it cannot.
std::string write_pool_list(const Array& pools);

// pools.json listing these pools, each at <root>/pools, where the world's
// pool is linked as the resource's directory: the path a catalog row's
// pieces are found under. Throws when it cannot.
void write_world_pools(Backup_World& world, const std::vector<std::string>& pool_uuids);

// The servant configuration loading module for backups and restores; its
// path. Throws when it cannot.
std::string write_servant_handlers(const std::string& module);

// Makes the world ready for job-engine: the instance login, pools.json
// naming the world's pool (under <root>/pools), the starter (the built one)
// and the servant configuration loading module for backups and restores. Throws when it cannot.
void prepare_job_host(Backup_World& world, const std::string& starter, const std::string& module);

// Moves the VMs of these indexes onto host_name in CloudTower; false when
// the simulator refuses the records.
bool move_vms(Backup_World& world, const std::vector<VM>& vms, const std::set<size_t>& which,
              const std::string& host_name = second_host);

// Writes a definition backing up every VM at this level with these options.
void write_job_definition(const std::string& file, Job_Definition_Subtype level,
                          const std::vector<VM>& vms, const Object& options);

// The restore job's definition and the resource (a VM) it restores into.
constexpr const char* restore_def_id = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000d2";
constexpr const char* restore_target = "0f0e0d0c-0b0a-4090-8070-6050403020a0";

// Writes a restore definition of these entries (restore source entries'
// dumps) from the world's resource.
void write_restore_definition(const std::string& file, Job_Definition_Subtype subtype,
                              const Array& entries, const Object& options);

// Starts job-engine on the definition, its output (both streams) into
// out_file, with this process's environment, LD_LIBRARY_PATH=/usr/lib unless
// set, and env over them. -1 when it does not start.
pid_t start_job_engine(const std::string& engine, const std::string& def_file,
                       const std::string& out_file,
                       const std::map<std::string, std::string>& env = {}, long timeout_s = 200);

// A job whose executor a test or benchmark runs in its own thread: it starts
// nothing by itself.
class In_Process_Job : public Job {
public:
    explicit In_Process_Job(const Definition_Ptr& def) : Job(def) {}

protected:
    int start_i(const Action_Options*) override { return 0; }
    void* run_i(const Action_Options*) override { return nullptr; }
};

struct Job_Engine_Run {
    int exit_code = -1;
    std::string output;
    Object results;       // of its "results:" line
    Array restore_paths;  // of its "restore paths:" line
    Array histories() const;
    // Times what stands in the output.
    size_t count(const std::string& what) const;
};

// Waits for the engine and reads what it wrote.
Job_Engine_Run finish_job_engine(pid_t pid, const std::string& out_file);

// Processes alive (not zombies) running program (the file name of their
// executable) whose parent is parent, by reading /proc.
std::vector<pid_t> live_children(pid_t parent, const std::string& program);

}  // namespace world

#endif
