// Backups and restores that go wrong, end to end through job-engine: each
// fault case (one test each) hits an incremental run or a restore of a fresh
// chain. After a backup a clean incremental follows: whatever was committed
// must restore byte for byte (from the pool and through restore jobs),
// nothing unfinished may stay in the catalog, the pool or CloudTower, and the
// next incremental builds on the last committed set. After a restore the job
// runs again: it restores byte for byte and leaves nothing without its
// purpose. Seeds: FAULT_SEED, CHAIN_SEED (printed); CHAIN_ROUNDS sets rounds.
// Disks are compared with EXPECT_TRUE: a failure shows the job's output, not
// megabytes of disk.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "support/temp_root.h"
#include "world/fault_run.h"
#include "world/leftovers.h"
#include "world/listed_vm.h"
#include "world/pool_image.h"
#include "world/restore_faults.h"

namespace {

using namespace world;
using Env = std::map<std::string, std::string>;
using Point = Hurt_Point;
using Strings = std::vector<std::string>;
using Commit_Answer = sim::Backup_Server::Commit_Answer;

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZBS_RETRIES", "1", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        prepare_job_host(*world_, STARTER_PATH, SMARTX_MODULE_PATH);
        vm_ = numbered_vm("ft", 0, "ft-0", {2 * 1024 * 1024 + 4608, 700 * 1024}, "under faults");
        vm_.running = true;
        world_->add_vms({vm_});
        start_ = tower_census(*world_);
        chain_.reset(new Job_Chain(*world_, vm_, JOB_ENGINE_PATH, root_.path()));
    }

    // The next incremental builds on the last set, keeps its snapshot, and
    // every set restores.
    void next_builds_on(const std::string& base) {
        ASSERT_EQ(chain_->backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL), 1u)
            << chain_->last_run().output;
        EXPECT_EQ(text_of(Value(chain_->last_row()), "type"), "incremental");
        EXPECT_EQ(member_of(Value(chain_->last_row()), "base_sets"), Value(Array{Value(base)}));
        EXPECT_THAT(world_->vm_snapshot_ids(vm_.id),
                    ::testing::Contains(text_of(Value(chain_->last_row()), "snap_id")));
        EXPECT_EQ(chain_->book().restore_problems(), Strings());
        EXPECT_EQ(chain_->book().leftovers(true), Strings());
    }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    VM vm_;
    std::unique_ptr<Job_Chain> chain_;
    Tower_Census start_;
};

// What the hurt run commits: nothing, one set (and it succeeds), one set it
// cannot tell it committed (and it fails), nothing while it cannot tell (it
// fails and leaves its files for the next run), or either.
enum Commits { NONE, ONE, ONE_UNTOLD, NONE_UNTOLD, ANY };

// The run hurt: an incremental backup, or a restore of the full set as a new
// VM (named as the case).
enum Road { BACKUP, RESTORE };

// What a restore finds in place of the full set's first image: the image
// itself, nothing (cut to 0 bytes), the image with one byte turned, or the
// set's second image.
enum Image { WHOLE, CUT, TURNED_BYTE, ANOTHER_DISKS };

// One way a run goes wrong: hurt on its way (or not), with switches armed
// before it, and what it may commit.
struct Fault_Case {
    const char* name;
    Commits commits;
    Env env;                                 // the hurt run's environment
    std::function<void(Backup_World&)> arm;  // switches before it
    Hurt hurt;
    Point point;
    int most_ms;  // the hurt comes at a random point this long after it
    Road road = BACKUP;
    // A restore's point (see restore_point): its switches and environment
    // are added, and the hurt comes once it is reached.
    const char* at = "";
    Image image = WHOLE;  // what the hurt restore finds
    // A backup of the VM that holds its claim lock throughout the hurt run.
    bool claim_stuck = false;
    const char* says = "";  // what the hurt run's output holds
};

void none(Backup_World&) {}

