// What a running servant is making, recorded where every servant of the
// host can read it: one file per run under a directory of the host, locked
// (flock) for the run's life. A killed servant's lock goes with it, so a
// record that can be locked belongs to no running servant: it is a dead
// run's, and whoever reads it settles what it names.
//
// A record is written under a hidden name, locked and only then renamed into
// place, so a record under its name is complete and locked until its run
// ends. What is added later goes at its end, one line at a time: a run killed
// while adding leaves at most a last line cut short, which readers drop. A
// run that ends empties its record before it removes it, still locked: a
// reader that opened it just before and locks it just after finds it gone
// (or empty) and leaves it, never taking the ended run for a dead one.
//
// What a record says is on disk before anything relies on it: a record is
// synced before it is renamed into place and its directory after, a line
// before append returns, and a record's emptying before its name goes; so a
// host that crashes never brings back a record that lost what its run made.
// A line that cannot be put on disk whole is cut back off: a record holds
// only lines its writer was told are there. A record whose emptying cannot
// be put on disk has its name's removal put there instead (its directory
// synced), so a crash does not bring back whole a record whose run ended.
#ifndef SMARTX_SERVANT_RUN_RECORD_H
#define SMARTX_SERVANT_RUN_RECORD_H

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>

namespace smartx {

// A record is a few lines: one larger than this is no record of ours and is
// never read into memory.
constexpr size_t MAX_RECORD_BYTES = 1 << 20;

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
    // locked, on disk under its name; false (logged) when it cannot, and
    // then nothing is left.
    bool take(const std::string& dir, const std::string& run_id, const std::string& text);
    // Adds text at the record's end, on disk once it returns true; false
    // (logged) when it cannot, and then what the text announces must not be
    // asked for. The text is then cut back off; should even that fail, the
    // record takes no more lines (what ends it may be a piece of this one).
    bool append(const std::string& text);
    // Empties and removes the record: its run leaves nothing to settle.
    // False (logged as an error) when neither its emptying nor its name's
    // removal is on disk: a crash may bring it back whole.
    bool release();
    // Lets the record go and leaves it in place: its run leaves something a
    // later reader settles.
    void keep();
    bool held() const { return fd_ >= 0; }
    // Where the held record lies; empty when none is held.
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
    // A line that failed could not be cut back off: it may end the record.
    bool tail_left_ = false;
};

// One record as a visit sees it.
struct Record_Seen {
    std::string run_id;
    std::string path;
    // The whole text, unless too_large (then empty).
    std::string text;
    // Its run holds it. A dead run's record is held locked by the visit.
    bool live = false;
    bool too_large = false;
    // When its run last wrote it: lines a visit adds leave it as it was.
    time_t modified = 0;
};

// What becomes of a dead run's record once visited (a live one's stays).
enum class Record_Fate {
    KEEP,
    // Settled: it goes.
    REMOVE,
    // Not ours to settle (unreadable, too large): moved to <dir>/aside/, out
    // of every later visit's way, for a person to look at. There it is named
    // "<run id>.<YYYYmmdd-HHMMSS>" (the time it was set aside), with ".<n>"
    // added when a record set aside before has that name: none replaces
    // another.
    SET_ASIDE,
};

// Adds a line at the end of the dead run's record being visited, on disk
// once it returns true; false (logged) when it cannot, and then it is cut
// back off as Run_Record::append cuts one. The record's
// modification time is put back once the visit is over: it keeps saying when
// its own run last wrote (Record_Seen::modified).
using Record_Append = std::function<bool(const std::string& text)>;

// Called for each record of a directory; for a live one the answer is unused
// and append refuses.
using Record_Visit =
    std::function<Record_Fate(const Record_Seen& seen, const Record_Append& append)>;

// Told, once a record the visit set aside is moved, where it lies: under
// aside/, or still at seen.path when it could not be moved (logged).
using Record_Aside = std::function<void(const Record_Seen& seen, const std::string& path)>;

// Visits every record of dir, and removes the unfinished ones (hidden) of
// runs that died before their record was complete. False (logged) when the
// directory cannot be listed or a record cannot be read; a missing directory
// holds no records. aside, when given, is told where each record the visit
// set aside lies.
bool visit_records(const std::string& dir, const Record_Visit& visit,
                   const Record_Aside& aside = nullptr);

// The directory set-aside records of dir go to.
std::string aside_directory(const std::string& dir);

// Makes dir as needed, each directory it made on disk in the one holding
// it; false (errno) when it cannot.
bool make_record_directory(const std::string& dir);

// Tests only: called with a record's path once a visit has opened it and
// before it locks it (the window in which its run can end).
void set_record_open_hook(std::function<void(const std::string& path)> hook);
// Tests only: asked with the path of a record, or of a directory of records,
// before it is synced; an answer other than 0 fails the sync with that errno.
void set_record_sync_fault(std::function<int(const std::string& path)> fault);

}  // namespace smartx

#endif
