// Backups that go wrong, run end to end through job-engine against the
// backup world: each fault hits an incremental run (or a restore) of one
// chain, then a clean incremental follows. Whatever a run committed must
// restore byte for byte, nothing unfinished may stay in the catalog, the pool
// or CloudTower, and the next incremental builds on the last committed set.
// Random points come from FAULT_SEED, the chain rounds from CHAIN_SEED (each
// printed; CHAIN_ROUNDS sets their number).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "world/backup_world.h"
#include "world/fault_run.h"
#include "world/job_run.h"
#include "world/listed_vm.h"

namespace {

using namespace world;
constexpr uint64_t MiB = 1024 * 1024;
using Env = std::map<std::string, std::string>;

enum When { NOW, TRANSFER, COMMIT };
enum Hurt { NOTHING, KILL, CANCEL, EXPIRE_TOKENS, RESTART_SERVER };
enum Commits { NONE, ONE, ANY };

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZBS_RETRIES", "1", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        prepare_job_host(*world_, STARTER_PATH, SMARTX_MODULE_PATH);
        vm_ = numbered_vm("ft", 0, "ft-0", {2 * MiB + 4608, 700 * 1024}, "under faults");
        vm_.running = true;
        world_->add_vms({vm_});
        book_.reset(new Set_Book(*world_, {vm_}));
    }

    // A backup at this level, hurt as asked; the rows it committed.
    size_t backup(Job_Definition_Subtype level, const Env& env = {},
                  const std::function<bool()>& ready = nullptr, int delay_ms = 0,
                  const std::function<void(pid_t)>& hurt = nullptr) {
        write_job_definition(root_.file("backup.json"), level, {vm_}, Object());
        book_->before_run();
        last_ = run_hurt_job(JOB_ENGINE_PATH, root_.file("backup.json"), root_.file("engine.out"),
                             env, ready, delay_ms, hurt);
        return book_->after_run();
    }

    // The set restored as a new VM of that name; its disks ({} when it failed).
    std::vector<std::string> restore(const std::string& set, const std::string& name,
                                     const Env& env = {}) {
        Restore_Target target;
        target.new_name = name;
        write_restore_definition(root_.file("restore.json"), JOB_DEFINITION_SUBTYPE_VM,
                                 Array{restore_entry(world_->fixtures(), vm_, set, target).dump()},
                                 Object());
        last_ = run_hurt_job(JOB_ENGINE_PATH, root_.file("restore.json"), root_.file("engine.out"),
                             env, nullptr, 0, nullptr);
        const std::string id = vm_id_named(*world_, name);
        if (last_.exit_code != 0 || id.empty())
            return {};
        return world_->disk_contents(listed_vm(*world_, id));
    }

    std::string last_set() const { return text_of(Value(book_->last_row(vm_)), "uuid"); }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    std::unique_ptr<Set_Book> book_;
    VM vm_;
    Job_Engine_Run last_;
};

struct Fault_Case {
    const char* name;
    Env env;                                 // the hurt run's environment
    std::function<void(Backup_World&)> arm;  // switches before it
    When when;
    int most_ms;  // the hurt comes at a random point this long after `when`
    Hurt hurt;
    Commits commits;
    bool restore = false;  // the run hurt is a restore of the last set
};

