// What a sweep does with one line of a dead restore's journal and the object
// as CloudTower shows it: remove it, keep it (and say so), or leave it for a
// later sweep. No I/O here: the sweep looks things up and carries the
// verdict out.
//
// Only CloudTower's own answers tie an object to a run: the id its answer to
// the run gave (a "made" line), or, for a VM asked for whose answer never
// came, the volumes it mounts: exactly those the run's "made" lines name,
// all of them and nothing else, each made no later than the VM (both times
// CloudTower's, each given and read). A name alone proves nothing, and the
// host's clock is never held against CloudTower's.
#ifndef SMARTX_SERVANT_LEFTOVER_RULES_H
#define SMARTX_SERVANT_LEFTOVER_RULES_H

#include <map>
#include <string>
#include <vector>

#include "smartx/servant/restore_leftovers.h"

namespace smartx {

// An object as CloudTower shows it.
struct Leftover_Seen {
    std::string id;
    std::string name;
    // A VM: stopped, and what CloudTower says its status is.
    bool stopped = false;
    std::string status;
    // A VM: the platform's own (CloudTower's VM, or one it marks as in use).
    bool platform = false;
    // A VM: the volumes it mounts.
    std::vector<std::string> volumes;
    // A volume: some VM mounts it.
    bool mounted = false;
    // When CloudTower made it ("local_created_at"); empty when not told.
    std::string created;
};

// What else the sweep knows when it weighs one line.
struct Leftover_Facts {
    // The run itself settles its journal.
    bool own = false;
    // The dead run's requests may still be carried out.
    bool answers_may_come = false;
    // The task CloudTower's answer gave for making it has not ended.
    bool making = false;
    // A removal of the object is under way (journaled, its task not ended).
    bool removing = false;
    // A "left" line names the object: it is kept and was reported.
    bool already_left = false;
    // A VM of the journal is not settled yet (it may mount the volume).
    bool vms_pending = false;
    // The volumes the run's "made" lines name, each with when CloudTower
    // made it (empty when not told).
    std::map<std::string, std::string> run_volumes;
};

enum class Leftover_Verdict {
    REMOVE,   // the run's: it goes (powered off first when power_off)
    KEEP,     // not provably the run's, or in use: it stays, reported
    NOT_YET,  // it and its line wait for a later sweep
    SETTLED,  // nothing (more) to do: the line is settled
};

struct Leftover_Judgement {
    Leftover_Verdict verdict = Leftover_Verdict::NOT_YET;
    bool power_off = false;
    std::string why;
};

// The verdict on a journal line (a "made" line has its id; an "asking"
// line whose answer never came has none) and the object found for it: by
// the line's id, or one of those of the name asked for; seen is null when
// none is found.
Leftover_Judgement judge_leftover(const Restore_Made& line, const Leftover_Seen* seen,
                                  const Leftover_Facts& facts);

// CloudTower's times: "YYYY-MM-DDTHH:MM:SS", optional fractions of a second,
// then "Z" or an offset "+HH:MM" / "-HH:MM"; milliseconds since the epoch.
// Only a time each of whose fields is in its range reads (a day of its
// month, an offset of at most 14:00 with minutes below 60).
bool parse_tower_time(const std::string& text, long long& ms);

}  // namespace smartx

#endif
