// The servant handler that backs up one VM per JSON-RPC request: it
// snapshots the VM, copies the planned ranges of each disk from ZBS into one
// image per disk in the storage pool, stores the VM description, commits
// the backup set to the catalog and answers {"code", sizes..., "vm_id"}.
//
// One handler serves one request at a time; everything that belongs to a
// request is reset when the next one starts.
#ifndef SMARTX_SERVANT_BACKUP_SERVANT_HANDLER_H
#define SMARTX_SERVANT_BACKUP_SERVANT_HANDLER_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/backupd_client.h"
#include "host/job/activity_map.h"
#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"
#include "host/smartx_backup_set.h"
#include "models/task/task_base.h"
#include "smartx/common/alert_codes.h"
#include "smartx/common/error.h"
#include "smartx/common/export.h"
#include "smartx/common/factory.h"
#include "smartx/common/param.h"
#include "smartx/common/progress_info.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/servant/backup_planner.h"
#include "smartx/servant/backup_sweep.h"
#include "smartx/servant/servant_common.h"
#include "smartx/zbs/zbs_wrapper.h"

class Client_IO_Ex;
class RESTful_Catalog_Operator;

namespace smartx {

struct Cluster;

class Backup_Servant_Handler : public Servant_Handler {
public:
    using Change_Block = smartx::Change_Block;

    // One disk to back up, planned from one disk of the new snapshot.
    struct Chunk {
        std::string remote_path;      // image file in the storage pool
        std::string volume_id;        // CloudTower id of the VM volume
        std::string volume_local_id;  // the disk's vm_volume_local_id
        std::string zbs_volume_id;    // the ZBS volume to read (LUN snapshot)
        int64_t size = 0;             // bytes of the disk
        int64_t used_size = 0;        // bytes planned for copying
        int total_blocks = 0;         // extents of the volume (extent planning)
        VM_Snapshot::Snapshot_VM_Disk snap;
        std::vector<Change_Block> blocks;  // ascending, inside the disk
        size_t processed_size = 0;         // bytes read so far
        size_t storage_size = 0;           // bytes the image takes in the pool
    };

    // The VM description file.
    struct Backuped_VM_Info {
        std::string remote_path;
        size_t src_size = 0;
        size_t storage_size = 0;
    };

    Backup_Servant_Handler();
    ~Backup_Servant_Handler() override;
    Backup_Servant_Handler(const Backup_Servant_Handler&) = delete;
    Backup_Servant_Handler& operator=(const Backup_Servant_Handler&) = delete;

protected:
    using Chunk_Ptr = std::shared_ptr<Chunk>;

    // ---- request, set-up and planning (backup_servant_handler.cpp) ----

    void reset_request() override;
    bool load_params(const json_spirit::Value& param, const json_spirit::Value& entry) override;
    std::string params_out_of_range() const override { return param_.out_of_range(); }
    bool job_init() override;
    bool init() override;
    void run() override;
    bool handle_backup_i();
    // Progress, snapshots and the reply once the backup steps are over.
    void finish_backup(bool succeeded);

    bool check_datastore();
    bool not_enough_space(const Cluster& cluster);
    bool get_last_catalog(json_spirit::Value& result);
    bool get_base_backup();
    bool check_snap();
    void change_backup_type(Alert_Code code);
    std::string create_snap_name() const;
    bool create_vm_snapshot();
    bool create_volume_snap();
    bool create_volume_incremental_snap();

    // Whether the request's entry asks for this disk.
    bool selected(const VM_Snapshot::Snapshot_VM_Disk& disk) const;
    const VM_Snapshot::Snapshot_VM_Disk* last_snap_disk(const std::string& volume_local_id) const;

    // The four planners: whole allocated extents or written areas, and their
    // incremental forms against the previous backup's snapshot.
    bool prepare_chunk();
    bool prepare_valid_chunk();
    bool prepare_incremental_chunk();
    bool prepare_incremental_valid_chunk();
    enum class Plan { EXTENTS, WRITTEN_AREA };
    bool prepare_chunks(Plan plan, bool incremental);
    bool plan_disk(Chunk& chunk, Plan plan, bool incremental);
    bool plan_full(Chunk& chunk, Plan plan);
    bool plan_changes(Chunk& chunk, Plan plan, const std::string& last_zbs_volume_id);

