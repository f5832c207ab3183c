// The demo's VMs: three VMs of one to three disks, partly written with data
// that does not compress away. The demo backs them up and restores them;
// the smartx-world program puts the same ones in front of a person.
#ifndef WORLD_DEMO_VMS_H
#define WORLD_DEMO_VMS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "world/sim_vm.h"

namespace world {

class Process_World;

// demo-web-01 (two disks), demo-db-01 (three), demo-app-01 (one), with
// stable ids.
std::vector<VM> demo_vms();
// Puts demo_vms() into the world's CloudTower and writes their data; them.
std::vector<VM> add_demo_vms(Process_World& world);

// n bytes that differ from block to block and do not compress to zeros;
// the same for the same seed.
std::string noise(size_t n, uint64_t seed);

}  // namespace world

#endif
