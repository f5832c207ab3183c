// The second half of a restore: the images written into the new volumes,
// the VM created on them or the original VM given them, the check that the
// VM runs, and the power state the job asks for.
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>

#include <ace/Log_Msg.h>

#include "host/client_io.h"
#include "host/image_block_reader.h"
#include "host/pool_service.h"
#include "models/task/thread_task_scheduler.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "smartx/common/vm_disk.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/restore_servant_handler.h"
#include "smartx/servant/zbs_call.h"

namespace smartx {

namespace {
// Images are read in 256 KiB units aligned as the volume's blocks.
constexpr uint64_t RESTORE_ALIGNMENT = 262144;
// Units read and checked ahead of the one being written, per disk.
constexpr unsigned READ_AHEAD = 8;
// The unit in which zeros are left out of a volume.
constexpr uint64_t HOLE_PAGE = 4096;

// A disk with nothing to back up left an empty image, named so.
bool nothing_to_copy(const Restore_Servant_Handler::Chunk::Restore_Set& set) {
    return set.remote_file.find("not_exists") != std::string::npos || set.size == 0;
}

bool all_zero(const char* data, uint64_t length) {
    static const char zeros[HOLE_PAGE] = {};
    for (uint64_t at = 0; at < length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof zeros, length - at));
        if (std::memcmp(data + at, zeros, n) != 0)
            return false;
        at += n;
    }
    return true;
}

// Whether [offset, end) meets a range of the map (start -> end).
bool overlaps(const std::map<uint64_t, uint64_t>& ranges, uint64_t offset, uint64_t end) {
    auto it = ranges.lower_bound(end);
    return it != ranges.begin() && std::prev(it)->second > offset;
}

void add_range(std::map<uint64_t, uint64_t>& ranges, uint64_t offset, uint64_t end) {
    auto it = ranges.upper_bound(offset);
    if (it != ranges.begin() && std::prev(it)->second >= offset) {
        --it;
        offset = it->first;
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    while (it != ranges.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    ranges.emplace(offset, end);
}
}  // namespace

// ---- volumes ----

bool Restore_Servant_Handler::restore_volumes() {
    if (!check_images())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        progress_->state = VM_Job_Progress::STATE_RUNNING;
        progress_->virtual_disk_count = static_cast<int32_t>(new_disks_.size());
        progress_->total_bytes = source_size_;
    }
    std::vector<Chunk_Ptr> chunks;
    for (const auto& entry : chunk_map_)
        chunks.push_back(entry.second);
    const bool waited = run_disk_tasks<Chunk>(
        chunks,
        [](const Chunk& c) { return "Restore_Volume_" + c.target_disk->vm_volume_local_id; },
        param_.control.retry, param_.control.parallelism.disks_per_vm,
        [this] { return is_stopped(); },
        [this](const Chunk_Ptr& chunk) { return restore_volume(chunk); });
    return waited &&
           progress_->processed_virtual_disk_count == static_cast<int32_t>(chunk_map_.size());
}

bool Restore_Servant_Handler::check_images() {
    // All of them before any byte reaches a volume: a chain with one wrong
    // image is not begun.
    for (const auto& entry : chunk_map_) {
        for (const Chunk::Restore_Set& set : entry.second->sets) {
            if (nothing_to_copy(set))
                continue;
            Client_IO_Ex io;
            Image_Block_Reader reader;
            if (!open_image(io, reader, set))
                return false;
            if (!reader.check_superblock(io))
                return image_mismatch(set, io.error_text());
            if (reader.superblock().volume_size != 0)
                continue;
            // An image that states no volume size is walked whole: only its
            // records tell whether it keeps inside the row's size. A stop
            // ends the walk.
            Client_IO_Ex walk;
            if (!open_image(walk, reader, set))
                return false;
            const auto go_on = [this](char*, uint64_t, uint64_t) { return !is_stopped(); };
            if (!reader.read_blocks_align(walk, go_on, RESTORE_ALIGNMENT))
                return !is_stopped() && image_mismatch(set, walk.error_text());
        }
    }
    return true;
}

