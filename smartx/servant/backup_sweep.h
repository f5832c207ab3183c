// What backups leave behind and how the backup servant reclaims it: the VM
// snapshots it names as its own and the files of a VM in the storage pool,
// weighed against the catalog (what committed sets need) and the holds of
// running servants (what they are making).
//
// A hold is one record (smartx/servant/run_record.h) per running backup of a
// VM under /var/opt/velmora/tarnvik3/$COMPONENT/servant/hold/<vm id>/, naming
// the snapshot it makes and the stamp of its pool files. Before a run sends
// its commit, its hold says until when the set may land (a line of its own,
// on disk): a run killed with its commit on the way leaves a hold that holds
// as a running one till then. A run whose commit's answer was lost leaves its
// hold in place, with a fresh such line (without it when that cannot be
// written: the line before still holds). The last whole line saying a time
// counts; a time further ahead than the grace from now (the clock stepped
// back since it was written) holds, and is written again as the grace from
// now.
#ifndef SMARTX_SERVANT_BACKUP_SWEEP_H
#define SMARTX_SERVANT_BACKUP_SWEEP_H

#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "smartx/servant/run_record.h"

namespace smartx {

// "<vm name>-velmora-<YYYYmmdd_HHMMSS>": the name of the snapshot a backup
// of the VM takes at when.
std::string backup_snapshot_name(const std::string& vm_name, time_t when);
// Whether a snapshot name is one backup_snapshot_name gives, for any VM name.
bool is_backup_snapshot_name(const std::string& name);

// The snapshots committed sets still need: the snap_id of the newest set of
// each chain (rows of one resource and VM, in commit order), which the next
// backup of that chain builds on. A row that is not an object, or lacks the
// strings it needs, makes the answer unknown (false).
bool needed_snapshots(const json_spirit::Array& rows, std::set<std::string>& out);
// Every snap_id the rows name.
bool named_snapshots(const json_spirit::Array& rows, std::set<std::string>& out);
// Every pool file the rows' pieces name; false as above.
bool named_files(const json_spirit::Array& rows, std::set<std::string>& out);

// The pool file name a temporary file stands for (".<name>.part-XXXXXX" in
// the same directory); empty for any other name.
std::string temporary_file_target(const std::string& path);

// Whether a pool file name (or the name a temporary stands for) carries a
// file stamp.
bool file_has_stamp(const std::string& path, const std::string& stamp);

// How long a set whose commit was sent, and not answered, may still land in
// the catalog: its run's hold stays that long.
constexpr time_t COMMIT_LANDING_GRACE_S = 3600;

// What running backups of one VM hold (and runs whose set may still land).
struct Live_Holds {
    size_t runs = 0;                       // running backups, the caller's own included
    std::set<std::string> snapshot_names;  // snapshots they make
    std::set<std::string> file_stamps;     // "<YYYYmmdd-HHMMSS>" of their files
};

// The hold of one backup of a VM, kept until release() or destruction.
class Backup_Hold {
public:
    Backup_Hold() = default;
    Backup_Hold(const Backup_Hold&) = delete;
    Backup_Hold& operator=(const Backup_Hold&) = delete;

    // Writes and locks the hold of run run_id; false (logged) when it cannot.
    bool take(const std::string& vm_id, const std::string& run_id, const std::string& snapshot_name,
              const std::string& file_stamp);
    void release() { record_.release(); }
    // Notes, on disk, that the run's set (set_uuid) may land in the catalog
    // until `until`: should the run die now, its hold holds till then. False
    // (logged) when it cannot; the commit must then not be sent.
    bool note_landing(const std::string& set_uuid, time_t until);
    // Lets the hold go but leaves it in place until `until`: the run's set
    // may still land in the catalog. When that cannot be noted, the hold is
    // left in place all the same, holding till the time noted before the
    // commit was sent; false then (logged).
    bool keep_until(const std::string& set_uuid, time_t until);
    bool held() const { return record_.held(); }

private:
    Run_Record record_;
};

// Makes the claims of one VM's start seconds one at a time: while a backup
// holds this lock (its VM's hold directory locked), no other one of the VM
// can choose a second and take its hold, so no two ever choose the same.
class Hold_Claim_Lock {
public:
    Hold_Claim_Lock() = default;
    ~Hold_Claim_Lock();
    Hold_Claim_Lock(const Hold_Claim_Lock&) = delete;
    Hold_Claim_Lock& operator=(const Hold_Claim_Lock&) = delete;

    // How long a claim waits for another backup of the VM to let the lock go.
    static constexpr int WAIT_S = 5;

    // Tries for the lock without blocking on it until it is had, WAIT_S
    // passes or stopped() says the job is stopping; false (logged, saying
    // which) when it is not had.
    bool take(const std::string& vm_id, const std::function<bool()>& stopped);

private:
    int fd_ = -1;
};

// Reads the holds of the VM's running backups, removing those of backups
// that are gone; false (logged) when one cannot be read, and then nothing
// may be taken as unheld.
bool read_live_holds(const std::string& vm_id, Live_Holds& out);

// The directory of a VM's holds.
std::string hold_directory(const std::string& vm_id);

}  // namespace smartx

#endif
