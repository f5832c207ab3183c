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
};

// Where a restore of vm as a new VM named new_name (start_vm false) is
// killed: once its volumes are made, while it writes them, once its VM is
// made, and once the VM is checked and before its power step.
std::vector<Restore_Kill_Point> restore_kill_points(const VM& vm, const std::string& new_name);

// A restore whose VM's creation task never ends (until the simulator's
// switches are reset), reached once the servant has asked for the VM (arm
// clears CloudTower's request log).
Restore_Kill_Point endless_vm_task();

}  // namespace world

#endif
