// VMs with disks of chosen sizes for the CloudTower simulator, made from the
// records of the shared fixtures (tests/fixtures/cloudtower): the servant
// tests, the backup benchmark and the demo put the same kind of VM in front
// of the module.
#ifndef WORLD_SIM_VM_H
#define WORLD_SIM_VM_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/json_spirit/value.h"

namespace world {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

// One disk: its CloudTower records' ids and the ZBS volume (the file named
// zbs_volume_id in the volume store) that holds its data.
struct Disk {
    std::string name;
    uint64_t size = 0;
    std::string disk_id;
    std::string volume_id;
    std::string volume_local_id;
    std::string lun_id;
    std::string lun_local_id;
    std::string zbs_volume_id;
    std::string serial;
};

struct VM {
    std::string id;
    std::string name;
    std::string local_id;
    std::string description;
    std::string cdrom_id;
    // RUNNING with its VM tools (file-system consistent snapshots work);
    // otherwise stopped, as the fixture VM it is made from.
    bool running = false;
    std::vector<Disk> disks;
};

// A VM whose disks have the given sizes, named "<name>-disk<n>". Ids are
// unique per (tag, number): VM 0 of tag "bk" is "cl0bkvm000000000000000001",
// its first disk "cl0bkdisk0000000000000001"; disk numbers start at 1.
VM numbered_vm(const std::string& tag, uint64_t number, const std::string& name,
               const std::vector<uint64_t>& sizes, const std::string& description);

// A byte range of one disk of a VM (an index into its disks).
struct Disk_Range {
    size_t disk = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Bytes of the unit-sized blocks (ZBS blocks, extents) the ranges touch, each
// block counted once and cut at its disk's end: the most an incremental
// backup of those changes needs to read.
uint64_t touched_block_bytes(const VM& vm, const std::vector<Disk_Range>& ranges, uint64_t unit);

// The string member key of an object; empty for anything else.
std::string text_of(const Value& v, const std::string& key);
// The member of an object; null for anything else.
const Value& member_of(const Value& v, const std::string& key);

Object ref(const std::string& id, const std::string& name);

// The fixture files of one directory, one file per record kind.
class Fixtures {
public:
    explicit Fixtures(std::string dir) : dir_(std::move(dir)) {}

    const std::string& dir() const { return dir_; }
    // Every record of a kind; throws when the file does not read.
    Array all(const std::string& kind) const;
    // The record of a kind with this "name" (a label: this "key"); throws
    // when there is none.
    Object record(const std::string& kind, const std::string& name) const;
    // {"id", "name"} of that record.
    Object reference(const std::string& kind, const std::string& name) const;

private:
    std::string dir_;
};

// The records that put the VMs on cluster-hz-01 and host node-hz01-01 (the
// fixture VM "test-01" they are made from), in folder "production", with
// label "env", each disk a VIRTIO disk on a thin volume of its size, and a
// CD-ROM after the first disk: one (kind, records) per kind, in the order to
// put them into the simulator.
std::vector<std::pair<std::string, Array>> vm_records(const Fixtures& fixtures,
                                                      const std::vector<VM>& vms);

}  // namespace world

#endif
