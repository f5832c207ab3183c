// What earlier backups of a VM left behind (a killed servant's snapshot and
// pool files, an old base a failed clean-up kept) and what this run leaves
// itself, removed at the start and the end of each backup. The catalog says
// what committed sets need; the holds say what running backups make.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include <ace/Log_Msg.h>

#include "host/catalog.h"
#include "host/client_io.h"
#include "host/json_spirit/json_io.h"
#include "host/pool_sweep.h"
#include "host/uuid.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/backup_servant_handler.h"

namespace smartx {

namespace {
// Rows asked for at once; a shorter page is the last.
constexpr uint64_t ROWS_PER_PAGE = 1000;
// More sets than any VM keeps: an answer past this is not the VM's.
constexpr uint64_t MOST_VM_ROWS = 100 * ROWS_PER_PAGE;
// A free start second at most this far ahead is waited for; one further
// ahead (a clock set back, a crowd of stamps) is taken at once.
constexpr time_t MOST_STAMP_WAIT_S = 5;
// Sleep between looks at the clock while waiting for a second.
constexpr useconds_t CLOCK_POLL_US = 10000;
}  // namespace

bool Backup_Servant_Handler::list_vm_pool_files(Client_IO_Ex& io, std::vector<std::string>& files) {
    std::string why;
    if (io.connect(param_.pool_url, param_.control.io_opts) &&
        reclaim_pool_temporaries(io, vm_.id) >= 0 && list_pool_files(io, vm_.id, files, &why))
        return true;
    ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to list pool files of VM %C: %C%C.\n"), vm_.id.c_str(),
               io.error_text().c_str(), why.c_str()));
    return false;
}

bool Backup_Servant_Handler::hold_run() {
    // Files and snapshots are named by the second a backup starts in. A
    // second is taken when a pool file of the VM, a snapshot of the VM or a
    // running backup's hold carries it; the holds are read before the pool
    // (a run lets its hold go only once its files are there), and all under
    // the claim lock, so two backups of the VM never choose the same one.
    Hold_Claim_Lock claim;
    Live_Holds holds;
    Client_IO_Ex io;
    std::vector<std::string> files;
    if (!claim.take(vm_.id, [this] { return is_stopped(); }) || !read_live_holds(vm_.id, holds) ||
        !list_vm_pool_files(io, files)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to hold the backup of VM %C.\n"), vm_.id.c_str()));
        return false;
    }
    const auto taken = [&](time_t when) {
        const std::string stamp = backup_file_stamp(when);
        const std::string name = backup_snapshot_name(vm_.name, when);
        return holds.file_stamps.count(stamp) != 0 || holds.snapshot_names.count(name) != 0 ||
               std::any_of(files.begin(), files.end(),
                           [&](const std::string& f) { return file_has_stamp(f, stamp); }) ||
               std::any_of(vm_.snapshots.begin(), vm_.snapshots.end(),
                           [&](const Item_Identity& s) { return s.name == name; });
    };
    time_t when = std::max(start_time_, ::time(nullptr));
    while (taken(when))
        ++when;
    if (when - ::time(nullptr) <= MOST_STAMP_WAIT_S)
        while (::time(nullptr) < when)
            ::usleep(CLOCK_POLL_US);
    start_time_ = when;
    snap_name_ = backup_snapshot_name(vm_.name, start_time_);
    if (hold_.take(vm_.id, uuid_to_string(bset_uuid_), snap_name_, backup_file_stamp(start_time_)))
        return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to hold the backup of VM %C.\n"), vm_.id.c_str()));
    return false;
}