std::function<void(Backup_World&)> tower_fails(const char* path, int status) {
    return [=](Backup_World& w) { w.tower().fail_path(path, status, "simulated failure", -1); };
}

// What the look-up after a lost commit answer gets: the catalog's own
// answer, a 503, the VM's rows from before the run (a server that ignored
// the filter), a row whose uuid is a number, or an empty list.
enum Look_Up { CATALOG, FAILS, OTHER_ROWS, UUID_NOT_TEXT, EMPTY };

// The next commits (stored or not) get that answer, and the look-up that
// follows gets look_up.
std::function<void(Backup_World&)> commit_answers(int count, bool stored, Commit_Answer answer,
                                                  Look_Up look_up = CATALOG) {
    return [=](Backup_World& w) {
        w.backupd().fault_commits(count, stored, answer);
        const std::vector<Object> rows = w.catalog_rows();
        const std::string texts[] = {"", "",
                                     json_spirit::write(Value(Array(rows.begin(), rows.end()))),
                                     R"([{"uuid": 5}])", "[]"};
        if (look_up == FAILS)
            w.backupd().fail_views_after_commit(count, 503);
        else if (look_up != CATALOG)
            w.backupd().answer_views_after_commit(1, texts[look_up]);
    };
}

// The point named at of a restore as name: where its servant is killed
// (restore_kill_points), or its VM's creation never ending; none when at is
// empty.
Restore_Kill_Point restore_point(const VM& vm, const std::string& name, const std::string& at) {
    std::vector<Restore_Kill_Point> points = restore_kill_points(vm, name);
    points.push_back(endless_vm_task());
    for (const Restore_Kill_Point& p : points)
        if (p.name == at)
            return p;
    EXPECT_EQ(at, "") << "no such point";
    return {"", {}, none, [](Backup_World&, const Tower_Census&) { return true; }};
}

const Env slow{{"ZBS_SIM_DELAY_MS", "80"}};
const Hurt no = Hurt::NOTHING;
const Hurt killed = Hurt::KILL_SERVANTS;