Task_Base::Error Restore_Servant_Handler::restore_volume(const Chunk_Ptr& chunk) {
    QORM_CHECK_NOT_NULL_RETURN(chunk, Task_Base::CODE_FAILED);
    for (const Chunk::Restore_Set& set : chunk->sets) {
        if (nothing_to_copy(set)) {
            ACE_DEBUG((LM_DEBUG, ACE_TEXT("Skipped reading backup piece %C.\n"),
                       set.remote_file.c_str()));
            continue;
        }
        Client_IO_Ex io;
        Image_Block_Reader reader;
        if (!open_image(io, reader, set))
            return Task_Base::CODE_FAILED;
        ACE_DEBUG(
            (LM_DEBUG, ACE_TEXT("Start to restore backup set[%C].\n"), set.remote_file.c_str()));
        const Task_Base::Error result = restore_volume_i(*chunk, set, io, reader);
        if (result != Task_Base::CODE_SUCCESS)
            return result;
        storage_size_ += io.storage_size();
        if (!io.close()) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to close io.\n")));
            return Task_Base::CODE_FAILED;
        }
    }
    notify_restore_succeed();
    ACE_DEBUG((LM_INFO, ACE_TEXT("Restore to Volume[%C] succeeded.\n"),
               chunk->target_disk->vm_volume_local_id.c_str()));
    return Task_Base::CODE_SUCCESS;
}

bool Restore_Servant_Handler::open_client_io(Client_IO_Ex& io, const Chunk::Restore_Set& set) {
    const Control_Param& control = param_.control;
    QORM_CHECK_RETURN(!set.pool_uuid.empty(), "pool_uuid is empty", false);
    QORM_CHECK_RETURN(!set.remote_file.empty(), "remote_file is empty", false);
    QORM_CHECK_RETURN(!control.backupd_host.empty(), "param.control.backupd_host is empty", false);
    Pool_Info pool;
    if (!get_pool_info(set.pool_uuid, control.target_device_id, pool, true)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get pool info, pool_uuid: %C.\n"),
                   set.pool_uuid.c_str()));
        return false;
    }
    Client_IO_Base::Options options = control.io_opts;
    if (!set_options_by_pool(options, pool) || !io.connect(pool.url, options) ||
        !io.open(set.remote_file, Client_IO::MODE_READ)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open backup set file '%C': errno=%d, %C.\n"),
                   set.remote_file.c_str(), io.last_errno(), io.error_text().c_str()));
        return false;
    }
    return true;
}

bool Restore_Servant_Handler::open_image(Client_IO_Ex& io, Image_Block_Reader& reader,
                                         const Chunk::Restore_Set& set) {
    if (!open_client_io(io, set))
        return false;
    if (io.storage_size() != set.stored_size)
        return image_mismatch(set, "the file holds " + std::to_string(io.storage_size()) +
                                       " bytes, its catalog row says " +
                                       std::to_string(set.stored_size));
    reader.expect(set.identity);
    reader.limit_block_size(IMAGE_BLOCK_SIZE);
    return true;
}

bool Restore_Servant_Handler::image_mismatch(const Chunk::Restore_Set& set,
                                             const std::string& why) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Image %C does not match its catalog row: %C.\n"),
               set.remote_file.c_str(), why.c_str()));
    return false;
}

Task_Base::Error Restore_Servant_Handler::restore_volume_i(Chunk& chunk,
                                                           const Chunk::Restore_Set& set,
                                                           Client_IO_Ex& io,
                                                           Image_Block_Reader& reader) {
    // The image is read and checked on a second thread while this one
    // writes: a block is handed over only once its checksum, order and
    // sequence are checked, so a damaged image stops at the damage.
    reader.read_ahead(READ_AHEAD);
    const bool read = reader.read_blocks_align(
        io,
        [&](char* data, uint64_t length, uint64_t offset) {
            return qorm::guarded("write ZBS blocks", false,
                                 [&] { return write_volume(chunk, data, length, offset); });
        },
        RESTORE_ALIGNMENT);
    if (!read) {
        // The error names the file: a damaged image is found by it.
        const std::string error = set.remote_file + ": " + io.error_text();
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to read data from storage pool and write them to SmartX "
                            "Volume, pool_uuid: %C, error: %C.\n"),
                   set.pool_uuid.c_str(), error.c_str()));
        return Task_Base::CODE_FAILED;
    }
    return Task_Base::CODE_SUCCESS;
}

