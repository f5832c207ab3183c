// A run record file as the servants read one: a dead restore's journal, a
// live run's record, a dead or a running backup's hold. Whatever it holds,
// the reader never takes more than the bound into memory, and what it makes
// of a journal or a hold, written again by the writers, reads back the same.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/paths.h"
#include "smartx/servant/backup_sweep.h"
#include "smartx/servant/restore_leftovers.h"
#include "smartx/servant/run_record.h"

namespace {
const char RUN[] = "run";
const char VM_ID[] = "vm-1";
const char VM_AGAIN[] = "vm-2";

bool same(const smartx::Restore_Made& a, const smartx::Restore_Made& b) {
    return a.kind == b.kind && a.id == b.id && a.task_id == b.task_id && a.name == b.name &&
           a.volumes == b.volumes;
}

bool same(const std::vector<smartx::Restore_Made>& a, const std::vector<smartx::Restore_Made>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i]))
            return false;
    return true;
}

void check_journal(const std::string& text) {
    smartx::Restore_Journal_Text journal;
    if (!smartx::read_restore_journal(text, journal))
        return;
    const std::string again = smartx::write_restore_journal(journal);
    smartx::Restore_Journal_Text back;
    FUZZ_CHECK(smartx::read_restore_journal(again, back));
    FUZZ_CHECK(back.tower == journal.tower && back.started == journal.started);
    FUZZ_CHECK(same(back.made, journal.made) && same(back.asked, journal.asked));
    FUZZ_CHECK(back.deleting == journal.deleting && back.left == journal.left);
    FUZZ_CHECK(back.unreadable == 0);
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One directory per kind under a HOST_ROOT of the fuzzer's own.
struct Root {
    Root() {
        char dir[] = "/tmp/fuzz-run-records.XXXXXX";
        FUZZ_CHECK(::mkdtemp(dir) != nullptr);
        ::setenv("HOST_ROOT", dir, 1);
        journals = smartx::restore_journal_directory();
        holds = smartx::hold_directory(VM_ID);
        FUZZ_CHECK(make_directories(journals, 0750) == 0 && make_directories(holds, 0750) == 0);
    }
    std::string journals;
    std::string holds;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (quiet_logs(), true);
    static const Root root;
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_journal(text);

    // As a dead run's record: read whole within the bound, or not at all.
    const std::string path = root.journals + "/" + RUN;
    write_file(path, text);
    size_t visits = 0;
    smartx::visit_records(
        root.journals, [&](const smartx::Record_Seen& seen, const smartx::Record_Append&) {
            ++visits;
            FUZZ_CHECK(!seen.live);
            FUZZ_CHECK(seen.too_large == (text.size() > smartx::MAX_RECORD_BYTES));
            FUZZ_CHECK(seen.too_large ? seen.text.empty() : seen.text == text);
            return smartx::Record_Fate::REMOVE;
        });
    FUZZ_CHECK(visits == (text.empty() ? 0u : 1u));
    FUZZ_CHECK(::access(path.c_str(), F_OK) != 0);

    // As a dead run's hold: it goes, unless it says what it holds and a time
    // to hold it till; then it holds as a running backup's. A time past the
    // grace from now is added again as the grace from now, once: read again,
    // the hold is left as it is, or goes once its time is up.
    const std::string hold = root.holds + "/" + RUN;
    write_file(hold, text);
    smartx::Live_Holds dead;
    FUZZ_CHECK(smartx::read_live_holds(VM_ID, dead));
    FUZZ_CHECK((::access(hold.c_str(), F_OK) == 0) == (dead.runs == 1));
    if (dead.runs == 1) {
        const std::string kept = read_file(hold);
        FUZZ_CHECK(kept.compare(0, text.size(), text) == 0);
        smartx::Live_Holds again;
        FUZZ_CHECK(smartx::read_live_holds(VM_ID, again));
        const bool stays = ::access(hold.c_str(), F_OK) == 0;
        FUZZ_CHECK(stays == (again.runs == 1));
        FUZZ_CHECK(!stays || read_file(hold) == kept);
    }
    ::unlink(hold.c_str());

    // As a running backup's hold, locked by its run: what is read of it,
    // held again by the hold's writer, reads back the same.
    write_file(hold, text);
    const int fd = ::open(hold.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
    smartx::Live_Holds holds;
    const bool read = smartx::read_live_holds(VM_ID, holds);
    ::close(fd);
    ::unlink(hold.c_str());
    if (!read || holds.runs != 1)
        return 0;
    smartx::Backup_Hold again;
    FUZZ_CHECK(
        again.take(VM_AGAIN, RUN, *holds.snapshot_names.begin(), *holds.file_stamps.begin()));
    smartx::Live_Holds back;
    FUZZ_CHECK(smartx::read_live_holds(VM_AGAIN, back));
    FUZZ_CHECK(back.runs == 1 && back.snapshot_names == holds.snapshot_names &&
               back.file_stamps == holds.file_stamps);
    again.release();
    return 0;
}
