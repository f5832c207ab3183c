// Restores that go wrong: the points at which a restore servant is killed,
// and the check that nothing a restore made is left without its purpose once
// the next restore (or restore job) has run. The servant tests, the restore
// job tests and the fault matrix share them.
#ifndef WORLD_RESTORE_FAULTS_H
#define WORLD_RESTORE_FAULTS_H

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "world/backup_world.h"
#include "world/sim_vm.h"

namespace world {

// What CloudTower and the volume store hold at one moment.
struct Tower_Census {
    std::set<std::string> vms;          // ids
    std::set<std::string> volumes;      // ids
    std::set<std::string> store_files;  // names in the volume store
};
Tower_Census tower_census(Backup_World& world);

// What is there beside what was there before and has no purpose: VMs other
// than those kept, volumes no kept VM mounts, store files that are neither,
// and journals of restores (their runs gone or not); one line each.
std::vector<std::string> restore_leftovers(Backup_World& world, const Tower_Census& before,
                                           const std::vector<std::string>& kept_vms);

// The journals restores left under HOST_ROOT (names).
std::vector<std::string> restore_journals();

// Writes a journal of a restore that died long ago (as a host directory
// brought back from an older image, or copied from another host, holds one)
// naming the VM of that name and its volumes as made, and the CloudTower VM:
// none of them is the journal's to remove.
void plant_stale_journal(Backup_World& world, const std::string& vm_name);

// What was there before and is gone now: VMs and volumes, one line each.
std::vector<std::string> vanished(Backup_World& world, const Tower_Census& before);

// A point at which a restore is hurt (its servant killed, its job
// cancelled). env goes into the servant's
// environment and arm sets the simulators' switches before the run; reached
// holds once the servant is there (before: the census at the run's start).
// The switches are the simulators' own: reset them after the kill.
struct Restore_Kill_Point {
    const char* name;
    std::map<std::string, std::string> env;
    std::function<void(Backup_World&)> arm;
    std::function<bool(Backup_World&, const Tower_Census& before)> reached;
    // What CloudTower still does for the killed servant (answers it asked
    // for before it died) has happened: waited for before the next run.
    // Null: nothing comes.
    std::function<bool(Backup_World&, const Tower_Census& before)> landed = nullptr;
    // The killed servant's VM runs (its check started it): the next run
    // keeps it, and the VM is restored again under another name.
    bool vm_kept = false;
    // CloudTower makes a volume for the killed servant after its death,
    // whose answer the servant never got: only its name ties it to the run,
    // so it stays, reported, and the run's journal keeps the request open
    // until no answer can come any more.
    bool asked_volume_kept = false;
};

// Whether an alert the backup server got names the id.
bool alert_names(Backup_World& world, const std::string& id);

// Moves the last write of every restore journal back past the time in which
// its run's requests may still be carried out.
void end_answer_grace();
// Ends that grace and sweeps the journals as the next restore would; what
// the sweep kept and reported, "kind id" each.
std::vector<std::string> sweep_after_answer_grace(Backup_World& world);

// What is wrong with what a restore hurt at point left once the next
// restore has run beside it (kept: the VMs meant to be there): nothing may
// be left, but for the volume only a name ties to the hurt run (asked_
// volume_kept), which stays, reported, while the journal waits for the
// grace to end and then goes. One line each; empty when all is right.
std::vector<std::string> hurt_restore_problems(Backup_World& world, const Restore_Kill_Point& point,
                                               const Tower_Census& before,
                                               const std::vector<std::string>& kept);

// Waits (bounded) until what CloudTower does for a killed servant has
// happened; false when it never does.
bool wait_landed(Backup_World& world, const Restore_Kill_Point& point, const Tower_Census& before);

// Where a restore of vm as a new VM named new_name (start_vm false) is
// killed: while CloudTower answers its first volume (made after the
// servant's death), once its volumes are made, while it writes them, while
// CloudTower answers its VM (made after the death), once its VM is made, and
// once the VM is checked and before its power step.
std::vector<Restore_Kill_Point> restore_kill_points(const VM& vm, const std::string& new_name);

// A restore whose VM's creation task never ends (until the simulator's
// switches are reset), reached once the servant has asked for the VM (arm
// clears CloudTower's request log).
Restore_Kill_Point endless_vm_task();

}  // namespace world

#endif
