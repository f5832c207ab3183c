#include "smartx/servant/backup_servant_handler.h"

#include <cxxabi.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/catalog.h"
#include "host/uuid.h"
#include "json_spirit/extract.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "qorm/scoped_deleter.h"
#include "qorm/time_format.h"
#include "smartx/common/cluster.h"
#include "smartx/common/connect_params.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/login_info.h"
#include "smartx/common/vm_volume.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/servant_common.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {

namespace {
bool is_disk(const VM_Snapshot::Snapshot_VM_Disk& disk) {
    return disk.get_type() == VM_Disk_Type::DISK;
}
}  // namespace

Backup_Servant_Handler::Backup_Servant_Handler()
    : Servant_Handler("backup", ACE_TEXT("Failed to load params, %C.\n")) {}

Backup_Servant_Handler::~Backup_Servant_Handler() = default;

void Backup_Servant_Handler::reset_request() {
    start_time_ = 0;
    zbs_.reset();
    cluster_ip_.clear();
    param_ = Backup_Param();
    backup_entry_.clear();
    job_act_.close();
    progress_.close();
    vm_ = VM();
    last_snap_id_.clear();
    snap_name_.clear();
    hold_.release();
    vm_snap_ = VM_Snapshot();
    last_vm_snap_ = VM_Snapshot();
    error_.clear();
    bset_ = SmartX_Backup_Set();
    // A fresh client: no login or connection of the previous request is reused.
    client_.reset(new (std::nothrow) RESTful_Client);
    if (client_)
        client_->set_stop_check([this] { return is_stopped(); });
    chunks_.clear();
    backup_vm_info_ = Backuped_VM_Info();
    result_.clear();
    succeed_vols_.clear();
    commit_state_ = Commit_State::NOT_COMMITTED;
    retry_ = false;
    std::fill(std::begin(bset_uuid_), std::end(bset_uuid_), 0);
    base_volumes_.clear();
}

bool Backup_Servant_Handler::load_params(const json_spirit::Value& param,
                                         const json_spirit::Value& entry) {
    return param_.load(param) && backup_entry_.load(entry);
}

void Backup_Servant_Handler::run() {
    finish_backup(handle_backup_i());
}

void Backup_Servant_Handler::finish_backup(bool succeeded) {
    // A set the catalog may hold keeps all it is made of: its files, its
    // snapshot and the base before it.
    const bool unsettled = commit_state_ == Commit_State::UNSETTLED;
    if (succeeded) {
        set_progress_state(VM_Job_Progress::STATE_COMPLETED);
        result_["code"] = static_cast<int>(Task_Base::CODE_SUCCESS);
        if (!last_snap_id_.empty()) {
            error_.clear();
            if (!client_->delete_vm_snapshot(last_snap_id_, &error_))
                ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to delete last VM snap: %C.[%C]\n"),
                           last_snap_id_.c_str(), error_.message.c_str()));
        }
    } else {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to backup VM %C.\n"), param_.vm_id.c_str()));
        if (!chunks_.empty())
            add_agent_alert(Error_ID::LV_WARNING, ALERT_BACKUP_FAILED, 0);
        if (!unsettled)
            delete_backup_piece();
        set_progress_state(VM_Job_Progress::STATE_FAILED);
        // A failed backup answers its code alone.
        result_.clear();
        result_["code"] =
            static_cast<int>(retry_ ? Task_Base::CODE_FAILED_RETRY : Task_Base::CODE_FAILED);
    }

    // This run's snapshot stays only as the base of the next backup: after a
    // successful incremental one, or a successful full one that keeps it. A
    // failed backup leaves the previous base as it was.
    const bool keep =
        succeeded && (param_.backup_type != JOB_DEFINITION_SUBTYPE_FULL || param_.reserve_snapshot);
    if (!vm_snap_.id.empty() && !keep && !unsettled) {
        error_.clear();
        if (!client_->delete_vm_snapshot(vm_snap_.id, &error_))
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete VM snap: %C.\n"), vm_snap_.id.c_str()));
    }
    // What this run leaves is weighed like any other run's: committed, it is
    // the newest set's. Unsettled, its hold stays until its commit can no
    // longer land; the first run after that settles it.
    if (unsettled && hold_.held()) {
        // Its commit may still be on its way in: what the set is made of
        // stays held for the sweeps of the runs that follow, for a while.
        if (!hold_.keep_until(bset_.uuid, ::time(nullptr) + COMMIT_LANDING_GRACE_S))
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("Backup set %C of VM %C is held only until the time its hold "
                                "noted before the commit was sent.\n"),
                       bset_.uuid.c_str(), vm_.id.c_str()));
    } else if (hold_.held()) {
        hold_.release();
        sweep_leftovers();
    }
    progress_->end_time = ::time(nullptr);
}

