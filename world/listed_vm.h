// VMs as the CloudTower simulator lists them now (a restored VM, the
// original after its disks were swapped), in the form the rest of the world
// takes: their disks' contents can be read and the VM backed up again.
#ifndef WORLD_LISTED_VM_H
#define WORLD_LISTED_VM_H

#include <cstdint>
#include <string>

#include "world/backup_world.h"
#include "world/sim_vm.h"

namespace world {

// The VM with its volume disks in boot order; throws when CloudTower has no
// such VM or a disk's volume or LUN is missing.
VM listed_vm(Backup_World& world, const std::string& vm_id);
// The id of the VM named name; empty when there is none.
std::string vm_id_named(Backup_World& world, const std::string& name);
// The same from an inventory as the simulator hands it out (records by
// kind), for a simulator run as a process.
VM listed_vm(const Object& inventory, const std::string& vm_id);
std::string vm_id_named(const Object& inventory, const std::string& name);
// Bytes of the file's data ranges (its holes take none). The file system's
// own extent blocks are not counted: they depend on how the file was laid.
uint64_t allocated_bytes(const std::string& path);

}  // namespace world

#endif
