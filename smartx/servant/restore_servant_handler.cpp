#include "smartx/servant/restore_servant_handler.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/catalog.h"
#include "host/job_definition_subtype.h"
#include "host/uuid.h"
#include "json_spirit/extract.h"
#include "qorm/check.h"
#include "qorm/scoped_deleter.h"
#include "qorm/time_format.h"
#include "smartx/common/host.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/vm_volume.h"
#include "smartx/job/utils.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/servant_common.h"

namespace smartx {

namespace {
const char* const VM_INFO_OBJECT = "vm_info";
// A new VM is made stopped whatever the backed-up one was: its check starts
// it, its power step leaves it as the job asks, and a VM a killed restore
// made is then found stopped, as the next run's clean-up needs to remove it.
const char* const NEW_VM_STATUS = "STOPPED";
// The policy of a new volume when neither the entry nor the backup names one.
const char* const DEFAULT_POLICY = "REPLICA_2_THIN_PROVISION";
// How long the clean-up of an ended restore (what it made removed, the VM
// powered) may wait for CloudTower's tasks, stopped job or not: well within
// the grace the job gives a stopped servant.
constexpr std::chrono::seconds CLEAN_UP_LIMIT{120};

bool is_status(const VM& vm, VM_Status status) {
    return vm.get_status() == status;
}

const std::string* text_member(const json_spirit::Object& obj, const char* key) {
    return json_spirit::object_get_str(obj, key);
}
}  // namespace

Restore_Servant_Handler::Restore_Servant_Handler()
    : Servant_Handler("restore", ACE_TEXT("Failed to load params %C.")) {}

Restore_Servant_Handler::~Restore_Servant_Handler() = default;

void Restore_Servant_Handler::reset_request() {
    start_time_ = 0;
    zbs_.reset();
    cluster_zbs_.clear();
    cluster_ip_.clear();
    new_vm_id_.clear();
    abandoned_volumes_.clear();
    swapped_.clear();
    set_size_ = 0;
    source_size_ = 0;
    storage_size_ = 0;
    job_act_.close();
    progress_.close();
    client_.reset(new (std::nothrow) RESTful_Client);
    if (client_) {
        client_->set_stop_check([this] { return is_stopped(); });
        client_->set_task_hook(
            [this](Message::Type type, const std::string& id, const std::string& task_id) {
                note_created(type, id, task_id);
            });
    }
    src_vm_ = VM();
    src_vm_loaded_ = false;
    target_vm_ = VM();
    vm_setting_ = VM_Setting();
    smartx_result_.clear();
    disk_settings_.clear();
    need_poweron_ = false;
    retry_ = false;
    bsets_.clear();
    chunk_map_.clear();
    new_disks_.clear();
    result_.clear();
    param_ = Restore_Param();
    restore_entry_.clear();
    // A request that ended half-way leaves what it made to a later run.
    journal_.close();
    journal_failed_ = false;
}

bool Restore_Servant_Handler::load_params(const json_spirit::Value& param,
                                          const json_spirit::Value& entry) {
    return param_.load(param) && restore_entry_.load(entry);
}

void Restore_Servant_Handler::release_zbs() {
    zbs_.reset();
    cluster_zbs_.clear();
}

void Restore_Servant_Handler::run() {
    const std::string tower = journal_tower(param_.control.login_info);
    sweep_dead_restores(*client_, tower, leftover_alert());
    const bool succeeded = journal_.open(uuid_generate_text(), tower, restore_entry_.vm_src_id,
                                         restore_entry_.vm_tgt_name) &&
                           handle_restore_i();
    const auto until = std::chrono::steady_clock::now() + CLEAN_UP_LIMIT;
    client_->set_stop_check([until] { return std::chrono::steady_clock::now() >= until; });
    if (!succeeded) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to restore to VM.\n")));
        delete_residual_volumes();
    }
    final_power(succeeded);
    finish_restore(succeeded);
    // Kept when something it made could not be removed: a later run removes it.
    if (succeeded)
        journal_.finish(leftover_alert());
    else
        journal_.close(leftover_alert());
}