bool Backup_Servant_Handler::job_init() {
    start_time_ = ::time(nullptr);
    uuid_from_string(uuid_generate_text(), bset_uuid_);

    return open_job_records(
        job_act_, progress_, param_.control.def_id, param_.vm_id,
        ACE_TEXT("Failed to open progress object of job '%C' for SmartX VM[uuid:%C].\n"));
}

bool Backup_Servant_Handler::init() {
    if (!open_cluster(*client_, param_.control, param_.cluster_id, cluster_ip_, zbs_, error_,
                      ACE_TEXT("Failed to login SmartX %C.\n")))
        return false;
    if (!client_->query_vm(param_.vm_id, vm_, &error_)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query VM[id:%C] from Smartx, error: %C.\n"),
                   param_.vm_id.c_str(), error_.message.c_str()));
        return false;
    }

    reset_progress(*progress_.get(), start_time_);
    // The alert client takes the backup server's address and key from the
    // host settings: nothing to set up here.
    return true;
}

bool Backup_Servant_Handler::handle_backup_i() {
    if (!hold_run())
        return false;
    sweep_leftovers();
    if (!check_datastore()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Not enough space of datastore.\n")));
        return false;
    }
    if (!get_base_backup() && param_.backup_type != JOB_DEFINITION_SUBTYPE_FULL) {
        ACE_ERROR(
            (LM_WARNING,
             ACE_TEXT("Can not find prior backup set for VM %C, perform full backup instead\n"),
             vm_.id.c_str()));
        change_backup_type(ALERT_NO_PRIOR_BACKUP);
    }
    if (!check_snap() && param_.backup_type != JOB_DEFINITION_SUBTYPE_FULL) {
        ACE_ERROR((LM_WARNING, ACE_TEXT("Perform full backup instead\n")));
        change_backup_type(ALERT_LAST_SNAPSHOT_UNUSABLE);
    }
    // The remaining steps, each with the alert and the message of its failure.
    struct Step {
        bool (Backup_Servant_Handler::*run)();
        Alert_Code alert_code;
        const ACE_TCHAR* failure;
    };
    const bool full = param_.backup_type == JOB_DEFINITION_SUBTYPE_FULL;
    const Step steps[] = {
        {full ? &Backup_Servant_Handler::create_volume_snap
              : &Backup_Servant_Handler::create_volume_incremental_snap,
         ALERT_SNAPSHOT_FAILED,
         full ? ACE_TEXT("Failed to create volume snap.\n")
              : ACE_TEXT("Failed to create volume incremental snap.\n")},
        {&Backup_Servant_Handler::backup_volumes, ALERT_VOLUMES_FAILED,
         ACE_TEXT("Failed to backup volumes.\n")},
        {&Backup_Servant_Handler::backup_vm_info, ALERT_VM_INFO_FAILED,
         ACE_TEXT("Failed to backup VM info.\n")},
        {&Backup_Servant_Handler::save_catalog, ALERT_CATALOG_FAILED,
         ACE_TEXT("Failed to save catalog.\n")},
    };
    for (const Step& step : steps)
        if (!(this->*step.run)()) {
            add_agent_alert(Error_ID::LV_ERROR, step.alert_code, 0);
            ACE_ERROR((LM_ERROR, step.failure));
            return false;
        }
    return true;
}

void Backup_Servant_Handler::change_backup_type(Alert_Code code) {
    param_.backup_type = JOB_DEFINITION_SUBTYPE_FULL;
    add_agent_alert(Error_ID::LV_WARNING, code, 0);
}