    void add_agent_alert(unsigned level, Alert_Code code, unsigned extra);
    // The job is being cancelled or aborted.
    bool is_stopped();

    // ---- leftovers of earlier runs and of this one (backup_leftovers.cpp) ----

    // Claims this run's start second (the stamp of its snapshot and files:
    // one no other file, snapshot or running backup of the VM has, waiting
    // for the clock to reach it) and holds it for other servants' sweeps;
    // false when it cannot (nothing may be made then).
    bool hold_run();
    // The VM's pool files (temporaries of gone writers reclaimed first);
    // false (logged) when they cannot be listed.
    bool list_vm_pool_files(Client_IO_Ex& io, std::vector<std::string>& files);
    // Removes the VM's snapshots this system took and its pool files that no
    // committed set needs and no running backup holds; failures are logged
    // and leave things as they are.
    void sweep_leftovers();
    // Every catalog row of the VM, in commit order.
    bool vm_catalog_rows(json_spirit::Array& rows);
    void sweep_snapshots(const std::vector<Item_Identity>& snapshots,
                         const json_spirit::Array& rows, const Live_Holds& holds);
    void sweep_pool_files(const json_spirit::Array& rows, const Live_Holds& holds);

    // ---- transfer, description and catalog (backup_transfer.cpp) ----

    bool backup_volumes();
    Task_Base::Error backup_volumes_i(const Chunk_Ptr& chunk);
    bool open_client_io(Client_IO_Ex& io, const char* remote_file);
    Task_Base::Error write_chunk(Client_IO_Ex& io, Chunk& chunk, bool& named);
    void discard_chunk_file(Client_IO_Ex& io, const Chunk& chunk, bool named);
    // Reads one piece of a block from ZBS into buffer; the count, or -1.
    ssize_t read_blocks(const Chunk& chunk, char* buffer, uint64_t length, uint64_t offset);
    bool backup_vm_info();
    bool save_catalog();
    // After a commit whose answer said nothing: COMMITTED when a look-up
    // lists the set, else UNSETTLED (commit_state_).
    void settle_commit(RESTful_Catalog_Operator& catalog);
    void dump_vm_base_to_set();
    bool delete_backup_piece();

    void notify_processed_bytes(Chunk& chunk, uint64_t n);
    void notify_unprocessed_bytes(Chunk& chunk);
    void notify_backup_succeed(const std::string& path);

    std::string file_name(bool empty, const std::string& name, int compression) const;

    time_t start_time_ = 0;
    std::string cluster_ip_;
    Backup_Param param_;
    Backup_Source_Entry backup_entry_;
    VM vm_;
    std::string last_snap_id_;
    std::string snap_name_;  // the name this run's snapshot takes
    Backup_Hold hold_;
    VM_Snapshot vm_snap_;
    VM_Snapshot last_vm_snap_;
    Error error_;
    SmartX_Backup_Set bset_;
    std::vector<Chunk_Ptr> chunks_;
    Backuped_VM_Info backup_vm_info_;
    std::vector<std::string> succeed_vols_;
    // What became of this run's commit. UNSETTLED: sent, and neither its
    // answer nor a look-up listing the set says the catalog holds it; then
    // nothing the set may need is removed, and the next run's sweep settles
    // it.
    enum class Commit_State { NOT_COMMITTED, COMMITTED, UNSETTLED };
    Commit_State commit_state_ = Commit_State::NOT_COMMITTED;
    std::atomic<bool> retry_{false};
    unsigned char bset_uuid_[16] = {};

    // Volumes (local ids) that have a piece in the base set: an incremental
    // backup copies a disk without one in full.
    std::set<std::string> base_volumes_;
};

}  // namespace smartx

SMARTX_EXPORT JSON_RPC_Handler* _make_SmartX_Backup_Servant_Handler(Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Backup_Servant_Handler(void* handler);

#endif
