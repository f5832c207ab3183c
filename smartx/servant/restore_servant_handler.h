// The servant handler that restores one VM per JSON-RPC request: it loads
// the chain of backup sets chosen for the VM, creates one new ZBS volume per
// restored disk, writes the chain's images into them oldest first, then
// swaps them into the original VM or creates a new VM on them, checks that
// the VM runs and leaves it powered as the job asks. It answers {"code",
// "storage_size", "set_size", "source_size", "vm_id"}.
//
// What it makes is journaled before it is made (restore_leftovers.h), and
// what dead restores into the same CloudTower made goes before it starts.
// Once the restore has ended, its clean-up and power step are no longer cut
// short by the job's stop, only by a bound of their own.
//
// One handler serves one request at a time; everything that belongs to a
// request is reset when the next one starts.
#ifndef SMARTX_SERVANT_RESTORE_SERVANT_HANDLER_H
#define SMARTX_SERVANT_RESTORE_SERVANT_HANDLER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/backupd_client.h"
#include "host/image_format.h"
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
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/job/restore_source_entry.h"
#include "smartx/servant/restore_leftovers.h"
#include "smartx/servant/servant_common.h"
#include "smartx/zbs/zbs_wrapper.h"

class Client_IO_Ex;
class Image_Block_Reader;

namespace smartx {

class Restore_Servant_Handler : public Servant_Handler {
public:
    // One created volume and the images to write into it.
    struct Chunk {
        // One image file, applied in set order (oldest first).
        struct Restore_Set {
            std::string remote_file;
            std::string pool_uuid;
            size_t size = 0;
            size_t cluster_size = 0;
            // What the catalog row says the file is: whose image (set, disk,
            // volume size) and its bytes in the pool.
            qorm::Image_Identity identity;
            uint64_t stored_size = 0;
        };
        VM_Snapshot::Snapshot_VM_Disk* target_disk = nullptr;  // in new_disks_
        std::vector<Restore_Set> sets;
        std::string cluster_id;     // of the new volume
        std::string zbs_volume_id;  // found before the transfer
        zbs_t zbs = nullptr;        // the handle of the volume's cluster
        // Ranges written so far, [offset, end): zeros outside them are
        // already there (a new volume is all holes).
        std::map<uint64_t, uint64_t> written;
    };

    Restore_Servant_Handler();
    ~Restore_Servant_Handler() override;
    Restore_Servant_Handler(const Restore_Servant_Handler&) = delete;
    Restore_Servant_Handler& operator=(const Restore_Servant_Handler&) = delete;

protected:
    using Chunk_Ptr = std::shared_ptr<Chunk>;

    // ---- request, set-up, catalogs, volumes (restore_servant_handler.cpp) ----

    void reset_request() override;
    bool load_params(const json_spirit::Value& param, const json_spirit::Value& entry) override;
    std::string params_out_of_range() const override { return param_.out_of_range(); }
    bool job_init() override;
    bool init() override;
    void run() override;
    void release_zbs() override;
    bool handle_restore_i();
    void finish_restore(bool succeeded);

    bool load_catalogs(const std::string& resource_uuid, const std::string& uuid);
    // The sets form one chain ending at the set asked for.
    bool check_chain(const std::string& uuid) const;
    bool check_volumes();
    bool power_off_target();
    bool create_volumes();
    bool create_volume(Restore_Source_Entry::Volume& volume, const Backup_Piece& piece,
                       VM_Snapshot::Snapshot_VM_Disk disk);
    bool prepare_volumes();
    bool load_vm_setting(const Backup_Piece& piece);
    // Volume, ZBS volume and handle of each chunk, before any worker runs.
    bool resolve_chunks();
    // Deletes what this restore made: its new VM, then the volumes no other
    // VM mounts; a second call does nothing.
    void delete_residual_volumes();
    // Deletes a volume unless a VM still mounts it.
    bool delete_unmounted_volume(const std::string& id, const char* failure);
    // Journals that CloudTower refused the last create request of kind,
    // when its answer says so.
    void note_refusal(Restore_Made::Kind kind);
    // Journals what CloudTower has answered to make.
    void note_created(Message::Type type, const std::string& id, const std::string& task_id);
    // Alerts of what a clean-up keeps (leftover_alert in restore_leftovers.h).
    Leftover_Alert leftover_alert();

    void add_agent_alert(unsigned level, Alert_Code code,
                         const json_spirit::Object* detail = nullptr);
    bool is_stopped();
    bool original() const { return param_.original_restore; }

    // ---- transfer, VM, check and power (restore_transfer.cpp) ----

    bool restore_volumes();
    // Every image to restore is the one its catalog row names.
    bool check_images();
    Task_Base::Error restore_volume(const Chunk_Ptr& chunk);
    bool open_client_io(Client_IO_Ex& io, const Chunk::Restore_Set& set);
    // Opens the set's image and sets the reader to check it against the row.
    bool open_image(Client_IO_Ex& io, Image_Block_Reader& reader, const Chunk::Restore_Set& set);
    bool image_mismatch(const Chunk::Restore_Set& set, const std::string& why);
    Task_Base::Error restore_volume_i(Chunk& chunk, const Chunk::Restore_Set& set, Client_IO_Ex& io,
                                      Image_Block_Reader& reader);
    // One piece of an image into the chunk's volume; false stops the read.
    bool write_volume(Chunk& chunk, char* data, uint64_t length, uint64_t offset);
    bool write_zbs(Chunk& chunk, char* data, uint64_t length, uint64_t offset);

    bool update_vm();
    void update_network();
    void update_hardware();
    bool create_new_vm();
    bool update_existing_vm();
    // Puts the replaced volumes back; true when every disk has its old volume.
    bool restore_old_volumes();
    bool check_vm();
    // Starts the VM and finds it RUNNING (into target_vm_).
    bool starts_running(const std::string& id);
    bool check_new_vm();
    bool check_existing_vm();
    bool power_vm(bool on);
    void final_power(bool succeeded);
    const std::string& target_vm_id() const;

    void notify_processed_bytes(uint64_t n);
    void notify_restore_succeed();

    // A disk swapped into the original VM: the disk, and the volume it had.
    struct Swapped_Disk {
        std::string serial;
        std::string bus;
        std::string old_volume_id;
        std::string new_volume_id;
    };

    time_t start_time_ = 0;
    // Handles of the other clusters new volumes live in.
    std::map<std::string, Zbs_Handle> cluster_zbs_;
    std::string cluster_ip_;
    std::string new_vm_id_;
    std::vector<std::string> abandoned_volumes_;
    std::vector<Swapped_Disk> swapped_;
    uint64_t set_size_ = 0;
    uint64_t source_size_ = 0;
    std::atomic<uint64_t> storage_size_{0};
    VM src_vm_;
    bool src_vm_loaded_ = false;
    VM target_vm_;
    VM_Setting vm_setting_;
    Error smartx_result_;
    std::vector<Mount_Disk_Setting> disk_settings_;
    bool need_poweron_ = false;
    std::atomic<bool> retry_{false};
    std::vector<SmartX_Backup_Set> bsets_;
    std::map<std::string, VM_Snapshot::Snapshot_VM_Disk> new_disks_;
    std::map<std::string, Chunk_Ptr> chunk_map_;
    Restore_Param param_;
    Restore_Source_Entry restore_entry_;
    Restore_Journal journal_;
    // Something made went unjournaled: nothing more is made.
    bool journal_failed_ = false;
};

}  // namespace smartx

SMARTX_EXPORT JSON_RPC_Handler* _make_SmartX_Restore_Servant_Handler(Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Restore_Servant_Handler(void* handler);

#endif
