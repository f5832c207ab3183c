// What failed and killed backups leave behind (VM snapshots, pool files) is
// gone once the next backup of the VM has run, and nothing a committed set
// or a running backup needs goes with it.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

#include <ace/Process.h>

#include "fixture.h"
#include "host/paths.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/servant/backup_file_name.h"
#include "smartx/servant/backup_sweep.h"
#include "smartx/servant/run_record.h"
#include "support/log_capture.h"
#include "world/fault_run.h"
#include "world/leftovers.h"
#include "world/servant_setup.h"

namespace backup_test {
namespace {

// Whether path is a hold's own file under holds ("<hold dir>/"), not one
// being made under a hidden name.
bool is_hold_file(const std::string& holds, const std::string& path) {
    return path.compare(0, holds.size(), holds) == 0 && path.size() > holds.size() &&
           path[holds.size()] != '.';
}

class BackupLeftovers : public BackupWorld {
protected:
    std::vector<std::string> leftover_snapshots() { return world::leftover_snapshots(*world_); }
    std::vector<std::string> orphan_files() const { return world::orphan_pool_files(*world_); }
    std::string newest_snap() const { return text_of(Value(rows().back()), "snap_id"); }
    std::set<std::string> snapshot_set() const {
        const std::vector<std::string> ids = snapshots();
        return std::set<std::string>(ids.begin(), ids.end());
    }
    // A snapshot of the VM made as a backup would make it, under name.
    std::string make_snapshot(const std::string& name) {
        smartx::RESTful_Client client;
        smartx::Login_Info login = world_->defaults().login;
        smartx::VM_Snapshot made;
        if (!client.login(login) || !client.create_vm_snapshot(name, vm_.id, made, false))
            throw std::runtime_error("cannot make snapshot " + name);
        return made.id;
    }
    // Only the newest set's snapshot is left, and the chain from the set
    // numbered first restores the disks.
    void expect_clean_chain(size_t first) {
        EXPECT_EQ(leftover_snapshots(), std::vector<std::string>());
        EXPECT_EQ(orphan_files(), std::vector<std::string>());
        EXPECT_EQ(snapshots(), std::vector<std::string>{newest_snap()});
        const std::vector<Object> all = rows();
        EXPECT_TRUE(restore({all.begin() + static_cast<long>(first), all.end()}) ==
                    disk_contents());
    }
    // Runs the backup in a servant process of its own, slowly, and kills it
    // once count() has grown (or the bound has passed); whether it had.
    bool backup_killed(const smartx::Backup_Param& p, const std::function<size_t()>& count) {
        const size_t before = count();
        bool reached = false;
        std::thread killer([&] {
            for (int i = 0; i < 12000 && !reached; ++i) {
                reached = count() > before;
                ::usleep(5000);
            }
            for (pid_t pid : live_children(::getpid(), "starter"))
                ::kill(pid, SIGKILL);
        });
        Servant_Run_Options slow;
        slow.prepare = [](Servant& s, const Servant_Task&) {
            s.get_process_options().setenv(ACE_TEXT("ZBS_SIM_DELAY_MS"), ACE_TEXT("%d"), 50);
        };
        const Servant_Runs runs =
            run_backup_servants({{backup_request(p, backup_entry(vm_)), vm_.name}}, slow);
        killer.join();
        EXPECT_TRUE(runs.replies.empty());
        return reached;
    }
    void use_servant_processes() {
        install_starter(STARTER_PATH);
        write_servant_config(
            Object{{"smartx.servant.backup", Value("SmartX_Backup_Servant_Handler")}},
            SMARTX_MODULE_PATH);
    }
};

struct Kill_Point {
    const char* name;
    // Switches for the killed run, and the param it runs with.
    std::function<void(Backup_World&, smartx::Backup_Param&)> arm;
    // A count that grows once the servant has reached the point.
    std::function<size_t(Backup_World&)> count;
    bool leaves_files;
};

// A servant process killed at each point of an incremental backup: the
// next backup removes what it left and builds on the last committed set.
TEST_F(BackupLeftovers, KilledServantsLeaveNothingOnceTheNextBackupHasRun) {
    use_servant_processes();
    const std::string vm_id = vm_.id;
    const Kill_Point points[] = {
        {"AfterItsSnapshotDuringTheTransfer", [](Backup_World&, smartx::Backup_Param&) {},
         [vm_id](Backup_World& w) { return size_t{w.progress(vm_id).processed_bytes}; }, true},
        // Commits answer 503 and are retried; the base lookup fails (a full).
        {"DuringItsCommit",
         [](Backup_World& w, smartx::Backup_Param& p) {
             p.control.max_seconds_retry = 0;
             p.control.retry.max_retries = 10;
             p.control.retry.max_internal = 60;
             w.backupd().fail_catalog(1000, 503);
         },
         [](Backup_World& w) {
             size_t n = 0;
             for (const sim::Logged_Request& r : w.backupd().requests())
                 n += r.method == "POST" && r.path.find("/sets") != std::string::npos;
             return n;
         },
         true},
        // Committed, it is removing the old base: slowly, and in vain.
        {"AfterItsCommit",
         [](Backup_World& w, smartx::Backup_Param&) {
             w.tower().fail_path("delete-vm-snapshot", 503, "busy");
             w.tower().set_delay("delete-vm-snapshot", 3000);
         },
         [](Backup_World& w) { return w.catalog_rows().size(); }, false},
    };
    fill_disks();
    for (const Kill_Point& point : points) {
        SCOPED_TRACE(point.name);
        const size_t first = rows().size();
        ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
        write_disk(0, BLOCK, pattern(2 * BLOCK, 'k'));
        smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
        p.control.allocated_blocks = false;
        point.arm(*world_, p);
        progress().processed_bytes = 0;
        const bool reached = backup_killed(p, [&] { return point.count(*world_); });
        world_->tower().reset_switches();
        world_->backupd().fail_catalog(0, 0);
        ASSERT_TRUE(reached);
        EXPECT_EQ(leftover_snapshots().size(), 1u);
        EXPECT_EQ(orphan_files().empty(), !point.leaves_files);
        // Killed once its commit may be on its way, its set could still land.
        world::end_commit_grace(vm_.id);

        const Object last = rows().back();
        write_disk(1, 0, pattern(BLOCK, 'n'));
        ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
        EXPECT_EQ(rows().back().at("base_sets"), Value(Array{last.at("uuid")}));
        expect_clean_chain(first);
    }
}

// Two servants back up one VM at the same time: each claims a second of its
// own, both commit, both sets restore, and nothing is left once both ended.
TEST_F(BackupLeftovers, ConcurrentBackupsOfOneVmClaimSecondsOfTheirOwn) {
    use_servant_processes();
    fill_disks();
    const std::vector<std::string> held = disk_contents();
    const Object request = backup_request(param(JOB_DEFINITION_SUBTYPE_FULL), backup_entry(vm_));
    Servant_Run_Options both;
    both.parallelism = 2;
    both.prepare = [](Servant& s, const Servant_Task&) {
        s.get_process_options().setenv(ACE_TEXT("ZBS_SIM_DELAY_MS"), ACE_TEXT("%d"), 20);
    };
    const Servant_Runs runs = run_backup_servants(
        {{request, "first", "node-hz01-01", "a"}, {request, "second", "node-hz01-01", "b"}}, both);
    ASSERT_EQ(runs.replies.size(), 2u);
    for (const Servant_Reply& reply : runs.replies)
        EXPECT_EQ(reply.code(), 0);
    const std::vector<Object> sets = rows();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_NE(sets[0].at("backup_start_time"), sets[1].at("backup_start_time"));
    for (const Object& set : sets)
        EXPECT_TRUE(restore({set}) == held);
    EXPECT_EQ(orphan_files(), std::vector<std::string>());
    EXPECT_EQ(snapshots(), std::vector<std::string>{newest_snap()});
}

// Another backup of the VM holds its claim lock and never lets go: the
// backup fails once the claim's bound has passed, or at once when its job
// is cancelled, saying why, and makes nothing.
TEST_F(BackupLeftovers, AClaimBehindAStuckLockEndsSayingWhy) {
    const struct {
        const char* name;
        bool cancel;  // once it waits
        const char* says;
    } cases[] = {
        {"HolderNeverLetsGo", false, "has held it for too long"},
        {"CancelledWhileItWaits", true, "the job is stopping"},
    };
    // Bounds that only keep a claim that waits for ever from hanging the test.
    const int most_polls = 3000;
    const useconds_t poll_us = 10000;
    fill_disks();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world_->activity()->state = JOB_STATE_RUNNING;
        world::Stuck_Claim stuck;
        stuck.hold(vm_.id);
        Process_Log_Capture log;
        std::atomic<bool> ended{false};
        Servant_Reply reply;
        std::thread run([&] {
            reply = backup(JOB_DEFINITION_SUBTYPE_FULL);
            ended = true;
        });
        for (int i = 0; i < most_polls && !ended && c.cancel &&
                        log.text().find("waits up to") == std::string::npos;
             ++i)
            ::usleep(poll_us);
        if (c.cancel)
            world_->activity()->state = JOB_STATE_CANCELING;
        for (int i = 0; i < most_polls && !ended; ++i)
            ::usleep(poll_us);
        const bool ended_while_held = ended;
        stuck.release();
        run.join();
        EXPECT_TRUE(ended_while_held);
        EXPECT_EQ(reply.result, (Object{{"code", Value(1)}}));
        EXPECT_NE(log.text().find(c.says), std::string::npos) << log.text();
        EXPECT_TRUE(rows().empty());
        EXPECT_TRUE(snapshots().empty());
        EXPECT_TRUE(pool_files().empty());
    }
}

// A set whose commit answer was lost lands in the catalog only after the
// backups that follow (a retry at once) have swept: what it is made of is
// still there when it lands, it restores, and the chain goes on from it. So
// too when the clock stepped back after its hold was kept, leaving its time
// past the grace from now, and when the hold's line written after the lost
// answer could not be synced: the line written before the commit holds.
TEST_F(BackupLeftovers, ASetWhoseCommitLandsLateKeepsWhatItIsMadeOf) {
    const struct {
        const char* name;
        time_t ahead;  // the kept hold's time from now; 0: as its run kept it
        bool second_line_fails = false;
    } cases[] = {
        {"AsItsRunKeptIt", 0},
        {"AfterTheClockSteppedBack", smartx::COMMIT_LANDING_GRACE_S + 60},
        {"WhenItsHoldsSecondLineCannotBeSynced", 0, true},
    };
    const std::string holds = smartx::hold_directory(vm_.id) + "/";
    fill_disks();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const char mark = static_cast<char>('l' + (&c - cases));
        const size_t first = rows().size();
        ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
        world_->backupd().hold_faulted_commits(true);
        world_->backupd().fault_commits(1, true, sim::Backup_Server::Commit_Answer::NOT_JSON);
        write_disk(0, 0, pattern(BLOCK, mark));
        // The second sync of a hold's own lines: its landing line is the first.
        std::map<std::string, int> line_syncs;
        if (c.second_line_fails)
            smartx::set_record_sync_fault([&](const std::string& path) {
                return is_hold_file(holds, path) && ++line_syncs[path] == 2 ? EIO : 0;
            });
        EXPECT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 1);
        smartx::set_record_sync_fault(nullptr);
        const std::vector<std::string> late_files = orphan_files();
        EXPECT_FALSE(late_files.empty());
        if (c.second_line_fails) {
            ASSERT_EQ(line_syncs.size(), 1u);
            EXPECT_GE(line_syncs.begin()->second, 2);
            // In place, with its landing line alone, naming what the set needs.
            const std::string text = file_content(line_syncs.begin()->first);
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
            smartx::Live_Holds held;
            EXPECT_TRUE(smartx::read_live_holds(vm_.id, held));
            EXPECT_EQ(held.runs, 1u);
            EXPECT_EQ(held.snapshot_names.size(), 1u);
            EXPECT_EQ(held.file_stamps.size(), 1u);
            for (const std::string& stamp : held.file_stamps)
                for (const std::string& file : late_files) {
                    EXPECT_TRUE(smartx::file_has_stamp(file, stamp)) << file;
                }
        }
        if (c.ahead != 0) {
            EXPECT_EQ(world::hold_kept_sets_until(vm_.id, ::time(nullptr) + c.ahead), 1u);
        }
        ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
        ASSERT_EQ(world_->backupd().land_held_commits(), 1u);
        world_->backupd().hold_faulted_commits(false);