// clang-format off
const Fault_Case fault_cases[] = {
    {"ZbsReadErrorsPastTheRetries", NONE, {{"ZBS_SIM_FAIL_READS", "100000"}}, none, no, Point::START, 0},
    {"SlowZbs", ONE, {{"ZBS_SIM_DELAY_MS", "40"}}, none, no, Point::START, 0},
    {"OnePoolWriteFails", ONE, {{"POOL_FAIL_WRITES", "1"}}, none, no, Point::START, 0},
    {"FullPool", NONE, {{"POOL_SPACE", "400000"}}, none, no, Point::START, 0},
    {"TowerErrorOnSnapshot", NONE, {}, tower_fails("create-vm-snapshot", 500), no, Point::START, 0},
    {"TowerErrorOnTaskPoll", NONE, {}, tower_fails("get-tasks", 503), no, Point::START, 0},
    {"TowerErrorOnSnapshotRemoval", ONE, {}, tower_fails("delete-vm-snapshot", 500), no, Point::START, 0},
    {"FailedSnapshotTask", NONE, {}, [](Backup_World& w) { w.tower().fail_tasks("create-vm-snapshot", "no space", -1); },
     no, Point::START, 0},
    {"NeverEndingTaskCancelled", NONE, {}, [](Backup_World& w) { w.tower().set_task_timing({1000000, 0}); },
     Hurt::CANCEL, Point::START, 1500},
    {"TokenExpiresDuringTransfer", ANY, slow, none, Hurt::EXPIRE_TOKENS, Point::TRANSFER, 250},
    {"ServantKilledDuringTransfer", ANY, slow, none, Hurt::KILL_SERVANTS, Point::TRANSFER, 250},
    {"ServantKilledDuringCommit", ANY, {}, [](Backup_World& w) { w.backupd().delay_commits(300); },
     Hurt::KILL_SERVANTS, Point::COMMIT, 350},
    {"CancelAtARandomPoint", ANY, slow, none, Hurt::CANCEL, Point::START, 2500},
    {"BackupServerRestartsDuringTransfer", ANY, slow, none, Hurt::RESTART_BACKUP_SERVER, Point::TRANSFER, 250},
    {"LostCommitAnswer", ONE, {}, commit_answers(1, true, Commit_Answer::NOT_JSON), no, Point::START, 0},
    {"CommitAnswersCutOffPastTheRetries", ONE, {}, commit_answers(100, true, Commit_Answer::CUT_OFF), no, Point::START, 0},
    {"LostCommitAnswerAndLookUp", ONE_UNTOLD, {}, commit_answers(100, true, Commit_Answer::NAMES_NO_SET, FAILS),
     no, Point::START, 0},
    {"UnstoredCommitAnswersCutOff", NONE_UNTOLD, {}, commit_answers(100, false, Commit_Answer::CUT_OFF), no, Point::START, 0},
    // Look-ups that do not list the set prove nothing: the run fails and
    // leaves it all to the next.
    {"LostCommitAnswerLookUpListsOtherRows", ONE_UNTOLD, {},
     commit_answers(1, true, Commit_Answer::NOT_JSON, OTHER_ROWS), no, Point::START, 0},
    {"LostCommitAnswerLookUpUuidNotText", ONE_UNTOLD, {},
     commit_answers(1, true, Commit_Answer::NAMES_NO_SET, UUID_NOT_TEXT), no, Point::START, 0},
    {"LostCommitAnswerLookUpEmpty", ONE_UNTOLD, {}, commit_answers(1, true, Commit_Answer::NOT_JSON, EMPTY),
     no, Point::START, 0},
    // Another backup of the VM never lets its claim lock go: the cancel
    // ends the waiting one.
    {"ClaimBehindAStuckLockCancelled", NONE, {}, none, Hurt::CANCEL, Point::CLAIM, 500, BACKUP, "", WHOLE, true,
     "the job is stopping"},
    // A journal left from long ago names the VM, its volumes and the
    // CloudTower VM: the restores that follow settle it, and none goes.
    {"BesideAStaleRestoreJournal", ONE, {}, [](Backup_World& w) { plant_stale_journal(w, "ft-0"); }, no, Point::START,
     0},
    // The restore side: nothing it made stays once the job runs again.
    {"ZbsWriteErrorsFailTheRestore", NONE, {{"ZBS_SIM_FAIL_WRITES", "100000"}}, none, no, Point::START, 0, RESTORE},
    {"RestoreKilledWhileItsFirstVolumeIsAnswered", NONE, {}, none, killed, Point::START, 0, RESTORE,
     "WhileItsFirstVolumeIsAnswered"},
    {"RestoreKilledOnceItsVolumesAreMade", NONE, {}, none, killed, Point::START, 0, RESTORE, "OnceItsVolumesAreMade"},
    {"RestoreKilledWhileItWritesThem", NONE, {}, none, killed, Point::START, 0, RESTORE, "WhileItWritesThem"},
    {"RestoreKilledWhileItsVmIsAnswered", NONE, {}, none, killed, Point::START, 0, RESTORE, "WhileItsVmIsAnswered"},
    {"RestoreKilledOnceItsVmIsMade", NONE, {}, none, killed, Point::START, 0, RESTORE, "OnceItsVmIsMade"},
    {"RestoreKilledBeforeItsPowerStep", NONE, {}, none, killed, Point::START, 0, RESTORE, "BeforeItsPowerStep"},
    {"RestoreCancelledDuringAnEndlessTask", NONE, {}, none, Hurt::CANCEL, Point::START, 0, RESTORE, "WhileItsVmIsMadeForever"},
    {"EndlessRestoreTaskEndsAtTheWaitBound", NONE, {{"SMARTX_TASK_WAIT_SECONDS", "2"}}, none, no, Point::START, 0, RESTORE,
     "WhileItsVmIsMadeForever"},
    // Images that are not what their rows name: the VM fails, naming the
    // file, before anything of it stays; the image put back, it restores.
    {"RestoreOfAnImageCutToNothing", NONE, {}, none, no, Point::START, 0, RESTORE, "", CUT},
    {"RestoreOfAnImageWithATurnedByte", NONE, {}, none, no, Point::START, 0, RESTORE, "", TURNED_BYTE},
    {"RestoreOfAnotherDisksImage", NONE, {}, none, no, Point::START, 0, RESTORE, "", ANOTHER_DISKS},
};
// clang-format on