// ---- free space ----

bool Backup_Servant_Handler::check_datastore() {
    if (param_.storage_reserved_bytes == 0 && param_.storage_reserved_percent == 0) {
        ACE_DEBUG((LM_DEBUG, ACE_TEXT("Skip checking space of datastore.\n")));
        return true;
    }
    if (vm_.vm_disks.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Not find vm disks %C.\n"), vm_.id.c_str()));
        return false;
    }
    Cluster cluster;
    error_.clear();
    // Without the cluster's figures the backup goes on.
    if (!client_->query_cluster(vm_.cluster.id, cluster, &error_))
        return true;
    if (!not_enough_space(cluster))
        return true;
    add_agent_alert(Error_ID::LV_ERROR, ALERT_SHORT_OF_SPACE, 0);
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("Not enough space of cluster[id:%C], used data[%q], total capacity[%q].\n"),
               cluster.id.c_str(), static_cast<long long>(cluster.used_data_space),
               static_cast<long long>(cluster.total_data_capacity)));
    return false;
}

bool Backup_Servant_Handler::not_enough_space(const Cluster& cluster) {
    const int64_t used = cluster.used_data_space;
    const int64_t total = cluster.total_data_capacity;
    // Used space above the total counts as no free space. Products are taken
    // wide: a capacity times a percentage can exceed 64 bits.
    const __int128 free = static_cast<__int128>(total) - std::min(used, total);
    if (param_.storage_reserved_bytes != 0 &&
        static_cast<__int128>(param_.storage_reserved_bytes) >= free)
        return true;
    if (param_.storage_reserved_percent == 0)
        return false;
    return free * 100 <= static_cast<__int128>(total) * param_.storage_reserved_percent;
}

// ---- base backup and previous snapshot ----

bool Backup_Servant_Handler::get_last_catalog(json_spirit::Value& result) {
    const Control_Param& control = param_.control;
    RESTful_Catalog_Operator catalog(
        control.backupd_host, control.backupd_port, control.backupd_ssl, control.access_key,
        RESTful_Catalog_Operator::NO_BOUND,
        static_cast<int>(std::min<size_t>(control.max_seconds_retry, INT32_MAX)));
    json_spirit::Object filter;
    filter["resource_uuid"] = control.resource_uuid;
    filter["vm_id"] = vm_.id;
    return catalog.get_view("smartx", "base_catalog", filter, result) &&
           result.type() == json_spirit::array_type && !result.get_array().empty();
}

bool Backup_Servant_Handler::get_base_backup() {
    json_spirit::Value result;
    if (!get_last_catalog(result)) {
        ACE_DEBUG((LM_INFO, ACE_TEXT("Failed to get backup of VM %C.\n"), vm_.id.c_str()));
        ACE_DEBUG((LM_INFO, ACE_TEXT("Failed to get base bset.\n")));
        return false;
    }
    const json_spirit::Value& last = result.get_array().back();
    QORM_CHECK_SHAPE_RETURN(last.type() == json_spirit::obj_type,
                            "result.get_array().back() is not object", false);
    const json_spirit::Object& row = last.get_obj();
    std::string uuid;
    std::string incarnation;
    std::string minor_resource_id;
    std::string snap_id;
    try {
        // clang-format off
        json_spirit::extract_or_throw(row)
            ("uuid", uuid, true)
            ("incarnation", incarnation, true)
            ("minor_resource_id", minor_resource_id, true)
            ("snap_id", snap_id, true);
        // clang-format on
    } catch (const std::exception& e) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get base backup info of VM %C: %C\n"),
                   vm_.id.c_str(), e.what()));
        return false;
    }
    last_snap_id_ = snap_id;
    if (param_.backup_type == JOB_DEFINITION_SUBTYPE_FULL)
        return true;
    bset_.base_sets.push_back(uuid);
    bset_.incarnation = incarnation;
    bset_.minor_resource_id = minor_resource_id;
    // The disks the base set holds; a piece without a volume (the VM
    // description) names none.
    if (const json_spirit::Array* pieces = json_spirit::object_get_array(row, "pieces"))
        for (const json_spirit::Value& piece : *pieces) {
            if (piece.type() != json_spirit::obj_type)
                continue;
            const json_spirit::Object* attrs =
                json_spirit::object_get_object(piece.get_obj(), "extended_attrs");
            const std::string* local_id =
                attrs != nullptr ? json_spirit::object_get_str(*attrs, "vm_volume_local_id")
                                 : nullptr;
            if (local_id != nullptr && !local_id->empty())
                base_volumes_.insert(*local_id);
        }
    return true;
}