bool Backup_Servant_Handler::vm_catalog_rows(json_spirit::Array& rows) {
    const Control_Param& control = param_.control;
    RESTful_Catalog_Operator catalog(
        control.backupd_host, control.backupd_port, control.backupd_ssl, control.access_key,
        RESTful_Catalog_Operator::NO_BOUND,
        static_cast<int>(std::min<size_t>(control.max_seconds_retry, INT32_MAX)));
    rows.clear();
    // A server that does not page as asked would be read for ever: a page
    // longer than asked for, or one that starts as an earlier one did, makes
    // the rows unknown.
    std::set<std::string> page_starts;
    for (uint64_t offset = 0;; offset += ROWS_PER_PAGE) {
        json_spirit::Object filter;
        filter["vm_id"] = vm_.id;
        filter["limit"] = ROWS_PER_PAGE;
        filter["offset"] = offset;
        json_spirit::Value page;
        if (!catalog.get_view("smartx", "catalogs", filter, page) ||
            page.type() != json_spirit::array_type)
            return false;
        json_spirit::Array& got = page.get_array();
        const size_t n = got.size();
        if (n > ROWS_PER_PAGE ||
            (n > 0 && !page_starts.insert(json_spirit::write(got[0])).second) ||
            rows.size() + n > MOST_VM_ROWS) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("The catalog does not page the sets of VM %C as asked.\n"),
                       vm_.id.c_str()));
            return false;
        }
        for (json_spirit::Value& row : got)
            rows.push_back(std::move(row));
        if (n < ROWS_PER_PAGE)
            return true;
    }
}

void Backup_Servant_Handler::sweep_leftovers() {
    // Snapshots and files are listed before the holds are read, and the
    // holds before the catalog: a run ends its hold only once its set is
    // committed, so what it made is always in one or the other.
    VM now;
    error_.clear();
    const bool listed = client_->query_vm(vm_.id, now, &error_);
    Live_Holds holds;
    json_spirit::Array rows;
    if (!read_live_holds(vm_.id, holds) || !vm_catalog_rows(rows)) {
        ACE_ERROR((LM_WARNING,
                   ACE_TEXT("Leftovers of VM %C are kept: what is needed is unknown.\n"),
                   vm_.id.c_str()));
        return;
    }
    if (listed)
        sweep_snapshots(now.snapshots, rows, holds);
    else
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to list snapshots of VM %C: %C.\n"), vm_.id.c_str(),
                   error_.message.c_str()));
    sweep_pool_files(rows, holds);
}

void Backup_Servant_Handler::sweep_snapshots(const std::vector<Item_Identity>& snapshots,
                                             const json_spirit::Array& rows,
                                             const Live_Holds& holds) {
    // Another running backup of the VM may build on any committed set's
    // snapshot: then every one a row names stays.
    std::set<std::string> keep;
    const size_t own = hold_.held() ? 1 : 0;
    if (!(holds.runs > own ? named_snapshots(rows, keep) : needed_snapshots(rows, keep))) {
        ACE_ERROR(
            (LM_WARNING, ACE_TEXT("Catalog rows of VM %C name no snapshot.\n"), vm_.id.c_str()));
        return;
    }
    for (const Item_Identity& s : snapshots) {
        if (!is_backup_snapshot_name(s.name) || keep.count(s.id) != 0 ||
            holds.snapshot_names.count(s.name) != 0)
            continue;
        Error error;
        if (client_->delete_vm_snapshot(s.id, &error))
            ACE_DEBUG((LM_INFO, ACE_TEXT("Removed snapshot %C (%C) no backup needs.\n"),
                       s.id.c_str(), s.name.c_str()));
        else
            ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to remove snapshot %C no backup needs: %C.\n"),
                       s.id.c_str(), error.message.c_str()));
    }
}

void Backup_Servant_Handler::sweep_pool_files(const json_spirit::Array& rows,
                                              const Live_Holds& holds) {
    std::set<std::string> named;
    if (!named_files(rows, named))
        return;
    Client_IO_Ex io;
    std::vector<std::string> files;
    if (!list_vm_pool_files(io, files))
        return;
    for (const std::string& file : files) {
        const std::string stands_for = is_pool_temporary(file) ? temporary_file_target(file) : file;
        if (named.count(stands_for) != 0)
            continue;
        // A running backup's files carry its stamp.
        const bool held =
            std::any_of(holds.file_stamps.begin(), holds.file_stamps.end(),
                        [&](const std::string& stamp) { return file_has_stamp(file, stamp); });
        if (held)
            continue;
        if (io.remove(file))
            ACE_DEBUG(
                (LM_INFO, ACE_TEXT("Removed pool file %C no backup set names.\n"), file.c_str()));
        else
            ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to remove pool file %C: %C.\n"), file.c_str(),
                       io.error_text().c_str()));
    }
}

}  // namespace smartx