// The pool file of the set's image of disk i (the resource's directory is
// the world's pool).
std::string image_path(Backup_World& world, const Object& row, size_t i) {
    const Value whole(row);
    const Value& pieces = member_of(whole, "pieces");
    return world.pool_dir() + "/" + text_of(pieces.get_array().at(i), "path");
}

// Puts what the case names in place of the set's first image; its name in
// the pool, and what was there (empty when nothing changed).
std::pair<std::string, std::string> spoil_image(Backup_World& world, const Object& row,
                                                Image image) {
    if (image == WHOLE)
        return {};
    const std::string path = image_path(world, row, 0);
    const std::string whole = file_content(path);
    if (image == CUT)
        cut_image(path, 0);
    else if (image == TURNED_BYTE)
        write_at(path, whole.size() / 2,
                 std::string(1, static_cast<char>(~whole[whole.size() / 2])));
    else
        copy_image(image_path(world, row, 1), path);
    return {path.substr(world.pool_dir().size() + 1), whole};
}

class Fault : public Faults, public ::testing::WithParamInterface<Fault_Case> {
protected:
    // The set restored as a new VM, hurt; the job run again restores it and
    // leaves nothing else.
    void restore_goes_wrong(const Fault_Case& c, const std::string& set) {
        const Restore_Kill_Point at = restore_point(vm_, c.name, c.at);
        const Tower_Census before = tower_census(*world_);
        Env env = c.env;
        env.insert(at.env.begin(), at.env.end());
        at.arm(*world_);
        const auto spoilt = spoil_image(*world_, chain_->book().rows_of(vm_).front(), c.image);
        bool reached = false;
        EXPECT_TRUE(chain_
                        ->restore(set, c.name, env, c.hurt,
                                  [&] { return reached = at.reached(*world_, before); })
                        .empty())
            << chain_->last_run().output;
        world_->tower().reset_switches();
        if (!spoilt.first.empty()) {
            // The failure names the file.
            const Job_Engine_Run& run = chain_->last_run();
            EXPECT_GE(run.count(spoilt.first + " does not match its catalog row") +
                          run.count(spoilt.first + ": image is damaged"),
                      1u)
                << run.output;
            replace_file(world_->pool_dir() + "/" + spoilt.first, spoilt.second);
        }
        const int hurt_exit = chain_->last_run().exit_code;
        EXPECT_TRUE(reached || c.hurt == no) << chain_->last_run().output;
        EXPECT_TRUE(wait_landed(*world_, at, before));
        // Run again ("ignore": a VM left under the name would be skipped); a
        // VM the hurt run started stays, and the set comes back beside it.
        Strings kept;
        std::string name = c.name;
        if (at.vm_kept) {
            kept.push_back(vm_id_named(*world_, name));
            name += "-again";
        }
        EXPECT_TRUE(chain_->restore(set, name) == chain_->book().held(set))
            << chain_->last_run().output;
        kept.push_back(vm_id_named(*world_, name));
        // A volume only its name ties to the hurt run stays, reported.
        EXPECT_EQ(hurt_restore_problems(*world_, at, before, kept), Strings());
        EXPECT_EQ(vanished(*world_, before), Strings());
        EXPECT_EQ(chain_->book().restore_problems(), Strings());
        EXPECT_EQ(chain_->book().leftovers(true), Strings());
        std::printf("%s: %s, the hurt run ended %d\n", c.name, reached ? "reached" : "not reached",
                    hurt_exit);
    }
};

