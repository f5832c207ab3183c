#include "smartx/servant/backup_sweep.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/json_spirit/json_io.h"
#include "host/time_format.h"

namespace smartx {

namespace {
const char SNAPSHOT_MARK[] = "-velmora-";
// "YYYYmmdd_HHMMSS"
constexpr size_t STAMP_LENGTH = 15;
// Pause between tries for a claim lock another backup holds.
constexpr int CLAIM_POLL_MS = 20;

bool stamp_shaped(const std::string& s, size_t at, char separator) {
    if (s.size() - at != STAMP_LENGTH)
        return false;
    for (size_t i = 0; i < STAMP_LENGTH; ++i) {
        const char c = s[at + i];
        if (i == 8 ? c != separator : !std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

const std::string* row_text(const json_spirit::Object& row, const char* key) {
    return json_spirit::object_get_str(row, key);
}
}  // namespace

std::string backup_snapshot_name(const std::string& vm_name, time_t when) {
    const POSIX_Time_Format<32> stamp(when, "%Y%m%d_%H%M%S");
    return vm_name + SNAPSHOT_MARK + stamp.c_str();
}

bool is_backup_snapshot_name(const std::string& name) {
    const size_t mark = sizeof SNAPSHOT_MARK - 1;
    if (name.size() < mark + STAMP_LENGTH)
        return false;
    const size_t at = name.size() - STAMP_LENGTH - mark;
    return name.compare(at, mark, SNAPSHOT_MARK) == 0 && stamp_shaped(name, at + mark, '_');
}

bool needed_snapshots(const json_spirit::Array& rows, std::set<std::string>& out) {
    // The newest row of each chain, keyed by resource.
    std::map<std::string, std::string> newest;
    for (const json_spirit::Value& v : rows) {
        if (v.type() != json_spirit::obj_type)
            return false;
        const std::string* resource = row_text(v.get_obj(), "resource_uuid");
        const std::string* vm = row_text(v.get_obj(), "vm_id");
        const std::string* snap = row_text(v.get_obj(), "snap_id");
        if (resource == nullptr || vm == nullptr || snap == nullptr)
            return false;
        newest[*resource + '\0' + *vm] = *snap;
    }
    for (const auto& i : newest)
        if (!i.second.empty())
            out.insert(i.second);
    return true;
}

bool named_snapshots(const json_spirit::Array& rows, std::set<std::string>& out) {
    for (const json_spirit::Value& v : rows) {
        const std::string* snap =
            v.type() == json_spirit::obj_type ? row_text(v.get_obj(), "snap_id") : nullptr;
        if (snap == nullptr)
            return false;
        if (!snap->empty())
            out.insert(*snap);
    }
    return true;
}

bool named_files(const json_spirit::Array& rows, std::set<std::string>& out) {
    for (const json_spirit::Value& v : rows) {
        const json_spirit::Array* pieces =
            v.type() == json_spirit::obj_type ? json_spirit::object_get_array(v.get_obj(), "pieces")
                                              : nullptr;
        if (pieces == nullptr)
            return false;
        for (const json_spirit::Value& p : *pieces) {
            const std::string* path =
                p.type() == json_spirit::obj_type ? row_text(p.get_obj(), "path") : nullptr;
            if (path == nullptr)
                return false;
            out.insert(*path);
        }
    }
    return true;
}

std::string temporary_file_target(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::string name = path.substr(base);
    const size_t part = name.rfind(".part-");
    if (name.size() < 2 || name[0] != '.' || part == std::string::npos || part < 2)
        return std::string();
    return path.substr(0, base) + name.substr(1, part - 1);
}

bool file_has_stamp(const std::string& path, const std::string& stamp) {
    const std::string target = temporary_file_target(path);
    return (target.empty() ? path : target).find("_" + stamp) != std::string::npos;
}

// ---- holds ----

std::string hold_directory(const std::string& vm_id) {
    return servant_record_directory("hold") + "/" + vm_id;
}

bool Backup_Hold::take(const std::string& vm_id, const std::string& run_id,
                       const std::string& snapshot_name, const std::string& file_stamp) {
    release();
    if (!plain_path_part(vm_id))
        return false;
    json_spirit::Object hold;
    hold["snapshot_name"] = snapshot_name;
    hold["file_stamp"] = file_stamp;
    return record_.take(hold_directory(vm_id), run_id,
                        json_spirit::write(json_spirit::Value(hold)));
}

namespace {
// A hold's line saying that the set may still land until then; on a line of
// its own, whatever the hold ends with (an empty line reads as nothing).
std::string hold_time_line(const std::string& set_uuid, time_t until) {
    const json_spirit::Object line{{"unconfirmed", json_spirit::Value(set_uuid)},
                                   {"until", json_spirit::Value(int64_t{until})}};
    return "\n" + json_spirit::write(json_spirit::Value(line)) + "\n";
}
}  // namespace

bool Backup_Hold::note_landing(const std::string& set_uuid, time_t until) {
    return record_.append(hold_time_line(set_uuid, until));
}

bool Backup_Hold::keep_until(const std::string& set_uuid, time_t until) {
    // Kept either way: the line noted before the commit went out holds the
    // set till its own time.
    const bool noted = note_landing(set_uuid, until);
    record_.keep();
    return noted;
}

Hold_Claim_Lock::~Hold_Claim_Lock() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Hold_Claim_Lock::take(const std::string& vm_id, const std::function<bool()>& stopped) {
    if (fd_ >= 0 || !plain_path_part(vm_id))
        return false;
    const std::string dir = hold_directory(vm_id);
    if (!make_record_directory(dir) ||
        (fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to lock hold directory %C: %C.\n"), dir.c_str(),
                   std::strerror(errno)));
        return false;
    }
    // A holder that never lets go (stuck, or stopped and not yet killed)
    // must not keep this backup, or its cancel, waiting.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(WAIT_S);
    bool told = false;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
            return true;
        const int error = errno;
        const char* why = nullptr;
        if (error != EWOULDBLOCK && error != EINTR)
            why = std::strerror(error);
        else if (stopped && stopped())
            why = "the job is stopping";
        else if (std::chrono::steady_clock::now() >= until)
            why = "another backup of the VM has held it for too long";
        if (why != nullptr) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Failed to claim a start second for VM %C: hold directory %C not "
                                "locked, %C.\n"),
                       vm_id.c_str(), dir.c_str(), why));
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        if (!told)
            ACE_DEBUG((LM_INFO,
                       ACE_TEXT("Backup of VM %C waits up to %d s for another one's claim of a "
                                "start second.\n"),
                       vm_id.c_str(), WAIT_S));
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(CLAIM_POLL_MS));
    }
}

