// A backup world of processes under a HOST_ROOT: the CloudTower and backup
// server simulators as programs of their own, the simulated ZBS library, the
// starter and the module installed where the host looks for them, and the
// host settings, key pair, servant configuration and pool list written:
// what job-engine and websvcs-agent run against. The demo runs its jobs in
// one; the smartx-world program leaves one running for a person.
#ifndef WORLD_PROCESS_WORLD_H
#define WORLD_PROCESS_WORLD_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/job_definition_subtype.h"
#include "host/json_spirit/value.h"
#include "world/sim_process.h"
#include "world/sim_vm.h"

namespace world {

// The built files a world of processes installs and runs.
struct Built_Files {
    std::string cloudtower_sim;
    std::string backup_server_sim;
    std::string zbs_library;
    std::string starter;
    std::string module;
    std::string fixtures_dir;  // the CloudTower fixtures (inventory.json, one file per kind)
};

// The ZBS version the world installs and its jobs name.
constexpr const char* world_zbs_version = "5.5.1";
// The CloudTower login the backup server hands out for job_instance.
constexpr const char* tower_user = "admin";
constexpr const char* tower_password = "admin123";
// The name a restored VM gets: the original's with this after it.
constexpr const char* restored_suffix = "-restored";

class Process_World {
public:
    // Makes everything under root, which must be HOST_ROOT and exist.
    // Detached: the simulators run in sessions of their own, their pids in
    // <root>/pids/<program> from the moment they start (stop_world ends
    // them). Throws std::runtime_error naming the part that failed, the
    // simulators already started stopped.
    Process_World(const std::string& root, const Built_Files& built, bool detached = false);
    // Stops the simulators unless kept.
    ~Process_World();
    Process_World(const Process_World&) = delete;
    Process_World& operator=(const Process_World&) = delete;

    // Leaves the simulators running past this object and this process.
    void keep();
    void stop();

    // Puts the VMs into CloudTower, which makes their volume files (sparse).
    void add_vms(const std::vector<VM>& vms);
    std::string volume_file(const Disk& disk) const {
        return store_dir_ + "/" + disk.zbs_volume_id;
    }

    // A GET or POST to the CloudTower simulator (its /__sim/ paths, say);
    // throws when it does not answer a JSON object (GET) or refuses (POST).
    Value tower_get(const std::string& path) const;
    void tower_post(const std::string& path, const Object& body) const;

    const std::string& root() const { return root_; }
    const std::string& pool_dir() const { return pool_dir_; }
    const std::string& store_dir() const { return store_dir_; }
    const std::string& log_dir() const { return log_dir_; }
    const std::string& zbs_library() const { return zbs_library_; }
    const std::string& starter() const { return starter_; }
    const std::string& servant_config() const { return servant_config_; }
    const std::string& public_key() const { return public_key_; }
    const Fixtures& fixtures() const { return fixtures_; }
    int tower_port() const { return tower_port_; }
    int backupd_port() const { return backupd_port_; }
    // What runs where: one line per part (the simulators, the ZBS library,
    // the servants, the pool).
    std::vector<std::string> summary() const;

private:
    std::unique_ptr<Sim_Process> start(const std::string& name,
                                       const std::vector<std::string>& args);
    void set_up(const Built_Files& built);

    std::string root_;
    std::string pool_dir_;
    std::string store_dir_;
    std::string log_dir_;
    std::string zbs_library_;
    std::string starter_;
    std::string servant_config_;
    std::string pool_list_;
    std::string public_key_;
    Fixtures fixtures_;
    bool detached_;
    std::unique_ptr<Sim_Process> tower_;
    std::unique_ptr<Sim_Process> backupd_;
    pid_t tower_pid_ = -1;
    pid_t backupd_pid_ = -1;
    int tower_port_ = 0;
    int backupd_port_ = 0;
};

// A Process_World was made in root.
bool is_world(const std::string& root);

// Ends every process a pid file of <root>/pids names that runs for this
// world (HOST_ROOT=root in its environment: a pid since taken by another
// process is left alone), SIGTERM then SIGKILL, and removes root. Refuses a
// directory no Process_World was made in. False with the reason in *error.
bool stop_world(const std::string& root, std::string* error);

// The options of the world's backup jobs; its restore jobs add theirs.
Object world_job_options();

// Every row of the "smartx" catalog of the backup server the host settings
// name, in commit order; throws when it cannot be read.
std::vector<Object> smartx_catalog_rows();
// The uuid of the newest set of each VM among rows in commit order, by VM
// id; throws naming a VM without one.
std::map<std::string, std::string> newest_sets(const std::vector<Object>& rows,
                                               const std::vector<VM>& vms);
// Writes a restore definition making each VM again from its set (by VM id)
// as a new VM "<name>-restored" (write_restore_definition).
void write_new_vm_restore(const std::string& file, const Fixtures& fixtures,
                          const std::vector<VM>& vms,
                          const std::map<std::string, std::string>& sets);

}  // namespace world

#endif