void Restore_Servant_Handler::finish_restore(bool succeeded) {
    progress_->end_time = ::time(nullptr);
    set_progress_state(succeeded ? VM_Job_Progress::STATE_COMPLETED
                                 : VM_Job_Progress::STATE_FAILED);
    const Task_Base::Error code =
        succeeded ? Task_Base::CODE_SUCCESS
                  : (retry_ ? Task_Base::CODE_FAILED_RETRY : Task_Base::CODE_FAILED);
    result_["code"] = static_cast<int>(code);
    result_["storage_size"] = storage_size_.load();
    result_["set_size"] = set_size_;
    result_["source_size"] = source_size_;
    result_["vm_id"] = restore_entry_.vm_src_id;
}

bool Restore_Servant_Handler::job_init() {
    QORM_CHECK_RETURN(!param_.control.def_id.empty(), "param_.control.def_id is empty", false);
    start_time_ = ::time(nullptr);
    return open_job_records(job_act_, progress_, param_.control.def_id, restore_entry_.vm_src_id,
                            ACE_TEXT("Failed to open progress object of job %C for SmartX VM "
                                     "'%C'.\n"));
}

bool Restore_Servant_Handler::init() {
    if (!open_cluster(*client_, param_.control, restore_entry_.vm_tgt_cluster_id, cluster_ip_, zbs_,
                      smartx_result_, ACE_TEXT("Failed to login SmartX.\n")))
        return false;
    reset_progress(*progress_.get(), start_time_);
    return true;
}

bool Restore_Servant_Handler::handle_restore_i() {
    const Control_Param& control = param_.control;
    if (!load_catalogs(control.resource_uuid, restore_entry_.catalog_uuid)) {
        const json_spirit::Object detail{{"name", json_spirit::Value(control.resource_uuid)},
                                         {"uuid", json_spirit::Value(restore_entry_.catalog_uuid)}};
        add_agent_alert(Error_ID::LV_ERROR, ALERT_CATALOG_NOT_LOADED, &detail);
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get catalogs.\n")));
        return false;
    }
    std::vector<Host> hosts;
    smartx_result_.clear();
    if (!client_->query_hosts(hosts, &smartx_result_)) {
        add_agent_alert(Error_ID::LV_ERROR, ALERT_HOSTS_NOT_QUERIED);
        retry_ = true;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query hosts.SmartX Error (%C).\n"),
                   smartx_result_.message.c_str()));
        return false;
    }
    if (!check_volumes()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to check_volumes.\n")));
        return false;
    }
    if (!power_off_target())
        return false;
    if (!create_volumes()) {
        add_agent_alert(Error_ID::LV_ERROR, ALERT_VOLUME_NOT_CREATED);
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create volumes.SmartX Error (%C).\n"),
                   smartx_result_.message.c_str()));
        return false;
    }
    if (new_disks_.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("There are no disks to restore.\n")));
        return false;
    }
    if (!prepare_volumes() || !resolve_chunks()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to prepare volumes.\n")));
        return false;
    }
    if (!restore_volumes()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to restore volumes.\n")));
        return false;
    }
    if (!update_vm()) {
        add_agent_alert(Error_ID::LV_ERROR, ALERT_VM_NOT_UPDATED);
        return false;
    }
    if (!check_vm()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to check vm.\n")));
        return false;
    }
    return true;
}

// ---- catalogs ----

