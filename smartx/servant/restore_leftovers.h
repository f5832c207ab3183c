// What restores make and how what a dead one made is removed. A restore
// servant keeps a journal, a run record (smartx/servant/run_record.h) under
// /var/opt/velmora/tarnvik3/$COMPONENT/servant/restore/<run id>: taken before
// it makes anything, it names the CloudTower it restores into, then each
// volume and VM as soon as CloudTower has answered its creation, by id and
// with the task that makes it. A finished restore removes its journal; one
// that failed removes what it made and keeps the journal only when something
// of it could not be removed. Whoever meets the journal of a dead run (the
// next restore servant, the restore job's start) removes what it names: the
// VM first, then each volume no other VM mounts.
#ifndef SMARTX_SERVANT_RESTORE_LEFTOVERS_H
#define SMARTX_SERVANT_RESTORE_LEFTOVERS_H

#include <string>
#include <vector>

#include "smartx/common/login_info.h"
#include "smartx/servant/run_record.h"

namespace smartx {

class RESTful_Client;

// One thing a restore made.
struct Restore_Made {
    enum Kind { VOLUME, VM };
    Kind kind = VOLUME;
    std::string id;
    std::string task_id;  // the task that makes it; empty when unknown
};

// What a restore's journal names: the CloudTower ("host:port") and what was
// made there.
struct Restore_Journal_Text {
    std::string tower;
    std::vector<Restore_Made> made;
};

// The CloudTower a login reaches, as journals name it.
std::string journal_tower(const Login_Info& login);

// Reads a journal's lines; a last line cut short (a run killed while adding
// it) is dropped. False when the text is no journal.
bool read_restore_journal(const std::string& text, Restore_Journal_Text& out);

// The journal of one running restore.
class Restore_Journal {
public:
    Restore_Journal() = default;
    // Left to a later run when not closed: what it names may still be there.
    ~Restore_Journal() { record_.keep(); }
    Restore_Journal(const Restore_Journal&) = delete;
    Restore_Journal& operator=(const Restore_Journal&) = delete;

    // Takes the journal of run run_id for this CloudTower and the VM it
    // restores (its source id and target name, for people reading it);
    // false (logged) when it cannot, and then the restore makes nothing.
    bool open(const std::string& run_id, const std::string& tower, const std::string& vm_src_id,
              const std::string& vm_name);
    // Notes what CloudTower has answered to make; false (logged) when the
    // journal could not take it: the restore must then make nothing more.
    bool note(const Restore_Made& made);
    const std::vector<Restore_Made>& made() const { return made_; }
    // Forgets what was removed, or has a purpose of its own.
    void forget(const std::vector<Restore_Made>& settled);
    // Ends the run's journal: removed when nothing it names is left to
    // remove, else left for a later run to settle.
    void close();
    // Ends a finished restore's journal: what it made is the restore's.
    void finish() {
        made_.clear();
        close();
    }
    bool held() const { return record_.held(); }

private:
    Run_Record record_;
    std::vector<Restore_Made> made_;
};

// Removes what a restore made: its VM first (powered off), then each volume
// that no VM mounts. settled gets what is gone (or was never made: its task
// ended without it) and the volumes another VM now mounts, which are that
// VM's; the rest stays: CloudTower could not be read or refused, a creation
// task has not ended, or the VM could not be removed (then no volume is
// touched). True when everything is settled.
bool remove_restore_made(RESTful_Client& client, const std::vector<Restore_Made>& made,
                         std::vector<Restore_Made>& settled);

// Deletes the volume unless a VM mounts it. GONE: deleted, or not found;
// MOUNTED: kept; FAILED: CloudTower could not be read or refused, why in
// *why.
enum class Volume_Removal { GONE, MOUNTED, FAILED };
Volume_Removal delete_unmounted_volume(RESTful_Client& client, const std::string& id,
                                       std::string* why);

// Settles the journals of dead restores into the CloudTower the client is
// logged in to (tower): what each one names is removed, and a journal with
// nothing left goes. Journals of other CloudTowers and of running restores
// are left alone.
void sweep_dead_restores(RESTful_Client& client, const std::string& tower);

// The directory of the restores' journals.
std::string restore_journal_directory();

}  // namespace smartx

#endif
