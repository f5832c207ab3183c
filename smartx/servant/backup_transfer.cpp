// The second half of a backup: copying the planned ranges into images, the
// VM description, the catalog record, and the removal of what a failed
// backup wrote.
#include <algorithm>
#include <climits>
#include <cstring>
#include <sstream>

#include <ace/Log_Msg.h>

#include "host/catalog.h"
#include "host/client_io.h"
#include "host/image_block_writer.h"
#include "host/json_spirit/json_writer.h"
#include "host/uuid.h"
#include "models/task/thread_task_scheduler.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "smartx/common/vm_setting.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/backup_servant_handler.h"
#include "smartx/servant/zbs_call.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {

namespace {
// Image layout: 512-byte sectors, IMAGE_BLOCK_SIZE blocks, CRC-32C records,
// stored as is.
constexpr uint32_t IMAGE_SECTOR_SIZE = 512;
constexpr uint32_t IMAGE_CHECKSUM = 1;
constexpr uint32_t IMAGE_COMPRESSION = 0;

// Blocks read from ZBS ahead of the one being written, per disk.
constexpr unsigned READ_AHEAD = 4;

template <class T>
uint64_t non_negative(T v) {
    return v > 0 ? static_cast<uint64_t>(v) : 0;
}

int to_int(uint32_t v) {
    return v > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}
}  // namespace

// ---- volumes ----

bool Backup_Servant_Handler::backup_volumes() {
    uint64_t total = 0;
    for (const Chunk_Ptr& c : chunks_)
        if (c)
            total += non_negative(c->used_size);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        progress_->virtual_disk_count = static_cast<int32_t>(chunks_.size());
        progress_->total_bytes = total;
        progress_->state = VM_Job_Progress::STATE_RUNNING;
    }

    const bool waited = run_disk_tasks<Chunk>(
        chunks_, [](const Chunk& c) { return c.volume_local_id; }, param_.control.retry,
        param_.control.parallelism.disks_per_vm, [this] { return is_stopped(); },
        [this](const Chunk_Ptr& chunk) { return backup_volumes_i(chunk); });
    std::lock_guard<std::mutex> lock(mutex_);
    return waited && succeed_vols_.size() == chunks_.size();
}

Task_Base::Error Backup_Servant_Handler::backup_volumes_i(const Chunk_Ptr& chunk) {
    QORM_CHECK_NOT_NULL_RETURN(chunk, Task_Base::CODE_FAILED);
    // A retried chunk starts over: what it counted before is taken back.
    if (chunk->processed_size != 0)
        notify_unprocessed_bytes(*chunk);

    Client_IO_Ex io;
    if (!open_client_io(io, chunk->remote_path.c_str())) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open client io for volume %C.\n"),
                   chunk->volume_local_id.c_str()));
        return Task_Base::CODE_FAILED;
    }
    bool named = false;
    const Task_Base::Error result = write_chunk(io, *chunk, named);
    if (result == Task_Base::CODE_SUCCESS) {
        chunk->storage_size = io.storage_size();
        notify_backup_succeed(chunk->remote_path);
    } else {
        discard_chunk_file(io, *chunk, named);
    }
    return result;
}

bool Backup_Servant_Handler::open_client_io(Client_IO_Ex& io, const char* remote_file) {
    const char* pool_url = param_.pool_url.c_str();
    QORM_CHECK_NOT_NULL_RETURN(pool_url, false);
    QORM_CHECK_NOT_NULL_RETURN(remote_file, false);
    if (!io.connect(pool_url, param_.control.io_opts)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to connect to storage pool '%C': %C.\n"), pool_url,
                   io.error_text().c_str()));
        return false;
    }
    // A new file only: an image of another backup is never written over.
    if (!io.open(remote_file, Client_IO::MODE_WRITE)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open '%C' on storage pool: %C.\n"), remote_file,
                   io.error_text().c_str()));
        return false;
    }
    return true;
}