        const std::vector<Object> every = rows();
        const std::vector<Object> all(every.begin() + static_cast<long>(first), every.end());
        ASSERT_EQ(all.size(), 3u);
        EXPECT_EQ(orphan_files(), std::vector<std::string>());
        EXPECT_TRUE(restore({all[0], all[2]}) == disk_contents());
        EXPECT_TRUE(restore({all[0], all[1]}) == disk_contents());
        // The late set is the newest: the next backup builds on its snapshot.
        write_disk(1, 0, pattern(BLOCK, static_cast<char>(mark + 1)));
        ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
        const Value newest(rows().back());
        EXPECT_EQ(text_of(newest, "type"), "incremental");
        EXPECT_EQ(member_of(newest, "base_sets"),
                  Value(Array{Value(text_of(Value(all[2]), "uuid"))}));
        EXPECT_TRUE(restore({all[0], all[2], rows().back()}) == disk_contents());
        // Its time up, the kept hold goes with the next backup.
        world::end_commit_grace(vm_.id);
    }
}

// A servant killed while its commit is on its way in: its hold said the set
// may land before the commit went out, so the next backup's sweep keeps what
// the set is made of, and once the commit lands the set restores.
TEST_F(BackupLeftovers, AServantKilledWhileItsCommitIsOnItsWayLeavesItsSetWhole) {
    // Long enough for the kill to come first; the commit then waits aside
    // until landed.
    const int commit_delay_ms = 3000;
    const int most_polls = 1000;
    const useconds_t poll_us = 10000;
    use_servant_processes();
    fill_disks();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    write_disk(0, BLOCK, pattern(2 * BLOCK, 'w'));
    sim::Backup_Server& server = world_->backupd();
    server.hold_faulted_commits(true);
    server.fault_commits(1, true, sim::Backup_Server::Commit_Answer::CUT_OFF);
    server.delay_commits(commit_delay_ms);
    ASSERT_TRUE(backup_killed(param(JOB_DEFINITION_SUBTYPE_INCREMENTAL),
                              [&] { return static_cast<size_t>(server.commits_received()); }));
    server.delay_commits(0);
    for (int i = 0; i < most_polls && server.commits_pending() > 0; ++i)
        ::usleep(poll_us);
    ASSERT_EQ(server.commits_pending(), 0);
    EXPECT_FALSE(orphan_files().empty());

    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    ASSERT_EQ(server.land_held_commits(), 1u);
    server.hold_faulted_commits(false);
    const std::vector<Object> all = rows();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(orphan_files(), std::vector<std::string>());
    EXPECT_THAT(snapshots(), ::testing::Contains(text_of(Value(all[2]), "snap_id")));
    EXPECT_TRUE(restore({all[0], all[2]}) == disk_contents());
    EXPECT_TRUE(restore({all[0], all[1]}) == disk_contents());
}