namespace {
// The time a dead run's hold holds till and the set it names: its last whole
// line after the first that says a time (a last line without its end was cut
// short). False when none does.
bool hold_time(const std::string& text, time_t& until, std::string& set_uuid) {
    const size_t first_end = text.find('\n');
    for (size_t end = text.rfind('\n'); first_end != std::string::npos && end > first_end;) {
        const size_t start = text.rfind('\n', end - 1) + 1;
        json_spirit::Value line;
        if (json_spirit::read(text.substr(start, end - start), line) &&
            line.type() == json_spirit::obj_type &&
            json_spirit::object_get(line.get_obj(), "until", until)) {
            const std::string* set = json_spirit::object_get_str(line.get_obj(), "unconfirmed");
            set_uuid = set != nullptr ? *set : std::string();
            return true;
        }
        end = start - 1;
    }
    return false;
}
}  // namespace

bool read_live_holds(const std::string& vm_id, Live_Holds& out) {
    out = Live_Holds();
    if (!plain_path_part(vm_id))
        return false;
    bool ok = true;
    const time_t now = ::time(nullptr);
    // A dead run's hold holds nothing any more, and goes; unless its set may
    // still land: then it holds till its time is up.
    const bool listed = visit_records(hold_directory(vm_id), [&](const Record_Seen& seen,
                                                                 const Record_Append& append) {
        json_spirit::Value hold;
        const std::string* snapshot = nullptr;
        const std::string* stamp = nullptr;
        if (!seen.too_large && json_spirit::read(seen.text.substr(0, seen.text.find('\n')), hold) &&
            hold.type() == json_spirit::obj_type) {
            snapshot = json_spirit::object_get_str(hold.get_obj(), "snapshot_name");
            stamp = json_spirit::object_get_str(hold.get_obj(), "file_stamp");
        }
        time_t until = 0;
        std::string set_uuid;
        // A dead one that cannot say what it holds holds nothing either.
        if (!seen.live && (snapshot == nullptr || stamp == nullptr ||
                           !hold_time(seen.text, until, set_uuid) || until <= now))
            return Record_Fate::REMOVE;
        // No commit lands later than the grace from when it was sent: a time
        // further ahead was written before the clock stepped back. It holds,
        // and from now on for the grace from now.
        if (!seen.live && until > now + COMMIT_LANDING_GRACE_S)
            append(hold_time_line(set_uuid, now + COMMIT_LANDING_GRACE_S));
        if (snapshot == nullptr || stamp == nullptr) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read hold %C of VM %C.\n"),
                       seen.run_id.c_str(), vm_id.c_str()));
            ok = false;
            return Record_Fate::KEEP;
        }
        ++out.runs;
        out.snapshot_names.insert(*snapshot);
        out.file_stamps.insert(*stamp);
        return Record_Fate::KEEP;
    });
    return listed && ok;
}

}  // namespace smartx