// After a full backup the fault hits the next run: a restore of that set, or
// an incremental, which a clean incremental follows.
TEST_P(Fault, NothingLostOrLeftBehind) {
    const Fault_Case& c = GetParam();
    std::mt19937_64 rng(test_seed("FAULT_SEED"));
    world_->fill_disks(vm_);
    ASSERT_EQ(chain_->backup(JOB_DEFINITION_SUBTYPE_FULL), 1u) << chain_->last_run().output;
    Disk_Editor editor(*world_, rng());
    editor.edit(vm_);
    // A run hurt on its way gets a whole disk to copy: time to be hurt in;
    // so does one that must commit nothing (the random edits alone may
    // fit in a pool meant to be too small).
    if (c.hurt != no || c.commits == NONE || c.commits == NONE_UNTOLD)
        world_->write_disk(vm_.disks[0], 0,
                           pattern(vm_.disks[0].size, static_cast<char>('a' + rng() % 26)));
    const std::string base = chain_->last_set();
    c.arm(*world_);
    if (c.road == RESTORE)
        return restore_goes_wrong(c, base);
    const int delay = c.most_ms > 0 ? static_cast<int>(rng() % c.most_ms) : 0;
    Stuck_Claim stuck;
    if (c.claim_stuck)
        stuck.hold(vm_.id);
    const size_t made =
        chain_->backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, c.env, c.hurt, c.point, delay);
    stuck.release();
    world_->tower().reset_switches();
    world_->backupd().delay_commits(0);
    world_->backupd().fault_commits(0, false, Commit_Answer::CUT_OFF);
    world_->backupd().fail_views_after_commit(0, 0);
    // A servant killed once its commit is in may fail a VM whose set is whole.
    if (c.commits != ANY) {
        const bool one = c.commits == ONE || c.commits == ONE_UNTOLD;
        EXPECT_EQ(made, one ? 1u : 0u) << chain_->last_run().output;
        EXPECT_EQ(chain_->last_run().exit_code, c.commits == ONE ? 0 : 1);
    }
    // What it cannot tell is committed keeps its files until the next run.
    if (c.commits == NONE_UNTOLD) {
        EXPECT_NE(orphan_pool_files(*world_), Strings());
    }
    if (*c.says != '\0') {
        EXPECT_GE(chain_->last_run().count(c.says), 1u) << chain_->last_run().output;
    }
    EXPECT_EQ(chain_->book().restore_problems(), Strings());
    // Sets whose commit answer was lost have had their time to land.
    end_commit_grace(vm_.id);
    editor.edit(vm_);
    next_builds_on(made == 1 ? chain_->last_set() : base);
    // The sets made since the full one come back through restore jobs too
    // (each reads every image of its chain).
    const std::vector<Object> rows = chain_->book().rows_of(vm_);
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::string set = text_of(Value(rows[i]), "uuid");
        EXPECT_TRUE(chain_->restore(set, std::string(c.name) + "-" + std::to_string(i)) ==
                    chain_->book().held(set))
            << chain_->last_run().output;
    }
    // Nothing that was there is gone, and no journal is left.
    EXPECT_EQ(vanished(*world_, start_), Strings());
    EXPECT_EQ(restore_journals(), Strings());
    std::printf("%s: hurt after %d ms, %zu committed\n", c.name, delay, made);
}

INSTANTIATE_TEST_SUITE_P(Matrix, Fault, ::testing::ValuesIn(fault_cases),
                         [](const ::testing::TestParamInfo<Fault_Case>& i) {
                             return i.param.name;
                         });

#ifdef SMARTX_TEST_PAUSES
// The files of the processes paused at the point (see run_record.cpp).
Strings paused_at(const std::string& dir, const std::string& point) {
    Strings files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind(point + ".", 0) == 0)
            files.push_back(e.path().string());
    return files;
}