// A hold that cannot say on disk that the set may land sends no commit: the
// backup fails as a refused commit does, and what it made goes.
TEST_F(BackupLeftovers, NoCommitGoesOutBeforeItsHoldSaysTheSetMayLand) {
    fill_disks();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    const std::vector<std::string> files = pool_files();
    const std::vector<std::string> snaps = snapshots();
    const int commits = world_->backupd().commits_received();
    const std::string holds = smartx::hold_directory(vm_.id) + "/";
    // The syncs of a hold's lines, not of its making.
    smartx::set_record_sync_fault(
        [&holds](const std::string& path) { return is_hold_file(holds, path) ? EIO : 0; });
    write_disk(0, 0, pattern(BLOCK, 'u'));
    const Servant_Reply reply = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
    smartx::set_record_sync_fault(nullptr);
    EXPECT_EQ(reply.code(), 1);
    EXPECT_EQ(world_->backupd().commits_received(), commits);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(pool_files(), files);
    EXPECT_EQ(snapshots(), snaps);
}

// A dead run's hold that says its set may still land holds while its time
// runs (its last whole line saying one counts), and only then goes; a live
// one holds whatever it says. A time past the grace from now, which only a
// clock stepped back leaves, holds and is written again as the grace from now.
TEST_F(BackupLeftovers, AHoldKeptForALateCommitHoldsOnlyWhileItsTimeRuns) {
    const time_t now = ::time(nullptr);
    const auto until = [](time_t t) {
        return "\n" +
               json_spirit::write(
                   Value(Object{{"unconfirmed", Value("set-1")}, {"until", Value(int64_t{t})}})) +
               "\n";
    };
    const std::string names =
        R"({"snapshot_name": "snap-of-the-run", "file_stamp": "20010909-014640"})";
    const struct {
        const char* name;
        std::string head;  // a dead run's hold line; a live hold is taken when empty
        std::string tail;  // after it
        bool holds;
        bool rewritten = false;
    } cases[] = {
        {"TimeLeft", names, until(now + 60), true},
        {"TimeUp", names, until(now - 1), false},
        {"PastTheGrace", names, until(now + smartx::COMMIT_LANDING_GRACE_S + 60), true, true},
        {"LineCutShort", names, until(now + 60).substr(0, 12), false},
        {"NoTime", names, "", false},
        {"TimeLeftButNoNames", R"({"snapshot_name": 5})", until(now + 60), false},
        {"LiveWithoutTime", "", "", true},
        {"TimeLeftAfterOneUp", names, until(now - 1) + until(now + 60), true},
        {"TimeUpAfterOneLeft", names, until(now + 60) + until(now - 1), false},
        {"TimeLeftThenALineCutShort", names, until(now + 60) + until(now - 1).substr(0, 20), true},
        {"TimeLeftThenALineWithoutOne", names, until(now + 60) + R"({"until": "soon"})" + "\n",
         true},
    };
    const std::string dir = smartx::hold_directory(vm_.id);
    ASSERT_EQ(make_directories(dir, 0750), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        // A live hold is locked by its run; a dead one by nobody.
        smartx::Backup_Hold hold;
        const bool live = c.head.empty();
        if (live) {
            ASSERT_TRUE(hold.take(vm_.id, c.name, "snap-of-the-run", "20010909-014640"));
        }
        ASSERT_TRUE(std::ofstream(path, std::ios::app) << c.head << c.tail);
        smartx::Live_Holds holds;
        EXPECT_TRUE(smartx::read_live_holds(vm_.id, holds));
        EXPECT_EQ(holds.runs, c.holds ? 1u : 0u);
        EXPECT_EQ(holds.snapshot_names.count("snap-of-the-run"), c.holds ? 1u : 0u);
        EXPECT_EQ(::access(path.c_str(), F_OK) == 0, c.holds);
        // A dead one that holds is only added to, when its time is put back.
        const std::string text = file_content(path);
        const std::string written = c.head + c.tail;
        if (c.holds && !live) {
            EXPECT_EQ(text != written, c.rewritten);
        }
        if (c.rewritten && text.size() > written.size()) {
            EXPECT_EQ(text.compare(0, written.size(), written), 0);
            Value line;
            ASSERT_TRUE(json_spirit::read(text.substr(text.rfind('\n', text.size() - 2)), line));
            EXPECT_EQ(text_of(line, "unconfirmed"), "set-1");
            const time_t rewritten_until = member_of(line, "until").get_int64();
            EXPECT_GE(rewritten_until, now + smartx::COMMIT_LANDING_GRACE_S);
            EXPECT_LE(rewritten_until, ::time(nullptr) + smartx::COMMIT_LANDING_GRACE_S);
        }
        hold.release();
        ::unlink(path.c_str());
    }
}