bool Backup_Servant_Handler::check_snap() {
    error_.clear();
    // A partly read snapshot is no base to build on.
    if (last_snap_id_.empty() ||
        !client_->query_vm_snapshot(last_snap_id_, last_vm_snap_, &error_)) {
        ACE_DEBUG((LM_INFO, ACE_TEXT("Can not find last snap for VM %C, error:%C.\n"),
                   vm_.id.c_str(), error_.message.c_str()));
        last_vm_snap_ = VM_Snapshot();
        return false;
    }
    if (param_.backup_type == JOB_DEFINITION_SUBTYPE_FULL)
        return true;
    for (const VM_Disk& disk : vm_.vm_disks) {
        if (disk.get_type() != VM_Disk_Type::DISK)
            continue;
        const std::string& local_id = disk.vm_volume.local_id;
        // A disk this backup leaves out needs no base.
        VM_Snapshot::Snapshot_VM_Disk probe;
        probe.vm_volume_local_id = local_id;
        if (!selected(probe))
            continue;
        const VM_Snapshot::Snapshot_VM_Disk* last = last_snap_disk(local_id);
        if (last == nullptr) {
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("Can not find last snap for VM %C, volume %C not found.\n"),
                       vm_.id.c_str(), local_id.c_str()));
            return false;
        }
        if (last->size != disk.vm_volume.size) {
            ACE_ERROR(
                (LM_WARNING, ACE_TEXT("Volume %C size has been changed.\n"), local_id.c_str()));
            return false;
        }
    }
    return true;
}

const VM_Snapshot::Snapshot_VM_Disk* Backup_Servant_Handler::last_snap_disk(
    const std::string& volume_local_id) const {
    for (const VM_Snapshot::Snapshot_VM_Disk& d : last_vm_snap_.vm_disks)
        if (is_disk(d) && d.vm_volume_local_id == volume_local_id)
            return &d;
    return nullptr;
}

bool Backup_Servant_Handler::selected(const VM_Snapshot::Snapshot_VM_Disk& disk) const {
    if (backup_entry_.volumes.empty())
        return true;
    for (const Backup_Source_Entry::Disk_Volume& v : backup_entry_.volumes)
        if (v.volume_local_id == disk.vm_volume_local_id)
            return true;
    return false;
}

// ---- snapshot ----

std::string Backup_Servant_Handler::create_snap_name() const {
    return snap_name_;
}

bool Backup_Servant_Handler::create_vm_snapshot() {
    const std::string name = create_snap_name();
    error_.clear();
    bool created = client_->create_vm_snapshot(name, vm_.id, vm_snap_,
                                               param_.snapshot != "CRASH_CONSISTENT", &error_);
    if (!created && param_.snapshot == "auto") {
        // A snapshot that came half-way is still this run's to remove.
        if (!vm_snap_.id.empty() && client_->delete_vm_snapshot(vm_snap_.id, nullptr))
            vm_snap_ = VM_Snapshot();
        error_.clear();
        created = vm_snap_.id.empty() &&
                  client_->create_vm_snapshot(name, vm_.id, vm_snap_, false, &error_);
    }
    if (!created)
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to create VM %C snapshot[id:%C] for Smartx, error:%C.\n"),
                   param_.snapshot.c_str(), vm_.id.c_str(), error_.message.c_str()));
    return created;
}

bool Backup_Servant_Handler::create_volume_snap() {
    if (!create_vm_snapshot())
        return false;
    bset_.snap_id = vm_snap_.id;
    return param_.control.allocated_blocks ? prepare_valid_chunk() : prepare_chunk();
}

