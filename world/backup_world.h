// Everything a backup servant request meets, in this process: the CloudTower
// simulator (the shared fixtures plus the VMs added), the simulated ZBS
// library over the same volume store, a backup server with its catalog, the
// host settings and key pair pointing at it, a storage pool directory, and
// the job's activity and progress records. Tests and benchmarks build on it;
// the demo uses its parts with the simulators as processes.
#ifndef WORLD_BACKUP_WORLD_H
#define WORLD_BACKUP_WORLD_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/job/activity_map.h"
#include "sim/backup_server/backup_server.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "smartx/common/progress_info.h"
#include "world/servant_request.h"
#include "world/sim_vm.h"
#include "world/zbs_sim.h"

namespace world {

struct Backup_World_Options {
    std::string root;          // HOST_ROOT, made and set by the caller
    std::string fixtures_dir;  // the CloudTower fixtures (inventory.json, one file per kind)
    std::string zbs_library;   // the built libzbs.so.1, installed as version 5.5.1
    std::string store_parent;  // the volume store's parent; empty: root
};

class Backup_World {
public:
    // The job the world's requests belong to.
    static constexpr const char* def_id = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000d1";
    static constexpr const char* job_id = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000a1";
    static constexpr const char* job_uid = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000b1";
    static constexpr const char* resource_uuid = "0f0e0d0c-0b0a-4090-8070-605040302010";

    // Starts every part; throws std::runtime_error naming the one that failed.
    explicit Backup_World(const Backup_World_Options& options);
    ~Backup_World();
    Backup_World(const Backup_World&) = delete;
    Backup_World& operator=(const Backup_World&) = delete;

    // Puts the VMs into CloudTower (their volume files are made sparse) and
    // opens each one's progress record.
    void add_vms(const std::vector<VM>& vms);
    std::string volume_file(const Disk& disk) const;
    smartx::VM_Progress_Info& progress(const std::string& vm_id);

    // Data into a disk's live volume; throws when it cannot.
    void write_disk(const Disk& disk, uint64_t offset, const std::string& data) const;
    // Data scattered over every disk of the VM: the first 8 KiB, 5000 bytes
    // from the middle and the last 777 bytes, different on each disk.
    void fill_disks(const VM& vm) const;
    // Every disk's live volume, byte for byte.
    std::vector<std::string> disk_contents(const VM& vm) const;

    // A request's param for one of the VMs; request() the whole params.
    smartx::Backup_Param param(Job_Definition_Subtype type, const VM& vm) const {
        return backup_param(defaults_, type, vm);
    }
    Request_Defaults& defaults() { return defaults_; }

    std::vector<Object> catalog_rows() const { return backupd_->catalog_rows("smartx"); }
    std::vector<std::string> pool_files() const;
    // Ids of the VM snapshots CloudTower holds for the VM.
    std::vector<std::string> vm_snapshot_ids(const std::string& vm_id) const;
    zbs_sim_stats zbs_totals() const;
    // (level, code) of every alert the backup server got, in order.
    std::vector<std::pair<unsigned, unsigned>> alerts() const;

    // The data an image hands over, laid onto base (zeros by default); throws
    // when it does not read or holds data past size.
    std::string read_image(const std::string& file, uint64_t size,
                           std::string base = std::string()) const;
    // Every disk of the VM read back from the images of a chain of catalog
    // rows, oldest first.
    std::vector<std::string> restore(const VM& vm, const std::vector<Object>& chain) const;

    const std::string& root() const { return root_; }
    const std::string& pool_dir() const { return pool_dir_; }
    const std::string& store_dir() const { return store_dir_; }
    const Fixtures& fixtures() const { return fixtures_; }
    sim::cloudtower::Server& tower() { return *tower_; }
    sim::Backup_Server& backupd() { return *backupd_; }
    Zbs_Sim_Control& zbs() { return *zbs_; }
    Job_Activity* activity() { return activity_.get(); }

private:
    void tear_down();

    std::string root_;
    std::string pool_dir_;
    std::string store_dir_;
    Fixtures fixtures_;
    // Held for the world's life: the servant's unload then keeps the counters.
    std::unique_ptr<Zbs_Sim_Control> zbs_;
    std::unique_ptr<sim::Backup_Server> backupd_;
    std::unique_ptr<sim::cloudtower::Server> tower_;
    Job_Activity_Map activity_;
    std::map<std::string, std::unique_ptr<smartx::VM_Progress_Handle>> progress_;
    Request_Defaults defaults_;
};

// n bytes that differ from block to block, none of them zero.
std::string pattern(size_t n, char seed);

// The path of the piece of a catalog row holding the volume; empty when
// there is none.
std::string piece_path(const Object& row, const std::string& volume_local_id);
// The pieces of a catalog row that hold volumes (not the VM description).
std::vector<Object> volume_pieces(const Object& row);
// The row with the recorded size of its piece at path changed (as if the row
// had been written for the file now there); throws when there is no such piece.
Object with_piece_size(Object row, const std::string& path, uint64_t size);

}  // namespace world

#endif