Task_Base::Error Backup_Servant_Handler::write_chunk(Client_IO_Ex& io, Chunk& chunk, bool& named) {
    if (chunk.blocks.empty()) {
        ACE_ERROR((LM_WARNING, ACE_TEXT("Volume %C has nothing to backup.\n"),
                   chunk.volume_local_id.c_str()));
        // The empty file takes its name only when closed.
        if (!io.close()) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write to storage pool: %C.\n"),
                       io.error_text().c_str()));
            return is_stopped() ? Task_Base::CODE_FAILED : Task_Base::CODE_FAILED_RETRY;
        }
        named = true;
        return Task_Base::CODE_SUCCESS;
    }

    Image_Block_Writer writer(io);
    if (!writer.init(IMAGE_SECTOR_SIZE, IMAGE_BLOCK_SIZE, IMAGE_CHECKSUM, IMAGE_COMPRESSION)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to init image writer.\n")));
        return Task_Base::CODE_FAILED;
    }
    // The set, the disk and its size say whose image it is: a restore checks them
    // against the catalog row before it writes any of it.
    if (!writer.write_superblock(bset_uuid_, bset_uuid_, non_negative(chunk.size),
                                 chunk.volume_local_id)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write superblock of image: %C.\n"),
                   io.error_text().c_str()));
        return Task_Base::CODE_FAILED_RETRY;
    }
    if (param_.control.allocated_blocks) {
        ACE_DEBUG((LM_INFO, ACE_TEXT("Backup allocated blocks.\n")));
        for (const Change_Block& b : chunk.blocks)
            writer.add_block(b.offset, b.length);
    } else {
        // Whole extents, handed over one image block at a time.
        for (const Change_Block& b : chunk.blocks)
            for (uint64_t at = b.offset, end = b.offset + b.length; at < end;
                 at += IMAGE_BLOCK_SIZE)
                writer.add_block(at, std::min<uint64_t>(IMAGE_BLOCK_SIZE, end - at));
    }

    // The host's writer calls back from its own threads: nothing may be thrown
    // back into it.
    const bool written = writer.write_blocks_ahead(
        [&](char* buffer, uint64_t length, uint64_t offset) {
            return qorm::guarded("read ZBS blocks", static_cast<ssize_t>(-1),
                                 [&] { return read_blocks(chunk, buffer, length, offset); });
        },
        [&](uint64_t n) {
            return qorm::guarded("count processed bytes", false, [&] {
                notify_processed_bytes(chunk, n);
                return !is_stopped();
            });
        },
        IMAGE_BLOCK_SIZE, READ_AHEAD);
    if (!written) {
        if (is_stopped())
            return Task_Base::CODE_FAILED;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write to storage pool: %C.\n"),
                   io.error_text().c_str()));
        return Task_Base::CODE_FAILED_RETRY;
    }
    named = true;
    // Closed under its name; it counts only when it holds every planned byte.
    if (!writer.finished() || io.is_open() || io.original_size() != non_negative(chunk.used_size)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Image '%C' holds %Q bytes of the %Q planned.\n"),
                   chunk.remote_path.c_str(), static_cast<unsigned long long>(io.original_size()),
                   static_cast<unsigned long long>(non_negative(chunk.used_size))));
        return Task_Base::CODE_FAILED_RETRY;
    }
    return Task_Base::CODE_SUCCESS;
}

void Backup_Servant_Handler::discard_chunk_file(Client_IO_Ex& io, const Chunk& chunk, bool named) {
    // An image that never took its name leaves nothing behind; removing the
    // name then could only hit a file this backup did not write.
    io.abort();
    if (!named)
        return;
    if (io.remove(chunk.remote_path))
        ACE_DEBUG(
            (LM_INFO, ACE_TEXT("Success to delete backup piece %C.\n"), chunk.remote_path.c_str()));
    else
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete backup piece %C, error %C.\n"),
                   chunk.remote_path.c_str(), io.error_text().c_str()));
}