bool Restore_Servant_Handler::load_catalogs(const std::string& resource_uuid,
                                            const std::string& uuid) {
    QORM_CHECK_RETURN(!resource_uuid.empty(), "resource_uuid is empty", false);
    QORM_CHECK_RETURN(!uuid.empty(), "uuid is empty", false);
    const Control_Param& control = param_.control;
    RESTful_Catalog_Operator catalog(
        control.backupd_host, control.backupd_port, control.backupd_ssl, control.access_key,
        RESTful_Catalog_Operator::NO_BOUND,
        static_cast<int>(std::min<size_t>(control.max_seconds_retry, INT32_MAX)));
    const json_spirit::Object filter{{"resource_uuid", json_spirit::Value(resource_uuid)},
                                     {"uuid", json_spirit::Value(uuid)}};
    json_spirit::Value val;
    if (!catalog.get_view("smartx", "restore", filter, val)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to obtain backup sets by uuid %C.\n"), uuid.c_str()));
        return false;
    }
    QORM_CHECK_SHAPE_RETURN(val.type() == json_spirit::array_type, "val is not array", false);
    const json_spirit::Array& cats = val.get_array();
    QORM_CHECK_SHAPE_RETURN(!cats.empty(), "cats is empty array", false);
    bsets_.clear();
    for (const json_spirit::Value& cat : cats) {
        QORM_CHECK_SHAPE_RETURN(cat.type() == json_spirit::obj_type, "cat is not object", false);
        // A fresh record per row: nothing of the previous row carries over.
        SmartX_Backup_Set set;
        if (!load_backup_set(cat.get_obj(), set))
            return false;
        bsets_.push_back(std::move(set));
    }
    return check_chain(uuid);
}

bool Restore_Servant_Handler::check_chain(const std::string& uuid) const {
    const SmartX_Backup_Set& first = bsets_.front();
    const auto broken = [&](const SmartX_Backup_Set& set, const char* why) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Backup set %C does not belong to the chain of %C: %C.\n"),
                   set.uuid.c_str(), uuid.c_str(), why));
        return false;
    };
    if (first.type != job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL))
        return broken(first, "the chain does not start with a full backup");
    for (size_t i = 0; i < bsets_.size(); ++i) {
        const SmartX_Backup_Set& set = bsets_[i];
        if (set.vm_id != restore_entry_.vm_src_id)
            return broken(set, "it is the backup of another VM");
        if (set.incarnation != first.incarnation)
            return broken(set, "it is of another incarnation");
        if (i > 0 && (set.base_sets.empty() || set.base_sets.front() != bsets_[i - 1].uuid))
            return broken(set, "it is not based on the set before it");
    }
    if (bsets_.back().uuid != uuid)
        return broken(bsets_.back(), "the chain does not end with the set asked for");
    return true;
}

// ---- target checks ----

bool Restore_Servant_Handler::check_volumes() {
    if (!original())
        return true;
    // The original VM is needed to compare disks, power it off and swap
    // its volumes, whatever the entry says about NICs.
    smartx_result_.clear();
    if (restore_entry_.vm_src_id.empty() ||
        !client_->query_vm(restore_entry_.vm_src_id, src_vm_, &smartx_result_)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query VM for check volumes, SmartX ERROR(%C).\n"),
                   smartx_result_.message.c_str()));
        return false;
    }
    src_vm_loaded_ = true;
    for (const Restore_Source_Entry::Volume& volume : restore_entry_.volumes) {
        if (param_.restore_type == JOB_DEFINITION_SUBTYPE_DISK && volume.restore_mode == "new")
            continue;
        const bool found = std::any_of(
            src_vm_.vm_disks.begin(), src_vm_.vm_disks.end(),
            [&](const VM_Disk& d) { return d.vm_volume.local_id == volume.src_local_id; });
        if (!found) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to check disks. backup set volume is different from "
                                "current vm. volume[%C] not found.\n"),
                       volume.src_local_id.c_str()));
            return false;
        }
    }
    if (param_.restore_type == JOB_DEFINITION_SUBTYPE_VM) {
        const size_t disks = static_cast<size_t>(
            std::count_if(src_vm_.vm_disks.begin(), src_vm_.vm_disks.end(),
                          [](const VM_Disk& d) { return d.get_type() == VM_Disk_Type::DISK; }));
        if (disks != restore_entry_.volumes.size()) {
            add_agent_alert(Error_ID::LV_ERROR, ALERT_DISK_COUNT_DIFFERS);
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to check disks. current vm disks size[%d] is different "
                                "from backup set disks size[%d]."),
                       static_cast<int>(disks), static_cast<int>(restore_entry_.volumes.size())));
            return false;
        }
    }
    return true;
}