bool Restore_Servant_Handler::write_volume(Chunk& chunk, char* data, uint64_t length,
                                           uint64_t offset) {
    // Zero pages over what was never written are there already: the volume
    // keeps its holes. The rest goes in runs of consecutive pages.
    const auto page_end = [&](uint64_t at) {
        return std::min(length, (offset + at) / HOLE_PAGE * HOLE_PAGE + HOLE_PAGE - offset);
    };
    const auto hole = [&](uint64_t at, uint64_t end) {
        return all_zero(data + at, end - at) && !overlaps(chunk.written, offset + at, offset + end);
    };
    for (uint64_t at = 0; at < length;) {
        uint64_t end = page_end(at);
        const bool skip = hole(at, end);
        while (end < length && hole(end, page_end(end)) == skip)
            end = page_end(end);
        if (!skip && !write_zbs(chunk, data + at, end - at, offset + at))
            return false;
        at = end;
    }
    notify_processed_bytes(length);
    return !is_stopped();
}

bool Restore_Servant_Handler::write_zbs(Chunk& chunk, char* data, uint64_t length,
                                        uint64_t offset) {
    int rc = 0;
    const bool done = call_zbs_with_backoff(
        [&] {
            rc = zbs_write(chunk.zbs, chunk.zbs_volume_id.c_str(), data,
                           static_cast<uint32_t>(length), offset);
            return rc == 0;
        },
        [&](int delay) {
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("Failed to write zbs blocks: offset %Q, length %Q to volume "
                                "error[%d]. try again after %d second. \n"),
                       static_cast<unsigned long long>(offset),
                       static_cast<unsigned long long>(length), rc, delay));
        });
    if (!done) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to write data(off: %Q, len: %Q) to volume.SmartX Error "
                            "code (%d).\n"),
                   static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length),
                   rc));
        return false;
    }
    add_range(chunk.written, offset, offset + length);
    return true;
}

void Restore_Servant_Handler::notify_processed_bytes(uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_->processed_bytes += n;
}

void Restore_Servant_Handler::notify_restore_succeed() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++progress_->processed_virtual_disk_count;
}

// ---- the VM ----

bool Restore_Servant_Handler::update_vm() {
    update_network();
    return original() ? update_existing_vm() : create_new_vm();
}

void Restore_Servant_Handler::update_network() {
    std::vector<VM_NIC_Setting>& nics = vm_setting_.vm_nics;
    if (restore_entry_.nics.empty() && nics.empty())
        return;
    if (!param_.restore_nics) {
        nics.clear();
        return;
    }
    if (original())
        return;
    nics.clear();
    for (const Restore_Source_Entry::NIC& nic : restore_entry_.nics) {
        VM_NIC_Setting setting;
        setting.subnet_mask = nic.subnet_mask;
        setting.gateway = nic.gateway;
        setting.ip_address = nic.ip_address;
        setting.nic_id = nic.src_id;
        setting.connect_vlan_id = nic.vlan_id;
        setting.mirror = nic.mirror;
        setting.model = nic.model;
        if (param_.reserve_mac)
            setting.mac_address = nic.mac_address;
        nics.push_back(std::move(setting));
    }
}

void Restore_Servant_Handler::update_hardware() {
    std::vector<Mount_Disk_Setting> disks = disk_settings_;
    std::stable_sort(
        disks.begin(), disks.end(),
        [](const Mount_Disk_Setting& a, const Mount_Disk_Setting& b) { return a.boot < b.boot; });
    VM_Setting& s = vm_setting_;
    s.vm_disks.mount_disks = std::move(disks);
    s.vm_disks.mount_cd_roms.clear();
    s.vm_disks.mount_new_create_disks.clear();
    const Restore_Source_Entry& e = restore_entry_;
    if (!e.vm_tgt_name.empty())
        s.name = e.vm_tgt_name;
    s.host_id = e.vm_tgt_host_id;
    s.folder_id = e.vm_tgt_folder_id;
    s.cluster_id = e.vm_tgt_cluster_id;
    // What the entry leaves out (or gives as 0) keeps the backed-up values.
    if (s.cpu_cores <= 0)
        s.cpu_cores = 1;
    if (s.cpu_sockets <= 0)
        s.cpu_sockets = 1;
    if (e.vm_tgt_cpu_cores > 0)
        s.cpu_cores = e.vm_tgt_cpu_cores;
    const int vcpu = e.vm_tgt_cpu_count > 0 ? e.vm_tgt_cpu_count
                     : s.vcpu > 0           ? s.vcpu
                                            : s.cpu_cores * s.cpu_sockets;
    s.vcpu = vcpu;
    s.cpu_sockets = std::max(1, vcpu / s.cpu_cores);
    if (e.vm_tgt_mem_mbytes > 0)
        s.memory = e.vm_tgt_mem_mbytes << 20;
}