ssize_t Backup_Servant_Handler::read_blocks(const Chunk& chunk, char* buffer, uint64_t length,
                                            uint64_t offset) {
    if (is_stopped()) {
        ACE_DEBUG((LM_INFO, ACE_TEXT("Canceled reading blocks.\n")));
        return -1;
    }
    // Reads start on a block; only the last one of a disk may be short.
    const uint64_t end = non_negative(chunk.size);
    if (offset % IMAGE_BLOCK_SIZE != 0 ||
        (length % IMAGE_BLOCK_SIZE != 0 && offset + length != end) || offset + length > end) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Data length %Q or offset %Q is not a multiple of %d.\n"),
                   static_cast<unsigned long long>(length), static_cast<unsigned long long>(offset),
                   static_cast<int>(IMAGE_BLOCK_SIZE)));
        return -1;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, IMAGE_BLOCK_SIZE));
    int rc = 0;
    const bool done = call_zbs_with_backoff(
        [&] {
            rc = zbs_read(zbs_.get(), chunk.zbs_volume_id.c_str(), buffer, n, offset);
            return rc == 0;
        },
        [&](int delay) {
            ACE_ERROR((
                LM_WARNING,
                ACE_TEXT(
                    "Failed to read zbs blocks: offset %Q, length %Q. error[%d] try again after %d "
                    "second.\n"),
                static_cast<unsigned long long>(offset), static_cast<unsigned long long>(n), rc,
                delay));
        });
    if (!done) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read blocks: offset %Q, length %Q.\n"),
                   static_cast<unsigned long long>(offset), static_cast<unsigned long long>(n)));
        return -1;
    }
    return static_cast<ssize_t>(n);
}

void Backup_Servant_Handler::notify_processed_bytes(Chunk& chunk, uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    chunk.processed_size += n;
    progress_->processed_bytes += n;
}

void Backup_Servant_Handler::notify_unprocessed_bytes(Chunk& chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t n = std::min<uint64_t>(chunk.processed_size, progress_->processed_bytes);
    progress_->processed_bytes -= n;
    chunk.processed_size = 0;
}

void Backup_Servant_Handler::notify_backup_succeed(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++progress_->processed_virtual_disk_count;
    succeed_vols_.push_back(path);
}

// ---- VM description ----

bool Backup_Servant_Handler::backup_vm_info() {
    Client_IO_Base::Options options = param_.control.io_opts;
    options.compression = 0;
    const std::string name = file_name(false, "info", options.compression);

    std::stringstream stream;
    {
        YAJL_OStream_Printer printer(stream);
        if (!JSON_Writer::write(json_spirit::Value(vm_.dump()), printer)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write VM info to stream.\n")));
            return false;
        }
    }
    Client_IO_Ex io;
    if (!io.connect(param_.pool_url, options)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to connect to storage pool '%C': %C\n"),
                   param_.pool_url.c_str(), io.error_text().c_str()));
        return false;
    }
    if (!io.put_stream(stream, name, Client_IO_Ex::PUT_EXCLUSIVE)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write VM info to storage pool: %C.\n"),
                   io.error_text().c_str()));
        return false;
    }
    backup_vm_info_.remote_path = name;
    backup_vm_info_.src_size = io.original_size();
    backup_vm_info_.storage_size = io.storage_size();
    return true;
}

// ---- catalog ----

void Backup_Servant_Handler::dump_vm_base_to_set() {
    bset_.base_info.vm_description = vm_.description;

    const uint64_t cores = non_negative(vm_.cpu.cores);
    const uint64_t sockets = non_negative(vm_.cpu.sockets);
    bset_.cpu_info.cpu_arch = vm_.cpu_model;
    bset_.cpu_info.cpu_cores = cores;
    bset_.cpu_info.cpu_socket = sockets;
    bset_.cpu_info.cpu_count = cores * sockets;
    bset_.mem_info.memory = non_negative(vm_.memory) >> 20;

    bset_.cluster_id = vm_.cluster.id;
    bset_.vm_extended_attrs = VM_Setting(vm_, true).dump();
}