bool Restore_Servant_Handler::power_off_target() {
    // Only the original VM exists before the restore; its disks are swapped
    // while it is off.
    if (!src_vm_loaded_ || src_vm_.id.empty() || is_status(src_vm_, VM_Status::STOPPED))
        return true;
    smartx_result_.clear();
    if (!client_->poweroff_vm(src_vm_.id, &smartx_result_)) {
        add_agent_alert(Error_ID::LV_ERROR, ALERT_POWER_OFF_FAILED);
        retry_ = true;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to power off VM %C.SmartX Error (%C).\n"),
                   src_vm_.id.c_str(), smartx_result_.message.c_str()));
        return false;
    }
    ACE_ERROR((LM_WARNING, ACE_TEXT("VM %C is power off.\n"), src_vm_.id.c_str()));
    need_poweron_ = true;
    return true;
}

// ---- volumes ----

bool Restore_Servant_Handler::create_volumes() {
    const SmartX_Backup_Set& newest = bsets_.back();
    for (Restore_Source_Entry::Volume& volume : restore_entry_.volumes) {
        const Backup_Piece* found = nullptr;
        VM_Snapshot::Snapshot_VM_Disk disk;
        for (const Backup_Piece& piece : newest.pieces) {
            VM_Snapshot::Snapshot_VM_Disk d;
            if (piece.object != VM_INFO_OBJECT && d.load(piece.extended_attrs) &&
                d.vm_volume_local_id == volume.src_local_id) {
                found = &piece;
                disk = d;
                break;
            }
        }
        // What was made so far goes with the failed restore.
        if (found == nullptr) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to find src volume %C in backup set.\n"),
                       volume.src_id.c_str()));
            return false;
        }
        if (!create_volume(volume, *found, disk))
            return false;
    }
    return true;
}

bool Restore_Servant_Handler::create_volume(Restore_Source_Entry::Volume& volume,
                                            const Backup_Piece& piece,
                                            VM_Snapshot::Snapshot_VM_Disk disk) {
    // The new volume always has the disk's size, in the volume's own
    // cluster, else the VM's.
    VM_Volume_Setting setting;
    setting.cluster_id =
        !volume.tgt_cluster_id.empty() ? volume.tgt_cluster_id : restore_entry_.vm_tgt_cluster_id;
    setting.size = disk.size;
    setting.elf_storage_policy = volume.tgt_volume_policy;
    if (setting.elf_storage_policy.empty()) {
        const std::string* policy = text_member(piece.extended_attrs, "vm_volume_storage_policy");
        setting.elf_storage_policy =
            policy != nullptr && !policy->empty() ? *policy : DEFAULT_POLICY;
    }
    setting.name = volume.tgt_volume_name;
    if (setting.name.empty()) {
        const POSIX_Time_Format<32> when(start_time_, "%Y%m%d%H%M%S");
        setting.name = (disk.disk_name.empty() ? disk.vm_volume_local_id : disk.disk_name) +
                       "-restored-" + when.c_str();
    }
    std::string id;
    smartx_result_.clear();
    if (!journal_.asking(Restore_Made{Restore_Made::VOLUME, "", "", setting.name, {}}) ||
        !client_->create_vm_volume(setting, id, &smartx_result_) || id.empty() || journal_failed_) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create volume %C.\n"), setting.name.c_str()));
        note_refusal(Restore_Made::VOLUME);
        return false;
    }
    disk.vm_volume_local_id = id;
    Mount_Disk_Setting mount;
    mount.vm_volume_id = id;
    mount.bus = disk.bus;
    mount.boot = disk.boot;
    disk_settings_.push_back(mount);
    volume.tgt_volume_local_id = id;
    new_disks_[volume.src_id] = disk;
    return true;
}

