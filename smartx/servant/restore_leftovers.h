// What restores make and how what a dead one made is removed. A restore
// servant keeps a journal, a run record (smartx/servant/run_record.h) under
// /var/opt/velmora/tarnvik3/$COMPONENT/servant/restore/<run id>, one JSON
// object a line, each on disk before the request it announces is sent:
//
//   {"tower", "vm_src_id", "vm_name", "started"}    the header: the CloudTower
//                                                   it restores into, when
//                                                   (the host's time, > 0)
//   {"asking": kind, "name"[, "volumes"]}           before each create request:
//                                                   the name it gives, and for
//                                                   a VM the volumes it mounts
//                                                   (for people: they prove
//                                                   nothing)
//   {"made": kind, "id", "task", "name"}            once CloudTower answered it
//   {"refused": kind, "name"}                       CloudTower refused the
//                                                   request: nothing was made
//   {"deleting": kind, "id", "task"}                a removal under way
//   {"left": kind, "id", "name", "why"}             kept and reported: not
//                                                   provably the run's, or in use
//
// A finished restore removes its journal; one that failed removes what it
// made and keeps the journal while something of it is not settled, a
// request whose answer it never got among them. Whoever meets the journal of
// a dead run (the next restore servant, the restore job's start) settles
// what it names: the VM first, then the volumes, by the rules of
// leftover_rules.h: only what CloudTower's own answers tie to the run goes;
// what a name alone ties to it stays, with a log line, an alert and a
// "left" line. A journal whose header is not whole is set aside, and nothing
// it names is deleted. A removal whose task has not ended is not waited for
// again: it is left to the next run.
#ifndef SMARTX_SERVANT_RESTORE_LEFTOVERS_H
#define SMARTX_SERVANT_RESTORE_LEFTOVERS_H

#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "smartx/common/login_info.h"
#include "smartx/servant/run_record.h"

namespace smartx {

class RESTful_Client;

// One thing a restore made, or asked CloudTower to make.
struct Restore_Made {
    enum Kind { VOLUME, VM };
    Kind kind = VOLUME;
    std::string id;       // empty: asked for, no answer journaled
    std::string task_id;  // the task that makes it; empty when unknown
    std::string name;     // the name the restore gave it
    // A VM asked for: the volumes it mounts.
    std::vector<std::string> volumes;
};

// What a restore's journal says.
struct Restore_Journal_Text {
    std::string tower;   // "host:port"
    time_t started = 0;  // > 0 in a journal that reads
    std::vector<Restore_Made> made;
    // Asked for, and no answer journaled.
    std::vector<Restore_Made> asked;
    // Removal tasks under way, by kind and id.
    std::map<std::pair<Restore_Made::Kind, std::string>, std::string> deleting;
    // What stays: no longer the journal's to remove.
    std::set<std::pair<Restore_Made::Kind, std::string>> left;
    // Lines that are no journal line (a last line cut short is not one).
    size_t unreadable = 0;
};

// The CloudTower a login reaches, as journals name it.
std::string journal_tower(const Login_Info& login);

// Reads a journal's lines, each on its own; false when it has no whole
// header (a CloudTower and a start time), why in *why when given.
bool read_restore_journal(const std::string& text, Restore_Journal_Text& out,
                          std::string* why = nullptr);
// The lines of a journal saying what journal says (what is made before what
// is asked for); its unreadable lines are not there.
std::string write_restore_journal(const Restore_Journal_Text& journal);

// An object a clean-up keeps, or a journal set aside (kind "journal", its
// file as id), and why.
struct Leftover_Kept {
    std::string kind;
    std::string id;
    std::string name;
    std::string run;  // the run whose journal named it
    std::string why;
};
// Told of each.
using Leftover_Alert = std::function<void(const Leftover_Kept& kept)>;
// The details of the alert that reports one: {"kind", "id", "name", "run",
// "reason"}.
json_spirit::Object leftover_alert_detail(const Leftover_Kept& kept);

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
    // Notes what is about to be asked for (kind, name, a VM's volumes);
    // false (logged) when the journal could not take it: it must not be
    // asked for.
    bool asking(const Restore_Made& what);
    // Notes what CloudTower has answered to make (kind, id, task), named as
    // the last asked for of its kind; false (logged) when the journal could
    // not take it: the restore must then make nothing more.
    bool note(const Restore_Made& made);
    // Notes that CloudTower refused the last request asked for of kind (an
    // error answer: nothing was made); false (logged) when the journal could
    // not take it, and then the request stays open.
    bool refused(Restore_Made::Kind kind);
    // Removes what the run made or asked for, as remove_restore_made does,
    // and forgets what is settled (into *settled when given). True when
    // nothing is left.
    bool remove_made(RESTful_Client& client, const Leftover_Alert& alert,
                     std::vector<Restore_Made>* settled = nullptr);
    // Whether something made or asked for is not settled.
    bool unsettled() const { return !text_.made.empty() || !text_.asked.empty(); }
    const std::vector<Restore_Made>& made() const { return text_.made; }
    // Ends the run's journal: removed when nothing it names is left to
    // remove, else left for a later run to settle. A removal that may not be
    // on disk (a crash may bring the journal back whole) is told to alert,
    // as a journal kept.
    void close(const Leftover_Alert& alert = nullptr);
    // Ends a finished restore's journal: what it made is the restore's.
    void finish(const Leftover_Alert& alert = nullptr);
    bool held() const { return record_.held(); }

private:
    bool add(const std::string& line);