bool Backup_Servant_Handler::create_volume_incremental_snap() {
    if (!create_vm_snapshot())
        return false;
    if (last_vm_snap_.id.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Can not find last snapshot of VM[id:%C] from SmartX.\n"),
                   param_.vm_id.c_str()));
        return false;
    }
    bset_.snap_id = vm_snap_.id;
    return param_.control.allocated_blocks ? prepare_incremental_valid_chunk()
                                           : prepare_incremental_chunk();
}

// ---- chunk planning ----

bool Backup_Servant_Handler::prepare_chunk() {
    return prepare_chunks(Plan::EXTENTS, false);
}

bool Backup_Servant_Handler::prepare_valid_chunk() {
    return prepare_chunks(Plan::WRITTEN_AREA, false);
}

bool Backup_Servant_Handler::prepare_incremental_chunk() {
    return prepare_chunks(Plan::EXTENTS, true);
}

bool Backup_Servant_Handler::prepare_incremental_valid_chunk() {
    return prepare_chunks(Plan::WRITTEN_AREA, true);
}

bool Backup_Servant_Handler::prepare_chunks(Plan plan, bool incremental) {
    chunks_.clear();
    for (const VM_Snapshot::Snapshot_VM_Disk& disk : vm_snap_.vm_disks) {
        if (!is_disk(disk) || !selected(disk))
            continue;
        Chunk_Ptr chunk(new (std::nothrow) Chunk);
        QORM_CHECK_NOT_NULL_RETURN(chunk, false);
        chunk->snap = disk;
        chunk->size = disk.size;
        chunk->volume_local_id = disk.vm_volume_local_id;

        VM_Volume volume;
        error_.clear();
        if (!client_->query_vm_volume_by_local_id(disk.vm_volume_local_id, volume, &error_)) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to find VM Volume [local id:%C] for Smartx, error:%C.\n"),
                       disk.vm_volume_local_id.c_str(), error_.message.c_str()));
            return false;
        }
        chunk->volume_id = volume.id;

        ISCSI_LUN_Snapshot lun;
        error_.clear();
        if (!client_->query_iscsi_lun_snapshot(disk.snapshot_local_id, lun, &error_)) {
            // A disk that is not copied would leave a backup set without it.
            ACE_ERROR(
                (LM_ERROR,
                 ACE_TEXT("Failed to find LUN snapshot [%C] of volume %C for Smartx, error:%C.\n"),
                 disk.snapshot_local_id.c_str(), disk.vm_volume_local_id.c_str(),
                 error_.message.c_str()));
            return false;
        }
        chunk->zbs_volume_id = lun.local_id;

        if (!plan_disk(*chunk, plan, incremental))
            return false;
        chunk->used_size = static_cast<int64_t>(
            clip_blocks(chunk->blocks, static_cast<uint64_t>(std::max<int64_t>(chunk->size, 0))));
        chunk->remote_path = file_name(chunk->blocks.empty(), chunk->volume_local_id,
                                       param_.control.io_opts.compression);
        chunks_.push_back(std::move(chunk));
    }
    return true;
}

bool Backup_Servant_Handler::plan_disk(Chunk& chunk, Plan plan, bool incremental) {
    if (!incremental)
        return plan_full(chunk, plan);
    // A disk the base set does not hold is copied whole: there is nothing
    // for its changes to build on.
    if (base_volumes_.count(chunk.volume_local_id) == 0) {
        ACE_DEBUG((LM_INFO,
                   ACE_TEXT("Volume %C has no piece in the base backup set, backup it in full.\n"),
                   chunk.volume_local_id.c_str()));
        return plan_full(chunk, plan);
    }
    const VM_Snapshot::Snapshot_VM_Disk* last = last_snap_disk(chunk.volume_local_id);
    if (last == nullptr)
        return plan_full(chunk, plan);
    ISCSI_LUN_Snapshot last_lun;
    error_.clear();
    if (!client_->query_iscsi_lun_snapshot(last->snapshot_local_id, last_lun, &error_)) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT("Failed to find last LUN snapshot [%C] of volume %C for Smartx, error:%C.\n"),
             last->snapshot_local_id.c_str(), chunk.volume_local_id.c_str(),
             error_.message.c_str()));
        return false;
    }
    return plan_changes(chunk, plan, last_lun.local_id);
}