// Waits (bounded) until a process is paused at the point.
bool wait_paused(const std::string& dir, const std::string& point) {
    constexpr int POLLS = 6000;
    for (int i = 0; i < POLLS && paused_at(dir, point).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !paused_at(dir, point).empty();
}

void go_on(const std::string& dir, const std::string& point) {
    for (const std::string& f : paused_at(dir, point))
        std::filesystem::remove(f);
}

Env pausing_at(const std::string& dir, const char* point) {
    return {{"SMARTX_TEST_PAUSE_DIR", dir}, {"SMARTX_TEST_PAUSES", point}};
}
#endif

// A restore job starts as another ends: its start-up sweep opens the ending
// run's journal just before that run removes it, and locks it just after.
// The ending run's VM stays, and both restore byte for byte.
TEST_F(Faults, ASweepThatOpensAJournalAsItsRunEndsKeepsThatRunsVm) {
#ifndef SMARTX_TEST_PAUSES
    GTEST_SKIP() << "built without SMARTX_TEST_PAUSES";
#else
    world_->fill_disks(vm_);
    ASSERT_EQ(chain_->backup(JOB_DEFINITION_SUBTYPE_FULL), 1u) << chain_->last_run().output;
    const std::string set = chain_->last_set();
    const std::string pauses = root_.path() + "/pauses", other_dir = root_.path() + "/other";
    ASSERT_EQ(::mkdir(pauses.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(other_dir.c_str(), 0700), 0);
    const Tower_Census before = tower_census(*world_);
    Job_Chain other(*world_, vm_, JOB_ENGINE_PATH, other_dir);

    std::atomic<bool> sweeping_done{false};
    Strings ending_disks;
    std::thread ending([&] {
        ending_disks = chain_->restore(set, "ending", pausing_at(pauses, "record-ending"));
        // Only once that run has ended may the sweep lock what it opened.
        while (!sweeping_done) {
            go_on(pauses, "record-opened");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const bool ending_paused = wait_paused(pauses, "record-ending");
    bool opened = false;
    std::thread opener([&] {
        opened = wait_paused(pauses, "record-opened");
        go_on(pauses, "record-ending");
    });
    const Strings sweeping_disks =
        other.restore(set, "sweeping", pausing_at(pauses, "record-opened"));
    sweeping_done = true;
    opener.join();
    ending.join();

    EXPECT_TRUE(ending_paused && opened);
    EXPECT_TRUE(ending_disks == chain_->book().held(set)) << chain_->last_run().output;
    EXPECT_TRUE(sweeping_disks == chain_->book().held(set)) << other.last_run().output;
    const std::string ending_vm = vm_id_named(*world_, "ending");
    ASSERT_NE(ending_vm, "") << other.last_run().output;
    EXPECT_TRUE(world_->disk_contents(listed_vm(*world_, ending_vm)) == chain_->book().held(set));
    EXPECT_EQ(restore_leftovers(*world_, before, {ending_vm, vm_id_named(*world_, "sweeping")}),
              Strings());
    EXPECT_EQ(vanished(*world_, before), Strings());
#endif
}

TEST_F(Faults, ChainRounds) {
    const char* rounds = std::getenv("CHAIN_ROUNDS");
    Disk_Editor editor(*world_, test_seed("CHAIN_SEED"));
    for (int round = 0; round < (rounds != nullptr ? std::atoi(rounds) : 6); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        editor.edit(vm_);
        if (round == 0 || editor.next(6) == 0) {
            ASSERT_EQ(chain_->backup(JOB_DEFINITION_SUBTYPE_FULL), 1u) << chain_->last_run().output;
            EXPECT_EQ(text_of(Value(chain_->last_row()), "type"), "full");
        } else {
            next_builds_on(chain_->last_set());
        }
        EXPECT_EQ(chain_->book().restore_problems(), Strings());
    }
    // The chain's end comes back through a restore job too.
    const std::string end = chain_->last_set();
    EXPECT_TRUE(chain_->restore(end, "ft-end") == chain_->book().held(end))
        << chain_->last_run().output;
}

}  // namespace