// A catalog that does not page as asked is not read for ever: the backup
// keeps what it cannot tell is needed, and the next one, paged, removes it.
TEST_F(BackupLeftovers, ACatalogThatDoesNotPageAsAskedIsReadWithinABound) {
    const struct {
        const char* name;
        size_t rows;  // copies of the VM's row in every page
    } cases[] = {
        {"EveryPageTheFirst", 1000},
        {"LongerThanAsked", 1001},
    };
    const time_t long_ago = 1000000000;
    fill_disks();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    const Value row(rows().back());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string left =
            make_snapshot(smartx::backup_snapshot_name(vm_.name, long_ago + &c - cases));
        world_->backupd().set_view_override(json_spirit::write(Value(Array(c.rows, row))), true);
        Process_Log_Capture log;
        backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
        world_->backupd().set_view_override("");
        EXPECT_NE(log.text().find("does not page the sets of VM " + vm_.id), std::string::npos)
            << log.text();
        EXPECT_EQ(snapshot_set().count(left), 1u);
    }
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    EXPECT_EQ(leftover_snapshots(), std::vector<std::string>());
    EXPECT_EQ(orphan_files(), std::vector<std::string>());
}

// The snapshot is made but the servant never learns its id: the run fails
// and removes it all the same.
TEST_F(BackupLeftovers, SnapshotsWhoseCreationWentUnheardAreRemovedByTheirRun) {
    const struct {
        const char* name;
        const char* path;
        int status;
        const char* body;
    } faults[] = {
        {"TaskPollAnswers500", "get-tasks", 500, R"({"message": "poll failed"})"},
        {"TaskPollAnswersWrongTypes", "get-tasks", 200, R"([{"id": 1, "status": ["SUCCESSED"]}])"},
        {"SnapshotLookupAnswersWrongTypes", "get-vm-snapshots", 200, R"([{"id": 5, "name": {}}])"},
    };
    fill_disks();
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        world_->tower().answer_raw(fault.path, fault.status, fault.body, "application/json", 1);
        EXPECT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 1);
        world_->tower().reset_switches();
        EXPECT_EQ(snapshots(), std::vector<std::string>());
        EXPECT_EQ(pool_files(), std::vector<std::string>());
        EXPECT_TRUE(rows().empty());
    }
    // A full that replaces a base it could not look up removes the old one.
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    world_->backupd().fail_catalog(2, 400);
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    EXPECT_EQ(text_of(Value(rows().back()), "type"), "full");
    expect_clean_chain(1);
}