bool Backup_Servant_Handler::plan_full(Chunk& chunk, Plan plan) {
    if (plan == Plan::EXTENTS) {
        zbs_pextent* map = nullptr;
        const int count = get_zbs_pextents(zbs_.get(), chunk.zbs_volume_id, &map);
        if (count < 0) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get zbs pextents for volume[%C].\n"),
                       chunk.zbs_volume_id.c_str()));
            return false;
        }
        chunk.total_blocks = count;
        extents_to_blocks(map, count, nullptr, chunk.blocks);
        return true;
    }
    zbs_diff_t raw = nullptr;
    const bool got = get_zbs_diff(zbs_.get(), chunk.zbs_volume_id, &raw);
    const Zbs_Diff diff(raw);
    if (!got) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to execute get_zbs_diff [zbs_volume_id :%C].\n"),
                   chunk.zbs_volume_id.c_str()));
        return false;
    }
    parse_zbs_diff_to_chunk(diff.get(), param_.control.zbs_block_size, chunk.zbs_volume_id,
                            chunk.blocks);
    return true;
}

bool Backup_Servant_Handler::plan_changes(Chunk& chunk, Plan plan,
                                          const std::string& last_zbs_volume_id) {
    if (plan == Plan::EXTENTS) {
        // The older map is copied out before the newer one is asked for.
        std::vector<zbs_pextent> old_map;
        zbs_pextent* map = nullptr;
        const int old_count = get_zbs_pextents(zbs_.get(), last_zbs_volume_id, &map);
        if (old_count >= 0)
            old_map.assign(map, map + old_count);
        map = nullptr;
        const int count = get_zbs_pextents(zbs_.get(), chunk.zbs_volume_id, &map);
        if (count < 0) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get zbs pextents for volume[%C].\n"),
                       chunk.zbs_volume_id.c_str()));
            return false;
        }
        chunk.total_blocks = count;
        extents_to_blocks(map, count, old_count >= 0 ? &old_map : nullptr, chunk.blocks);
        return true;
    }
    zbs_diff_t raw = nullptr;
    const bool got = get_zbs_diff(zbs_.get(), last_zbs_volume_id, chunk.zbs_volume_id, &raw);
    const Zbs_Diff diff(raw);
    if (!got) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT("Failed to execute get_zbs_diff [last_lun.local_id :%C, lun.local_id:%C].\n"),
             last_zbs_volume_id.c_str(), chunk.zbs_volume_id.c_str()));
        return false;
    }
    parse_zbs_diff_to_chunk(diff.get(), param_.control.zbs_block_size, chunk.zbs_volume_id,
                            chunk.blocks);
    return true;
}

// ---- alerts, stop test, progress ----

void Backup_Servant_Handler::add_agent_alert(unsigned level, Alert_Code code, unsigned extra) {
    json_spirit::Object detail;
    detail["id"] = vm_.id;
    detail["name"] = vm_.name;
    raise_vm_alert(alert_client_, param_.control, job_act_.get(), level, code, extra, detail);
}

bool Backup_Servant_Handler::is_stopped() {
    if (!job_stopping(job_act_))
        return false;
    retry_ = false;
    return true;
}

std::string Backup_Servant_Handler::file_name(bool empty, const std::string& name,
                                              int compression) const {
    return backup_file_name(vm_.id, empty, name, param_.backup_type, start_time_, compression);
}

}  // namespace smartx

JSON_RPC_Handler* _make_SmartX_Backup_Servant_Handler(Gobble_Function* gobble) {
    return smartx::make_exported<smartx::Backup_Servant_Handler, JSON_RPC_Handler>(
        gobble, _gobble_SmartX_Backup_Servant_Handler);
}

void _gobble_SmartX_Backup_Servant_Handler(void* handler) {
    smartx::gobble_exported<JSON_RPC_Handler>(handler);
}