bool Restore_Servant_Handler::prepare_volumes() {
    for (const SmartX_Backup_Set& bset : bsets_) {
        const auto storage_iter =
            std::find_if(bset.storages.cbegin(), bset.storages.cend(),
                         [](const Backup_Set_Storage& s) { return s.state.empty(); });
        QORM_CHECK_RETURN(storage_iter != bset.storages.cend(),
                          "storage_iter == bset.storages.cend()", false);
        unsigned char set_uuid[16];
        if (!uuid_from_string(bset.uuid, set_uuid)) {
            ACE_ERROR(
                (LM_ERROR, ACE_TEXT("Backup set '%C' has no valid uuid.\n"), bset.uuid.c_str()));
            return false;
        }
        for (const Backup_Piece& piece : bset.pieces) {
            if (piece.object == VM_INFO_OBJECT) {
                if (!piece.extended_attrs.empty() && !load_vm_setting(piece))
                    return false;
                continue;
            }
            const auto disk = new_disks_.find(piece.object);
            if (disk == new_disks_.end())
                continue;
            Chunk_Ptr& chunk = chunk_map_[piece.object];
            if (!chunk) {
                chunk.reset(new (std::nothrow) Chunk);
                QORM_CHECK_NOT_NULL_RETURN(chunk, false);
                chunk->target_disk = &disk->second;
            }
            // The image is checked against the disk the piece names.
            VM_Snapshot::Snapshot_VM_Disk source;
            if (!source.load(piece.extended_attrs)) {
                ACE_ERROR((LM_ERROR,
                           ACE_TEXT("Backup piece %C of set %C does not name its disk.\n"),
                           piece.path.c_str(), bset.uuid.c_str()));
                return false;
            }
            Chunk::Restore_Set set;
            set.remote_file = bset.resource_uuid + "/" + piece.path;
            set.pool_uuid = storage_iter->pool_uuid;
            std::copy(set_uuid, set_uuid + sizeof set_uuid, set.identity.set_uuid);
            set.identity.disk_id = source.vm_volume_local_id;
            set.identity.volume_size = static_cast<uint64_t>(std::max<int64_t>(source.size, 0));
            set.stored_size = piece.size;
            set.size = piece.size;
            if (const json_spirit::Object* attrs =
                    json_spirit::object_get_object(piece.extended_attrs, "Tarnvik3")) {
                // Without the key the set holds nothing; a value that is no
                // size is damage, never taken for an empty disk.
                set.size = 0;
                if (attrs->count("block_set_size") != 0 &&
                    !json_spirit::object_get(*attrs, "block_set_size", set.size)) {
                    ACE_ERROR((LM_ERROR,
                               ACE_TEXT("Backup piece %C of set %C states a block set size that "
                                        "is no size.\n"),
                               piece.path.c_str(), bset.uuid.c_str()));
                    return false;
                }
            }
            set_size_ += set.size;
            source_size_ += static_cast<uint64_t>(std::max<int64_t>(disk->second.size, 0));
            chunk->sets.push_back(std::move(set));
        }
    }
    return chunk_map_.size() == new_disks_.size();
}

bool Restore_Servant_Handler::load_vm_setting(const Backup_Piece& piece) {
    VM_Setting setting;
    if (!setting.load(piece.extended_attrs)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to load vm setting info.\n")));
        return false;
    }
    setting.status = NEW_VM_STATUS;
    setting.vm_disks.mount_new_create_disks.clear();
    vm_setting_ = std::move(setting);
    return true;
}