    Run_Record record_;
    std::string run_id_;
    Restore_Journal_Text text_;
};

// Who settles a journal: the run itself (it may power off a VM it made and
// knows by id: its check started it; a request whose answer it did not get
// stays open), or a later run, which takes an object asked for and not found
// as never made only once the dead run's requests can no longer be carried
// out (answers_may_come: its journal was written too recently for that).
struct Restore_Settling {
    bool own = false;
    bool answers_may_come = false;
    std::string run_id;
};

// Removes what a journal names: VMs first, then volumes (none a VM of the
// journal may still mount), each as the rules of leftover_rules.h say.
// append adds a line to the journal; settled gets what is gone, was never
// made, or was left (kept for failing a check). True when everything is
// settled.
bool remove_restore_made(RESTful_Client& client, const Restore_Journal_Text& journal,
                         const Restore_Settling& who, const Record_Append& append,
                         const Leftover_Alert& alert, std::vector<Restore_Made>& settled);

// Deletes the volume unless a VM mounts it. GONE: deleted, or not found;
// MOUNTED: kept; FAILED: CloudTower could not be read or refused, why in
// *why.
enum class Volume_Removal { GONE, MOUNTED, FAILED };
Volume_Removal delete_unmounted_volume(RESTful_Client& client, const std::string& id,
                                       std::string* why);

// Settles the journals of dead restores into the CloudTower the client is
// logged in to (tower): what each one names is removed as above, and a
// journal with nothing left goes; one that cannot be read, or has lines that
// cannot, is set aside once what it names is settled (alerted). Journals of
// other CloudTowers and of running restores are left alone. Task waits are
// cut short (the client's stop check still holds): what is not finished is
// left to the next run.
void sweep_dead_restores(RESTful_Client& client, const std::string& tower,
                         const Leftover_Alert& alert);

// The directory of the restores' journals.
std::string restore_journal_directory();

// The longest a sweep waits for one task, unless the environment's bound
// (SMARTX_TASK_WAIT_SECONDS) is shorter.
constexpr unsigned SWEEP_TASK_WAIT_S = 60;
// How long after a dead run's last journal line a request it sent may still
// be carried out (CloudTower answering late): what it asked for and is not
// there yet is not taken as never made.
constexpr time_t LATE_ANSWER_GRACE_S = 120;

}  // namespace smartx

#endif