bool Backup_Servant_Handler::save_catalog() {
    const Control_Param& control = param_.control;
    const Catalog& catalog = param_.catalog;

    bset_.vm_id = vm_.id;
    bset_.vm_name = vm_.name;
    bset_.owner_host_id = vm_.host.id;
    bset_.owner_host_ip = vm_.host.management_ip;
    bset_.owner_host_name = vm_.host.name;
    dump_vm_base_to_set();

    const json_spirit::Object placeholder{{"id", json_spirit::Value("0")}};
    bset_.usbs = dump_items(vm_.usb_devices);
    bset_.boot_devices =
        json_spirit::Array{json_spirit::Object{{"bootdevice", json_spirit::Value(vm_.firmware)}}};
    bset_.floppys = json_spirit::Array{placeholder};
    bset_.cdroms.clear();
    bset_.nics = vm_.vm_nics.empty() ? json_spirit::Array{placeholder} : dump_items(vm_.vm_nics);
    bset_.gpus =
        vm_.gpu_devices.empty() ? json_spirit::Array{placeholder} : dump_items(vm_.gpu_devices);
    bset_.aggregates.clear();
    for (const Item_Label& label : vm_.labels)
        bset_.aggregates.emplace_back(label.id, SmartX_Backup_Set::TAG);
    if (!vm_.folder.id.empty())
        bset_.aggregates.emplace_back(vm_.folder.id, SmartX_Backup_Set::FOLDER);

    bset_.uuid = uuid_to_string(bset_uuid_);
    bset_.name = catalog.name;
    bset_.definition_uuid = control.def_id;
    bset_.job_instance_uuid = uuid_to_string(job_act_->id);
    bset_.uid = uuid_to_string(job_act_->uid);
    bset_.host_uuid = catalog.host_uuid;
    bset_.resource_uuid = control.resource_uuid;
    bset_.uri = control.resource_uuid;
    bset_.minor_resource_name = vm_.name;
    bset_.agent = catalog.agent;
    bset_.type = job_def_subtype_to_string(param_.backup_type);
    bset_.instance_version = catalog.instance_version;
    bset_.backup_start_time = start_time_;
    if (param_.backup_type == JOB_DEFINITION_SUBTYPE_FULL) {
        bset_.incarnation = uuid_generate_text();
        bset_.base_sets.clear();
        bset_.minor_resource_id.clear();
        if (!compute_minor_resource_id(control.resource_uuid, vm_.id, bset_.minor_resource_id)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to compute minor resource id for VM %C.\n"),
                       vm_.id.c_str()));
            return false;
        }
    }

    uint64_t source_size = 0;
    uint64_t storage_size = 0;
    bset_.pieces.clear();
    for (const Chunk_Ptr& chunk : chunks_) {
        QORM_CHECK_NOT_NULL_RETURN(chunk, false);
        Backup_Piece piece;
        piece.path = chunk->remote_path;
        piece.size = chunk->storage_size;
        piece.object = chunk->volume_id;
        piece.extended_attrs = chunk->snap.dump();
        bset_.pieces.push_back(std::move(piece));
        source_size += non_negative(chunk->used_size);
        storage_size += chunk->storage_size;
    }
    Backup_Piece info;
    info.path = backup_vm_info_.remote_path;
    info.size = backup_vm_info_.storage_size;
    info.object = "vm_info";
    info.extended_attrs = VM_Setting(vm_, false).dump();
    bset_.pieces.push_back(std::move(info));
    source_size += backup_vm_info_.src_size;
    storage_size += backup_vm_info_.storage_size;
    bset_.source_size = static_cast<int64_t>(source_size);
    bset_.size = static_cast<int64_t>(source_size);

    Backup_Set_Storage storage;
    storage.pool_uuid = catalog.pool_uuid;
    storage.size = static_cast<int64_t>(storage_size);
    storage.attributes["code_name"] = "vantor";
    bset_.storages.assign(1, storage);
    bset_.backup_end_time = ::time(nullptr);

    // Once the commit is on its way, the set may land however this run ends:
    // its hold says so on disk first, so that a sweep after this run is
    // killed keeps what the set is made of.
    if (!hold_.note_landing(bset_.uuid, ::time(nullptr) + COMMIT_LANDING_GRACE_S)) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to commit catalog for SmartX VM '%C': its hold cannot say "
                            "the set may land, the commit is not sent.\n"),
                   vm_.id.c_str()));
        return false;
    }
    RESTful_Catalog_Operator op(control.backupd_host, control.backupd_port, control.backupd_ssl,
                                control.access_key, to_int(control.retry.max_retries),
                                to_int(control.retry.max_internal));
    switch (op.commit_set(bset_, true)) {
        case RESTful_Catalog_Operator::COMMITTED:
            commit_state_ = Commit_State::COMMITTED;
            break;
        case RESTful_Catalog_Operator::NOT_COMMITTED:
            commit_state_ = Commit_State::NOT_COMMITTED;
            break;
        case RESTful_Catalog_Operator::UNSETTLED:
            settle_commit(op);
            break;
    }
    if (commit_state_ != Commit_State::COMMITTED) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Failed to commit catalog for SmartX VM '%C'.\n"), vm_.id.c_str()));
        return false;
    }
    result_["storage_size"] = storage_size;
    result_["set_size"] = static_cast<int64_t>(bset_.size);
    result_["source_size"] = static_cast<int64_t>(bset_.source_size);
    result_["vm_id"] = vm_.id;
    return true;
}

