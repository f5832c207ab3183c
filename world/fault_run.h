// Backup chains under faults: what every committed set must give back, the
// checks that nothing is lost or left behind after a run that went wrong,
// jobs hurt at a chosen point while they run, and random edits of disks
// between backups. The fault matrix and the chain rounds build on it.
#ifndef WORLD_FAULT_RUN_H
#define WORLD_FAULT_RUN_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "smartx/servant/backup_sweep.h"
#include "world/backup_world.h"
#include "world/job_run.h"
#include "world/sim_vm.h"

namespace world {

// The seed of a randomized test: the variable's value when set, else one
// from the clock; printed either way so that a failing run can be repeated.
uint64_t test_seed(const char* variable);

// What the committed sets of some VMs hold, and the checks over them.
class Set_Book {
public:
    Set_Book(Backup_World& world, std::vector<VM> vms) : world_(world), vms_(std::move(vms)) {}

    // Before a backup run: the live disks are what its sets will hold
    // (nothing writes to them while it runs).
    void before_run();
    // After it: the rows it committed take those disks; their count.
    size_t after_run();

    // Every set that does not give back what its VM held (its image laid
    // from the pool onto what its base gave back); also rows no run of the
    // book made.
    std::vector<std::string> restore_problems() const;
    // What is left behind: pool files (temporary ones too) no row names when
    // pool is true, and snapshots of this system's naming that no VM's last
    // set is based on.
    std::vector<std::string> leftovers(bool pool) const;

    // The VM's rows in commit order; its last one (empty when none).
    std::vector<Object> rows_of(const VM& vm) const;
    Object last_row(const VM& vm) const;
    // What the set held, disk by disk.
    const std::vector<std::string>& held(const std::string& set_uuid) const {
        return held_.at(set_uuid);
    }
    const std::vector<VM>& vms() const { return vms_; }

private:
    Backup_World& world_;
    std::vector<VM> vms_;
    std::map<std::string, std::vector<std::string>> pending_;  // VM id -> disks
    std::map<std::string, std::vector<std::string>> held_;     // set uuid -> disks
    std::set<std::string> seen_;                               // row uuids
};

// job-engine on the definition; once it takes its stop signals and ready()
// holds (polled every 2 ms, for at most 60 s) it waits delay_ms and calls hurt(engine pid) on a
// thread of its own. ready may be empty: nothing is done to the run.
Job_Engine_Run run_hurt_job(const std::string& engine, const std::string& def_file,
                            const std::string& out_file,
                            const std::map<std::string, std::string>& env,
                            const std::function<bool()>& ready, int delay_ms,
                            const std::function<void(pid_t)>& hurt);

// True while a file is being written into the pool: a temporary name that
// is not among those found before.
bool pool_writing(const std::string& pool_dir, const std::vector<std::string>& before);
// SIGKILLs every servant of the engine; how many.
size_t kill_servants(pid_t engine);

// Where a run is hurt, and how. CLAIM: once a servant waits for its VM's
// claim lock (its output says so).
enum class Hurt_Point { START, TRANSFER, COMMIT, CLAIM };
enum class Hurt { NOTHING, KILL_SERVANTS, CANCEL, EXPIRE_TOKENS, RESTART_BACKUP_SERVER };

// The lock by which backups of a VM claim their start seconds, held by this
// process as a backup that never lets it go would hold it.
class Stuck_Claim {
public:
    // Throws std::runtime_error when the lock cannot be had.
    void hold(const std::string& vm_id);
    void release();

private:
    std::unique_ptr<smartx::Hold_Claim_Lock> lock_;
};

// Backups and restores of one VM's chain through job-engine (definitions and
// output under dir), each noted in a Set_Book.
class Job_Chain {
public:
    Job_Chain(Backup_World& world, const VM& vm, std::string engine, std::string dir)
        : world_(world),
          vm_(vm),
          engine_(std::move(engine)),
          dir_(std::move(dir)),
          book_(world, {vm}) {}

    // A backup at this level with env added to job-engine's environment,
    // hurt delay_ms after the point; the rows it committed.
    size_t backup(Job_Definition_Subtype level, const std::map<std::string, std::string>& env = {},
                  Hurt hurt = Hurt::NOTHING, Hurt_Point point = Hurt_Point::START,
                  int delay_ms = 0);
    // The set restored as a new VM of that name (skipped when a VM has it),
    // hurt delay_ms after ready holds: its disks, empty when the job did not
    // restore it.
    std::vector<std::string> restore(const std::string& set, const std::string& name,
                                     const std::map<std::string, std::string>& env = {},
                                     Hurt hurt = Hurt::NOTHING,
                                     const std::function<bool()>& ready = nullptr,
                                     int delay_ms = 0);

    std::string last_set() const;
    Object last_row() const { return book_.last_row(vm_); }
    Set_Book& book() { return book_; }
    const Job_Engine_Run& last_run() const { return last_; }

private:
    // job-engine on the definition, hurt once ready holds (when it does not
    // hurt, ready may be empty).
    void run(const std::string& def, const std::map<std::string, std::string>& env, Hurt hurt,
             const std::function<bool()>& ready, int delay_ms);

    Backup_World& world_;
    VM vm_;
    std::string engine_, dir_;
    Set_Book book_;
    Job_Engine_Run last_;
};

// Edits between backups, from one random source: writes of random bytes,
// runs of zeros, a few bytes changed inside a block, and writes past what
// was written so far (the written area grows towards the disk's end).
class Disk_Editor {
public:
    Disk_Editor(const Backup_World& world, uint64_t seed) : world_(world), rng_(seed) {}
    void edit(const VM& vm);
    uint64_t next(uint64_t below) { return below == 0 ? 0 : rng_() % below; }

private:
    const Backup_World& world_;
    std::mt19937_64 rng_;
    std::map<std::string, uint64_t> written_;  // disk id -> end of the written area
};

}  // namespace world

#endif