// Another chain's newest set and a running backup's snapshot and files stay.
TEST_F(BackupLeftovers, WhatOtherChainsAndRunningBackupsNeedStays) {
    fill_disks();
    smartx::Backup_Param other = param(JOB_DEFINITION_SUBTYPE_FULL);
    other.control.resource_uuid = "0f0e0d0c-0b0a-4090-8070-6050403020ff";
    ASSERT_EQ(backup(other).code(), 0);
    const std::string other_snap = newest_snap();
    // A running backup's snapshot and file, made under its name and stamp.
    const time_t started = 1000000000;
    const std::string running_name = smartx::backup_snapshot_name(vm_.name, started);
    const std::string running_snap = make_snapshot(running_name);
    const std::string running_file =
        smartx::backup_file_name(vm_.id, false, "info", JOB_DEFINITION_SUBTYPE_FULL, started, 0);
    std::ofstream(world_->pool_dir() + "/" + running_file) << "being written";
    smartx::Backup_Hold hold;
    ASSERT_TRUE(hold.take(vm_.id, "run-1", running_name, smartx::backup_file_stamp(started)));

    for (const auto type : {JOB_DEFINITION_SUBTYPE_FULL, JOB_DEFINITION_SUBTYPE_INCREMENTAL}) {
        ASSERT_EQ(backup(type).code(), 0);
    }
    EXPECT_EQ(snapshot_set(), (std::set<std::string>{other_snap, running_snap, newest_snap()}));
    EXPECT_EQ(orphan_files(), std::vector<std::string>{running_file});

    // Its servant gone, they go with the next backup.
    hold.release();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    EXPECT_EQ(snapshot_set(), (std::set<std::string>{other_snap, newest_snap()}));
    EXPECT_EQ(orphan_files(), std::vector<std::string>());
    EXPECT_EQ(leftover_snapshots(), std::vector<std::string>());
}

}  // namespace
}  // namespace backup_test