TEST_F(Faults, NothingLostOrLeftBehind) {
    const auto none = [](Backup_World&) {};
    const auto tower_error = [](const char* path, int status) {
        return [=](Backup_World& w) { w.tower().fail_path(path, status, "simulated failure", -1); };
    };
    const Env slow{{"ZBS_SIM_DELAY_MS", "80"}};
    const Fault_Case cases[] = {
        {"ZbsReadErrorsPastTheRetries",
         {{"ZBS_SIM_FAIL_READS", "100000"}},
         none,
         NOW,
         0,
         NOTHING,
         NONE},
        {"ZbsWriteErrorsFailTheRestore",
         {{"ZBS_SIM_FAIL_WRITES", "100000"}},
         none,
         NOW,
         0,
         NOTHING,
         NONE,
         true},
        {"SlowZbs", {{"ZBS_SIM_DELAY_MS", "40"}}, none, NOW, 0, NOTHING, ONE},
        {"OnePoolWriteFails", {{"POOL_FAIL_WRITES", "1"}}, none, NOW, 0, NOTHING, ONE},
        {"FullPool", {{"POOL_SPACE", "400000"}}, none, NOW, 0, NOTHING, NONE},
        {"TowerErrorOnSnapshot", {}, tower_error("create-vm-snapshot", 500), NOW, 0, NOTHING, NONE},
        {"TowerErrorOnTaskPoll", {}, tower_error("get-tasks", 503), NOW, 0, NOTHING, NONE},
        {"TowerErrorOnSnapshotRemoval",
         {},
         tower_error("delete-vm-snapshot", 500),
         NOW,
         0,
         NOTHING,
         ONE},
        {"FailedSnapshotTask",
         {},
         [](Backup_World& w) { w.tower().fail_tasks("create-vm-snapshot", "no space", -1); },
         NOW,
         0,
         NOTHING,
         NONE},
        {"NeverEndingTaskCancelled",
         {},
         [](Backup_World& w) {
             w.tower().set_task_timing({1000000, 0});
         },
         NOW,
         1500,
         CANCEL,
         NONE},
        {"TokenExpiresDuringTransfer", slow, none, TRANSFER, 250, EXPIRE_TOKENS, ANY},
        {"ServantKilledDuringTransfer", slow, none, TRANSFER, 250, KILL, ANY},
        {"ServantKilledDuringCommit",
         {},
         [](Backup_World& w) { w.backupd().delay_commits(300); },
         COMMIT,
         500,
         KILL,
         ANY},
        {"CancelAtARandomPoint", slow, none, NOW, 2500, CANCEL, ANY},
        {"BackupServerRestartsDuringTransfer", slow, none, TRANSFER, 250, RESTART_SERVER, ANY},
    };
    std::mt19937_64 rng(test_seed("FAULT_SEED"));
    world_->fill_disks(vm_);
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL), 1u) << last_.output;
    Disk_Editor editor(*world_, rng());
    // FAULT_CASES=<part of a name> runs only the cases it names.
    const char* only = std::getenv("FAULT_CASES");
    for (const Fault_Case& c : cases) {
        if (only != nullptr && std::string(c.name).find(only) == std::string::npos)
            continue;
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        editor.edit(vm_);
        // A run hurt on its way gets a whole disk to copy: time to be hurt in.
        if (c.hurt != NOTHING)
            world_->write_disk(vm_.disks[0], 0,
                               pattern(vm_.disks[0].size, static_cast<char>('a' + rng() % 26)));
        const std::string before = last_set();
        const int commits = world_->backupd().commits_received();
        const std::vector<std::string> files = world_->pool_files();
        c.arm(*world_);
        const int delay = c.most_ms > 0 ? static_cast<int>(rng() % c.most_ms) : 0;
        const std::map<When, std::function<bool()>> ready{
            {NOW, [] { return true; }},
            {TRANSFER, [&] { return pool_writing(world_->pool_dir(), files); }},
            {COMMIT, [&] { return world_->backupd().commits_received() > commits; }}};
        const std::function<void(pid_t)> hurts[] = {
            [](pid_t) {}, [](pid_t engine) { kill_servants(engine); },
            [](pid_t engine) { ::kill(engine, SIGINT); },
            [this](pid_t) { world_->tower().expire_tokens(); },
            [this](pid_t) {
                const int port = world_->backupd().port();
                world_->backupd().stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                ASSERT_TRUE(world_->backupd().start(port));
            }};
        if (c.restore) {
            const std::vector<std::string> held = book_->held(before);
            EXPECT_TRUE(restore(before, std::string(c.name) + "-1", c.env).empty());
            EXPECT_EQ(last_.exit_code, 1) << last_.output;
            world_->tower().reset_switches();
            EXPECT_EQ(restore(before, std::string(c.name) + "-2"), held) << last_.output;
            continue;
        }
        std::printf("%s: hurt %d ms after its point\n", c.name, delay);
        const size_t made =
            backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, c.env,
                   c.hurt == NOTHING ? nullptr : ready.at(c.when), delay, hurts[c.hurt]);
        world_->tower().reset_switches();
        world_->backupd().delay_commits(0);
        // A servant killed once its commit is in may fail a VM whose set is whole.
        if (c.commits != ANY) {
            EXPECT_EQ(made, c.commits == ONE ? 1u : 0u) << last_.output;
            EXPECT_EQ(last_.exit_code, made == 1 ? 0 : 1) << last_.output;
        }
        EXPECT_EQ(book_->restore_problems(), std::vector<std::string>());

        // The next backup builds on what was committed last and clears what is left.
        const std::string base = last_set();
        editor.edit(vm_);
        ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL), 1u) << last_.output;
        const Object next = book_->last_row(vm_);
        EXPECT_EQ(text_of(Value(next), "type"), "incremental");
        EXPECT_EQ(member_of(Value(next), "base_sets"), Value(Array{Value(base)}));
        EXPECT_EQ(book_->restore_problems(), std::vector<std::string>());
        EXPECT_EQ(book_->leftovers(true), std::vector<std::string>());
        std::printf("%s: %lld ms\n", c.name,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count()));
    }
    // The chain's end comes back through a restore job too.
    const std::string end = last_set();
    EXPECT_EQ(restore(end, "ft-end"), book_->held(end)) << last_.output;
}

TEST_F(Faults, ChainRounds) {
    const char* rounds_text = std::getenv("CHAIN_ROUNDS");
    const int rounds = rounds_text != nullptr ? std::atoi(rounds_text) : 6;
    Disk_Editor editor(*world_, test_seed("CHAIN_SEED"));
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        editor.edit(vm_);
        const bool full = round == 0 || editor.next(6) == 0;
        const std::string base = last_set();
        ASSERT_EQ(backup(full ? JOB_DEFINITION_SUBTYPE_FULL : JOB_DEFINITION_SUBTYPE_INCREMENTAL),
                  1u)
            << last_.output;
        const Object row = book_->last_row(vm_);
        EXPECT_EQ(text_of(Value(row), "type"), full ? "full" : "incremental");
        if (!full) {
            EXPECT_EQ(member_of(Value(row), "base_sets"), Value(Array{Value(base)}));
        }
        EXPECT_EQ(book_->restore_problems(), std::vector<std::string>());
        EXPECT_EQ(book_->leftovers(true), std::vector<std::string>());
    }
}

}  // namespace