bool Restore_Servant_Handler::create_new_vm() {
    update_hardware();
    // No listing shows a VM of that name: it would stand beside CloudTower's
    // own, unseen.
    if (vm_setting_.name == CLOUDTOWER_VM_NAME) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Refused to create VM %C: the name is the CloudTower VM's.\n"),
                   vm_setting_.name.c_str()));
        return false;
    }
    Restore_Made asked{Restore_Made::VM, "", "", vm_setting_.name, {}};
    for (const Mount_Disk_Setting& disk : disk_settings_)
        asked.volumes.push_back(disk.vm_volume_id);
    smartx_result_.clear();
    if (!journal_.asking(asked) || !client_->create_vm(vm_setting_, new_vm_id_, &smartx_result_) ||
        new_vm_id_.empty() || journal_failed_) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create VM. SmartX Error (%C).\n"),
                   smartx_result_.message.c_str()));
        note_refusal(Restore_Made::VM);
        return false;
    }
    smartx_result_.clear();
    if (!client_->query_vm(new_vm_id_, target_vm_, &smartx_result_)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query VM, SmartX ERROR(%C).\n"),
                   smartx_result_.message.c_str()));
        return false;
    }
    return true;
}

bool Restore_Servant_Handler::update_existing_vm() {
    smartx_result_.clear();
    src_vm_ = VM();
    if (!client_->query_vm(restore_entry_.vm_src_id, src_vm_, &smartx_result_)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query VM, SmartX ERROR(%C).\n"),
                   smartx_result_.message.c_str()));
        return false;
    }
    VM_Disk_Settings added;
    for (const Restore_Source_Entry::Volume& volume : restore_entry_.volumes) {
        const auto disk = std::find_if(
            src_vm_.vm_disks.begin(), src_vm_.vm_disks.end(),
            [&](const VM_Disk& d) { return d.vm_volume.local_id == volume.src_local_id; });
        if (volume.restore_mode != "new" && disk != src_vm_.vm_disks.end()) {
            VM_Disk_Update_Setting setting;
            setting.vm_volume_id = volume.tgt_volume_local_id;
            setting.vm_disk_serial = disk->serial;
            setting.bus = disk->bus;
            smartx_result_.clear();
            if (!client_->update_vm_disk(src_vm_.id, setting, &smartx_result_)) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to update VM, SmartX ERROR(%C).\n"),
                           smartx_result_.message.c_str()));
                restore_old_volumes();
                return false;
            }
            swapped_.push_back(
                {disk->serial, disk->bus, disk->vm_volume.id, volume.tgt_volume_local_id});
            abandoned_volumes_.push_back(disk->vm_volume.id);
            continue;
        }
        const std::vector<Mount_Disk_Setting>& mounts = vm_setting_.vm_disks.mount_disks;
        const auto mount = std::find_if(
            mounts.begin(), mounts.end(),
            [&](const Mount_Disk_Setting& m) { return m.vm_volume_id == volume.src_id; });
        if (mount == mounts.end()) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to restore disk[%C], find disk info error.\n"),
                       volume.src_id.c_str()));
            restore_old_volumes();
            return false;
        }
        Mount_Disk_Setting setting = *mount;
        setting.vm_volume_id = volume.tgt_volume_local_id;
        setting.boot += static_cast<int>(src_vm_.vm_disks.size());
        added.mount_disks.push_back(std::move(setting));
    }
    if (!added.empty()) {
        smartx_result_.clear();
        if (!client_->add_vm_disks(src_vm_.id, added, &smartx_result_)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create new disk, SmartX ERROR(%C).\n"),
                       smartx_result_.message.c_str()));
            restore_old_volumes();
            return false;
        }
    }
    return true;
}