void Backup_Servant_Handler::settle_commit(RESTful_Catalog_Operator& catalog) {
    ACE_ERROR((LM_WARNING,
               ACE_TEXT("No answer says whether backup set %C of VM %C is committed: looking it "
                        "up.\n"),
               bset_.uuid.c_str(), vm_.id.c_str()));
    // Only a list naming the set proves anything. Not listed right after a
    // lost answer may be a commit still on its way in: the set is then
    // unconfirmed, and everything it may need stays for the next run.
    bool found = false;
    const bool told = catalog.find_set(bset_.set_type.c_str(), bset_.uuid, found);
    if (found) {
        commit_state_ = Commit_State::COMMITTED;
        ACE_DEBUG((LM_INFO, ACE_TEXT("Backup set %C of VM %C is committed.\n"), bset_.uuid.c_str(),
                   vm_.id.c_str()));
        return;
    }
    commit_state_ = Commit_State::UNSETTLED;
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("Backup set %C of VM %C is unconfirmed (%C): nothing of it is removed, "
                        "the next backup settles it.\n"),
               bset_.uuid.c_str(), vm_.id.c_str(),
               told ? "the catalog does not list it yet" : "the catalog's answer proves nothing"));
}

// ---- removal after a failed backup ----

bool Backup_Servant_Handler::delete_backup_piece() {
    // Only what this request wrote is removed.
    if (succeed_vols_.empty() && backup_vm_info_.remote_path.empty())
        return true;
    Client_IO_Ex io;
    if (!io.connect(param_.pool_url, param_.control.io_opts)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to connect to storage server %C: %C\n"),
                   param_.pool_url.c_str(), io.error_text().c_str()));
        return false;
    }
    for (const std::string& path : succeed_vols_)
        if (!io.remove(path))
            ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to delete backup piece %C, %C\n"), path.c_str(),
                       io.error_text().c_str()));
    if (!backup_vm_info_.remote_path.empty() && !io.remove(backup_vm_info_.remote_path))
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to delete backup VM info %C, %C\n"),
                   backup_vm_info_.remote_path.c_str(), io.error_text().c_str()));
    return true;
}

}  // namespace smartx