bool Restore_Servant_Handler::resolve_chunks() {
    for (auto& entry : chunk_map_) {
        Chunk& chunk = *entry.second;
        const std::string& id = chunk.target_disk->vm_volume_local_id;
        VM_Volume volume;
        smartx_result_.clear();
        if (!client_->query_vm_volume(id, volume, &smartx_result_)) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to get volume[%C] info from SmartX. SmartX Error (%C).\n"),
                       id.c_str(), smartx_result_.message.c_str()));
            return false;
        }
        ISCSI_LUN lun;
        smartx_result_.clear();
        if (!client_->query_iscsi_lun(volume.lun.id, lun, &smartx_result_) ||
            lun.zbs_volume_id.empty()) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to query_iscsi_lun[%C] info from SmartX. SmartX Error "
                                "(%C).\n"),
                       volume.lun.id.c_str(), smartx_result_.message.c_str()));
            return false;
        }
        chunk.zbs_volume_id = lun.zbs_volume_id;
        chunk.cluster_id = volume.cluster.id;
        // Each volume is written through the handle of its own cluster.
        if (chunk.cluster_id.empty() || chunk.cluster_id == restore_entry_.vm_tgt_cluster_id) {
            chunk.zbs = zbs_.get();
            continue;
        }
        Zbs_Handle& handle = cluster_zbs_[chunk.cluster_id];
        if (!handle)
            handle = open_zbs_handle(*client_, chunk.cluster_id);
        if (!handle) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to get datastore[%C] info from SmartX. SmartX Error "
                                "(%C).\n"),
                       chunk.cluster_id.c_str(), "no ZBS handle"));
            return false;
        }
        chunk.zbs = handle.get();
    }
    return true;
}

bool Restore_Servant_Handler::delete_unmounted_volume(const std::string& id, const char* failure) {
    std::string why;
    const Volume_Removal removal = smartx::delete_unmounted_volume(*client_, id, &why);
    if (removal == Volume_Removal::FAILED)
        ACE_ERROR((LM_ERROR, failure, id.c_str(), why.c_str()));
    return removal == Volume_Removal::GONE;
}

void Restore_Servant_Handler::delete_residual_volumes() {
    std::vector<Restore_Made> settled;
    journal_.remove_made(*client_, leftover_alert(), &settled);
    for (const Restore_Made& made : settled)
        if (made.kind == Restore_Made::VM && made.id == new_vm_id_)
            new_vm_id_.clear();
    new_disks_.clear();
    chunk_map_.clear();
}

void Restore_Servant_Handler::note_refusal(Restore_Made::Kind kind) {
    // Refused outright (an error answer, no task): nothing was made. Any
    // other failure may have made it: the request stays open.
    if (is_refusal(smartx_result_))
        journal_.refused(kind);
}

void Restore_Servant_Handler::note_created(Message::Type type, const std::string& id,
                                           const std::string& task_id) {
    Restore_Made made;
    if (type == Message::CREATE_VM_VOLUME)
        made.kind = Restore_Made::VOLUME;
    else if (type == Message::CREATE_VM)
        made.kind = Restore_Made::VM;
    else
        return;
    made.id = id;
    made.task_id = task_id;
    if (!journal_.note(made))
        journal_failed_ = true;
}

// ---- alerts, stop test, progress ----

Leftover_Alert Restore_Servant_Handler::leftover_alert() {
    return [this](const Leftover_Kept& kept) {
        raise_vm_alert(alert_client_, param_.control, job_act_.get(), Error_ID::LV_WARNING,
                       ALERT_RESTORE_LEFTOVER_KEPT, 0, leftover_alert_detail(kept));
    };
}

void Restore_Servant_Handler::add_agent_alert(unsigned level, Alert_Code code,
                                              const json_spirit::Object* detail) {
    json_spirit::Object vm;
    vm["id"] = restore_entry_.vm_src_id;
    vm["name"] = restore_entry_.vm_src_name;
    raise_vm_alert(alert_client_, param_.control, job_act_.get(), level, code, 0,
                   detail != nullptr ? *detail : vm);
}

bool Restore_Servant_Handler::is_stopped() {
    return job_stopping(job_act_);
}

}  // namespace smartx

JSON_RPC_Handler* _make_SmartX_Restore_Servant_Handler(Gobble_Function* gobble) {
    return smartx::make_exported<smartx::Restore_Servant_Handler, JSON_RPC_Handler>(
        gobble, _gobble_SmartX_Restore_Servant_Handler);
}

void _gobble_SmartX_Restore_Servant_Handler(void* handler) {
    smartx::gobble_exported<JSON_RPC_Handler>(handler);
}
