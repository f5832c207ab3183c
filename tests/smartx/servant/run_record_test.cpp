// The run records servants keep on the host: what is not on disk is never
// taken as written, and a visit leaves every record it takes where a person
// finds it.
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smartx/common/restful_client.h"
#include "smartx/servant/restore_leftovers.h"
#include "smartx/servant/run_record.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using Strings = std::vector<std::string>;

// The names under dir, hidden ones included.
Strings names_in(const std::string& dir) {
    Strings names;
    std::error_code none;
    for (const auto& e : std::filesystem::directory_iterator(dir, none))
        names.push_back(e.path().filename().string());
    return names;
}

std::string text_of_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Syncs of the path fail with EIO while in scope.
class Failing_Sync {
public:
    explicit Failing_Sync(const std::string& path) {
        smartx::set_record_sync_fault(
            [path](const std::string& synced) { return synced == path ? EIO : 0; });
    }
    ~Failing_Sync() { smartx::set_record_sync_fault(nullptr); }
    Failing_Sync(const Failing_Sync&) = delete;
    Failing_Sync& operator=(const Failing_Sync&) = delete;
};

// A record, or a line, whose sync fails is not taken as written: its writer
// hears false (and then asks for nothing it would announce), a record that
// cannot be taken leaves nothing, and a line that failed is cut back off, so
// the next one is a line of its own.
TEST(RunRecords, WhatIsNotOnDiskIsNotTakenAsWritten) {
    const Temp_Root root;
    const std::string dir = smartx::servant_record_directory("test");
    const std::string record = dir + "/run";
    enum Step { TAKE, APPEND, VISIT_APPEND };
    const struct {
        const char* name;
        std::string failing;  // the path whose sync fails
        Step step;
    } rows[] = {
        // First: the directory is made by this take.
        {"DirectoryMadeForIt", dir.substr(0, dir.rfind('/')), TAKE},
        {"RecordBeforeItsRename", dir + "/.run", TAKE},
        {"DirectoryAfterItsRename", dir, TAKE},
        {"LineOfItsRun", record, APPEND},
        {"LineOfAVisit", record, VISIT_APPEND},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Log_Capture quiet;
        smartx::Run_Record held;
        if (row.step == APPEND) {
            ASSERT_TRUE(held.take(dir, "run", "head\n"));
        }
        if (row.step == VISIT_APPEND) {
            ASSERT_TRUE(std::ofstream(record) << "head\n");
        }
        // Adds a line as the row's writer does: its run, or a visit.
        const auto add = [&](const std::string& line) {
            if (row.step == APPEND)
                return held.append(line);
            bool added = false;
            smartx::visit_records(
                dir, [&](const smartx::Record_Seen&, const smartx::Record_Append& append) {
                    added = append(line);
                    return smartx::Record_Fate::KEEP;
                });
            return added;
        };
        bool written = true;
        {
            const Failing_Sync failing(row.failing);
            written = row.step == TAKE ? held.take(dir, "run", "head\n") : add("{\"line\": 1}\n");
        }
        EXPECT_FALSE(written);
        EXPECT_EQ(names_in(dir), row.step == TAKE ? Strings() : Strings{"run"});
        if (row.step != TAKE) {
            EXPECT_EQ(text_of_file(record), "head\n");
            EXPECT_TRUE(add("{\"line\": 2}\n"));
            EXPECT_EQ(text_of_file(record), "head\n{\"line\": 2}\n");
        }
        held.release();
        ::unlink(record.c_str());
    }
}