bool Restore_Servant_Handler::restore_old_volumes() {
    bool all = true;
    // Swapped disks get their volumes back, newest swap first.
    for (auto it = swapped_.rbegin(); it != swapped_.rend(); ++it) {
        VM_Disk_Update_Setting setting;
        setting.vm_volume_id = it->old_volume_id;
        setting.vm_disk_serial = it->serial;
        setting.bus = it->bus;
        Error error;
        if (!client_->update_vm_disk(src_vm_.id, setting, &error)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to update VM volume[%C], SmartX ERROR(%C).\n"),
                       it->old_volume_id.c_str(), error.message.c_str()));
            all = false;
            continue;
        }
        abandoned_volumes_.erase(
            std::remove(abandoned_volumes_.begin(), abandoned_volumes_.end(), it->old_volume_id),
            abandoned_volumes_.end());
    }
    swapped_.clear();
    // Disks added on new volumes go again.
    VM vm;
    Error error;
    if (!client_->query_vm(src_vm_.id, vm, &error))
        return false;
    std::vector<std::string> added;
    for (const VM_Disk& d : vm.vm_disks)
        for (const auto& disk : new_disks_)
            if (d.vm_volume.id == disk.second.vm_volume_local_id)
                added.push_back(d.id);
    if (!added.empty() && !client_->remove_vm_disks(src_vm_.id, added, &error)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to remove the restored disks of VM %C: %C.\n"),
                   src_vm_.id.c_str(), error.message.c_str()));
        all = false;
    }
    return all;
}

bool Restore_Servant_Handler::check_vm() {
    return original() ? check_existing_vm() : check_new_vm();
}

bool Restore_Servant_Handler::starts_running(const std::string& id) {
    smartx_result_.clear();
    if (client_->start_vm(id, &smartx_result_) &&
        client_->query_vm(id, target_vm_, &smartx_result_) &&
        target_vm_.get_status() == VM_Status::RUNNING)
        return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("VM %C does not run: %C.\n"), id.c_str(),
               smartx_result_.message.c_str()));
    return false;
}

bool Restore_Servant_Handler::check_new_vm() {
    // One that does not run goes with the failed restore's clean-up.
    return starts_running(new_vm_id_);
}

bool Restore_Servant_Handler::check_existing_vm() {
    const std::string& id = restore_entry_.vm_src_id;
    if (starts_running(id)) {
        for (const std::string& volume : abandoned_volumes_)
            delete_unmounted_volume(volume, ACE_TEXT("Failed to delete VM old volume[%C], SmartX "
                                                     "ERROR(%C).\n"));
        abandoned_volumes_.clear();
        swapped_.clear();
        return true;
    }
    // The VM gets its own volumes back; the new ones then go with the
    // failed restore.
    restore_old_volumes();
    return false;
}

const std::string& Restore_Servant_Handler::target_vm_id() const {
    return original() ? restore_entry_.vm_src_id : new_vm_id_;
}

bool Restore_Servant_Handler::power_vm(bool on) {
    const std::string& id = target_vm_id();
    if (id.empty())
        return false;
    smartx_result_.clear();
    const bool done =
        on ? client_->start_vm(id, &smartx_result_) : client_->poweroff_vm(id, &smartx_result_);
    if (!done) {
        add_agent_alert(Error_ID::LV_WARNING, on ? ALERT_POWER_ON_FAILED : ALERT_POWER_OFF_FAILED);
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to power %C VM %C, SmartX ERROR(%C).\n"),
                   on ? "on" : "off", id.c_str(), smartx_result_.message.c_str()));
        return false;
    }
    ACE_ERROR((LM_WARNING, ACE_TEXT("VM %C is power %C.\n"), id.c_str(), on ? "on" : "off"));
    return true;
}

void Restore_Servant_Handler::final_power(bool succeeded) {
    // No VM (a new one that was never made, or was deleted again): nothing
    // to power.
    if (target_vm_id().empty())
        return;
    if (succeeded) {
        // A started VM was started by the check.
        if (!param_.start_vm)
            power_vm(false);
        return;
    }
    // A failed restore into the original VM gives it back as it found it:
    // running again when this restore powered it off, untouched otherwise.
    if (original()) {
        if (need_poweron_ || param_.start_vm)
            power_vm(true);
        return;
    }
    // A failed restore's new VM that could not be removed is never started:
    // its disks may not hold what they should.
    power_vm(false);
}

}  // namespace smartx
