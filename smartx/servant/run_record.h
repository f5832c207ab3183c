// What a running servant is making, recorded where every servant of the
// host can read it: one file per run under a directory of the host, locked
// (flock) for the run's life. A killed servant's lock goes with it, so a
// record that can be locked belongs to no running servant: it is a dead
// run's, and whoever reads it settles what it names.
//
// A record is written under a hidden name, locked and only then renamed into
// place, so a record under its name is complete and locked until its run
// ends. What is added later goes at its end, one line at a time: a run killed
// while adding leaves at most a last line cut short, which readers drop.
#ifndef SMARTX_SERVANT_RUN_RECORD_H
#define SMARTX_SERVANT_RUN_RECORD_H

#include <functional>
#include <string>

namespace smartx {

// A name that is one path part of our own: not empty, no separators,
// nothing hidden.
bool plain_path_part(const std::string& s);

// /var/opt/velmora/tarnvik3/$COMPONENT/servant/<kind> under HOST_ROOT: where
// the servants keep their records of one kind ("hold", "restore").
std::string servant_record_directory(const std::string& kind);

class Run_Record {
public:
    Run_Record() = default;
    ~Run_Record() { release(); }
    Run_Record(const Run_Record&) = delete;
    Run_Record& operator=(const Run_Record&) = delete;

    // Writes text as the record run_id of dir (made as needed) and keeps it
    // locked; false (logged) when it cannot, and then nothing is left.
    bool take(const std::string& dir, const std::string& run_id, const std::string& text);
    // Adds text at the record's end; false (logged) when it cannot.
    bool append(const std::string& text);
    // Removes the record: its run leaves nothing to settle.
    void release();
    // Lets the record go and leaves it in place: its run leaves something a
    // later reader settles.
    void keep();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string path_;
};

// Called for each record of a directory with its run id and text. live: its
// run holds it. For a dead run's record, which the visit holds locked while
// it runs, the answer says whether to remove it; for a live one it is unused.
using Record_Visit =
    std::function<bool(const std::string& run_id, const std::string& text, bool live)>;

// Visits every record of dir, and removes the unfinished ones (hidden) of
// runs that died before their record was complete. False (logged) when the
// directory cannot be listed or a record cannot be read; a missing directory
// holds no records.
bool visit_records(const std::string& dir, const Record_Visit& visit);

}  // namespace smartx

#endif