// A record whose emptying cannot be put on disk goes by a name's removal
// that is: its directory is synced after the unlink. Only when that fails
// too does its end fail, and a restore journal's end then alerts the
// journal by its path.
TEST(RunRecords, ARecordWhoseEmptyingIsNotOnDiskGoesByItsDirectory) {
    const Temp_Root root;
    enum Ender { RUN, VISIT, JOURNAL };
    const struct {
        const char* name;
        Ender ender;
        bool directory_fails;
    } rows[] = {
        {"ItsRunEndsIt", RUN, false},
        {"AVisitRemovesIt", VISIT, false},
        {"AFinishedRestoresJournal", JOURNAL, false},
        {"ItsRunEndsItAndTheDirectoryFails", RUN, true},
        {"AVisitRemovesItAndTheDirectoryFails", VISIT, true},
        {"AFinishedRestoresJournalAndTheDirectoryFails", JOURNAL, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = row.ender == JOURNAL ? smartx::restore_journal_directory()
                                                     : smartx::servant_record_directory("test");
        ASSERT_TRUE(smartx::make_record_directory(dir));
        smartx::Run_Record held;
        smartx::Restore_Journal journal;
        const std::string record = dir + "/run";
        if (row.ender == RUN) {
            ASSERT_TRUE(held.take(dir, "run", "head\n"));
        } else if (row.ender == VISIT) {
            ASSERT_TRUE(std::ofstream(record) << "head\n");
        } else {
            ASSERT_TRUE(journal.open("run", "tower:443", "src", "web"));
            ASSERT_TRUE(
                journal.note(smartx::Restore_Made{smartx::Restore_Made::VM, "m1", "", "web", {}}));
        }
        // Every sync after this point, in order; the record's fails, and its
        // directory's when the row says.
        Strings synced;
        smartx::set_record_sync_fault([&](const std::string& path) {
            synced.push_back(path);
            return path == record || (row.directory_fails && path == dir) ? EIO : 0;
        });
        const Log_Capture log;
        bool gone = true;
        std::vector<smartx::Leftover_Kept> alerts;
        if (row.ender == RUN)
            gone = held.release();
        else if (row.ender == VISIT)
            smartx::visit_records(dir,
                                  [](const smartx::Record_Seen&, const smartx::Record_Append&) {
                                      return smartx::Record_Fate::REMOVE;
                                  });
        else
            journal.finish(
                [&alerts](const smartx::Leftover_Kept& kept) { alerts.push_back(kept); });
        smartx::set_record_sync_fault(nullptr);
        EXPECT_EQ(synced, (Strings{record, dir}));
        EXPECT_EQ(::access(record.c_str(), F_OK), -1);
        EXPECT_EQ(log.has("may come back whole"), row.directory_fails);
        if (row.ender == RUN) {
            EXPECT_EQ(gone, !row.directory_fails);
        }
        if (row.ender == JOURNAL) {
            ASSERT_EQ(alerts.size(), row.directory_fails ? 1u : 0u);
            if (row.directory_fails) {
                EXPECT_EQ(alerts[0].kind, "journal");
                EXPECT_EQ(alerts[0].id, record);
                EXPECT_EQ(alerts[0].run, "run");
            }
        }
    }
}

// A visit that adds to a dead run's record leaves it saying when its run
// last wrote it: the next visit sees the time the run left, and the line.
TEST(RunRecords, AVisitsLinesKeepTheTimeItsRunLastWrote) {
    const Temp_Root root;
    const std::string dir = smartx::servant_record_directory("test");
    ASSERT_TRUE(smartx::make_record_directory(dir));
    const std::string record = dir + "/run";
    ASSERT_TRUE(std::ofstream(record) << "head\n");
    const time_t written = ::time(nullptr) - 1000;
    const struct utimbuf times = {written, written};
    ASSERT_EQ(::utime(record.c_str(), &times), 0);
    std::vector<smartx::Record_Seen> seen;
    for (int visit = 0; visit < 2; ++visit)
        smartx::visit_records(
            dir, [&](const smartx::Record_Seen& s, const smartx::Record_Append& append) {
                seen.push_back(s);
                EXPECT_TRUE(append("left\n"));
                return smartx::Record_Fate::KEEP;
            });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, "head\nleft\n");
    EXPECT_EQ(seen[0].modified, written);
    EXPECT_EQ(seen[1].modified, written);
}

// Two dead journals of one name, each set aside by the sweep that finds it:
// both stay in aside/, each alerted by the name it lies under there.
TEST(RunRecords, EveryJournalSetAsideStaysAndIsAlertedByItsOwnName) {
    const Temp_Root root;
    const std::string dir = smartx::restore_journal_directory();
    ASSERT_TRUE(smartx::make_record_directory(dir));
    smartx::RESTful_Client client;
    Strings alerted;
    for (const std::string text : {"no journal\n", "nor this one\n"}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(std::ofstream(dir + "/run") << text);
        const Log_Capture quiet;
        Strings alerts;
        smartx::sweep_dead_restores(client, "tower", [&alerts](const smartx::Leftover_Kept& kept) {
            alerts.push_back(kept.id);
        });
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(std::filesystem::path(alerts[0]).parent_path(), smartx::aside_directory(dir));
        EXPECT_EQ(std::filesystem::path(alerts[0]).filename().string().rfind("run.", 0), 0u);
        EXPECT_EQ(text_of_file(alerts[0]), text);
        alerted.push_back(alerts[0]);
    }
    EXPECT_NE(alerted[0], alerted[1]);
    EXPECT_EQ(names_in(smartx::aside_directory(dir)).size(), 2u);
    EXPECT_EQ(names_in(dir), Strings{"aside"});
}

}  // namespace
