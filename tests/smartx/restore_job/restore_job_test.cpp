// Restores against the backup world: what the executor settles in this
// process before any servant starts (runs that stop change nothing, what a
// VM of the new name gets), and whole jobs through job-engine, whose servants
// restore sets that backup jobs made the same way: killed, cancelled or
// facing a task that never ends, they leave nothing once the job runs again.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/catalog.h"
#include "host/json_spirit/json_io.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/smartx_backup_set.h"
#include "smartx/job/progress_reporter.h"
#include "smartx/job/restore_executor.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/backup_world.h"
#include "world/fault_run.h"
#include "world/job_run.h"
#include "world/listed_vm.h"
#include "world/restore_faults.h"
#include "world/servant_request.h"

namespace {

using namespace world;
using Strings = std::vector<std::string>;
constexpr uint64_t MiB = 1024 * 1024;
const char* const kManagementVm = "cl0rjmanagement000000001";

// The executor up to its tasks, with a scheduler that never starts them.
class Probe : public smartx::Restore_Executor {
public:
    using Restore_Executor::Restore_Executor;
    bool settle() {
        Servant_Task_Scheduler scheduler("smartx.servant.restore.test", 16);
        smartx::Progress_Reporter reporter(evt_handler_, act_);
        if (!login_cluster() || !resolve_param(1, param_) ||
            !plan_entries(src_->value().get_obj().at("entries").get_array(), reporter, plans))
            return false;
        run_plans(plans, scheduler);
        return true;
    }
    size_t counted() const { return total_vms_.size(); }
    std::vector<Plan> plans;
};

class RestoreWorld : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }

    // VMs rj-0 and rj-1 with data, "holder" in the way of a new name, the
    // management VM under a name of its own.
    void fresh() {
        ::setenv("ZBS_RETRIES", "1", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        world_.reset();
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        prepare_job_host(*world_, STARTER_PATH, SMARTX_MODULE_PATH);
        vms_ = {numbered_vm("rj", 0, "rj-0", {MiB + 4608, 700 * 1024}, "restored"),
                numbered_vm("rj", 1, "rj-1", {MiB + 4608, 700 * 1024}, "restored"),
                numbered_vm("rj", 2, "holder", {MiB}, "in the way")};
        vms_[2].running = true;
        world_->add_vms(vms_);
        world_->fill_disks(vms_[0]);
        world_->fill_disks(vms_[1]);
        Object tower = world_->fixtures().record("vms", "CloudTower");
        tower["id"] = kManagementVm;
        tower["name"] = "tower-mgmt";
        ASSERT_TRUE(world_->tower().put_records("vms", Array{tower}));
    }

    // Rows naming rj-0 and rj-1 ("set-0", "set-1"), for runs that stop
    // before any servant reads them.
    void commit_rows() {
        for (size_t i = 0; i < 2; ++i) {
            SmartX_Backup_Set set;
            set.uuid = "set-" + std::to_string(i);
            set.resource_uuid = Backup_World::resource_uuid;
            set.vm_id = vms_[i].id;
            set.storages.resize(1);
            set.storages[0].pool_uuid = job_pool;
            ASSERT_TRUE(Catalog_Operator(-1, -1).commit(set, false));
        }
    }

    // The entry of VM i from the set, as a new VM of that name ("": into the VM).
    Value entry(size_t i, const std::string& set, const std::string& new_name) const {
        Restore_Target target;
        target.original = new_name.empty();
        target.new_name = new_name;
        return restore_entry(world_->fixtures(), vms_[i], set, target).dump();
    }

    // The entry of VM i from the set as a new VM, its volumes named so.
    Value entry(size_t i, const std::string& set, const std::string& new_name,
                const Strings& volume_names) const {
        Restore_Target target;
        target.new_name = new_name;
        smartx::Restore_Source_Entry e = restore_entry(world_->fixtures(), vms_[i], set, target);
        for (size_t v = 0; v < e.volumes.size() && v < volume_names.size(); ++v)
            e.volumes[v].tgt_volume_name = volume_names[v];
        return e.dump();
    }

    // Ids of the volumes of that name.
    Strings volumes_named(const std::string& name) const {
        Strings ids;
        for (const Value& v : world_->tower().records("vm_volumes"))
            if (text_of(v, "name") == name)
                ids.push_back(text_of(v, "id"));
        return ids;
    }

    // The definition job-engine would read, for a run in this process.
    Job::Definition_Ptr definition(const Value& entries, const Object& options,
                                   Job_Definition_Subtype subtype = JOB_DEFINITION_SUBTYPE_VM) {
        Job::Definition_Ptr def(new Job_Definition());
        def->id = restore_def_id;
        def->subtype = subtype;
        def->host_id = job_instance;
        def->target.id = restore_target;
        auto src = std::make_shared<smartx::Restore_Source>();
        src->value() = Object{{"entries", entries}};
        src->id(Backup_World::resource_uuid);
        auto opts = std::make_shared<smartx::Restore_Options>();
        opts->value() = options;
        def->source(src);
        def->options(opts);
        return def;
    }

    Job_Engine_Run engine(const std::string& def_file) {
        const pid_t pid = start_job_engine(JOB_ENGINE_PATH, def_file, root_.file("engine.out"));
        EXPECT_GT(pid, 0);
        return finish_job_engine(pid, root_.file("engine.out"));
    }

    // Backs up rj-0 and rj-1 at the level: their disks as the sets hold
    // them, and each one's set.
    std::vector<std::vector<std::string>> backup(Job_Definition_Subtype level,
                                                 std::vector<std::string>& sets) {
        // Sets of one VM must not share a second.
        for (const time_t now = ::time(nullptr); ::time(nullptr) == now;)
            ::usleep(10000);
        const std::vector<VM> two(vms_.begin(), vms_.begin() + 2);
        std::vector<std::vector<std::string>> contents;
        for (const VM& vm : two)
            contents.push_back(world_->disk_contents(vm));
        write_job_definition(root_.file("backup.json"), level, two, Object());
        const Job_Engine_Run r = engine(root_.file("backup.json"));
        EXPECT_EQ(r.exit_code, 0) << r.output;
        sets.assign(2, std::string());
        for (const Object& row : world_->catalog_rows())
            for (size_t v = 0; v < 2; ++v)
                if (text_of(Value(row), "vm_id") == vms_[v].id)
                    sets[v] = text_of(Value(row), "uuid");
        return contents;
    }

    Job_Engine_Run restore(const Array& entries, const Object& options) {
        write_restore_definition(root_.file("restore.json"), JOB_DEFINITION_SUBTYPE_VM, entries,
                                 options);
        return engine(root_.file("restore.json"));
    }

    // Requests that power off, delete or recycle a VM.
    size_t vm_changes() const {
        size_t n = 0;
        for (const auto& r : world_->tower().requests())
            for (const char* m : {"poweroff-vm", "delete-vm", "move-vm-to-recycle"})
                n += r.path == std::string("/v2/api/") + m;
        return n;
    }

    Value record(const std::string& id) const {
        Object out;
        world_->tower().record("vms", id, out);
        return out;
    }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    std::vector<VM> vms_;
};

TEST_F(RestoreWorld, RunsThatCannotGoOnChangeNothing) {
    commit_rows();
    const Value over = entry(0, "set-0", "holder");
    const Object overwrite{{"duplicate_vm", Value("overwrite")}};
    const struct Row {
        const char* name;
        const char* version;
        Value entries;
        Job_Definition_Subtype subtype;
        bool protect;
        std::string logged;
    } rows[] = {
        {"old platform", "2.8.0", Array{over}, JOB_DEFINITION_SUBTYPE_VM, false,
         "Not meeting the minimum requirement version 3.0.0, current(2.8.0).\n"},
        {"lowest platform, no entries", "3.0.0", Array(), JOB_DEFINITION_SUBTYPE_VM, false,
         "The list of VM to be restored is empty.\n"},
        {"entries not a list", "4.1.0", Object(), JOB_DEFINITION_SUBTYPE_VM, false,
         "Failed to parse restore source: "},
        {"disks into a protected target", "4.1.0", Array{over}, JOB_DEFINITION_SUBTYPE_DISK, true,
         "Failed to restore disks to VMs, VMs are protected.\n"},
        // The first entry would replace "holder"; a later one stops the run.
        {"entry not an object", "4.1.0", Array{over, Value(7)}, JOB_DEFINITION_SUBTYPE_VM, false,
         "Invalid job entries.\n"},
        {"unknown catalog", "4.1.0", Array{over, entry(1, "set-gone", "n")},
         JOB_DEFINITION_SUBTYPE_VM, false, "Failed to get catalog by uuid set-gone.\n"},
        {"set of another VM", "4.1.0", Array{over, entry(1, "set-0", "n")},
         JOB_DEFINITION_SUBTYPE_VM, false, "Failed to check the VM_id [" + vms_[0].id + "]"},
        {"no new name", "4.1.0", Array{over, entry(1, "set-1", "")}, JOB_DEFINITION_SUBTYPE_VM,
         false, "Failed to create VM, vm name is needed.\n"},
        {"one VM twice", "4.1.0", Array{over, entry(0, "set-0", "n")}, JOB_DEFINITION_SUBTYPE_VM,
         false, "is restored twice"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        world_->tower().set_version(row.version);
        world_->backupd().set_resource_flags(
            restore_target,
            row.protect ? std::vector<std::string>{"protected"} : std::vector<std::string>{});
        world_->tower().clear_requests();
        In_Process_Job job(definition(row.entries, overwrite, row.subtype));
        smartx::Restore_Executor executor(job);
        Log_Capture log;
        EXPECT_FALSE(executor.execute_i(nullptr));
        EXPECT_TRUE(log.has(row.logged)) << testing::PrintToString(log.texts());
        EXPECT_EQ(vm_changes(), 0u);
        EXPECT_EQ(text_of(record(vms_[2].id), "status"), "RUNNING");
        EXPECT_TRUE(job.restore_paths().empty());
    }
}

TEST_F(RestoreWorld, WhatAVmOfTheNewNameGets) {
    enum After { KEPT, DELETED, RECYCLED };
    const struct Row {
        const char* name;
        const char* rule;
        const char* target;
        bool protect;
        const char* fail_path;  // a CloudTower call that fails
        size_t counted;         // VMs the outcome counts
        bool enqueued;
        After after;
        const char* logged;
    } rows[] = {
        {"ignore", "ignore", "holder", false, "", 0, false, KEPT,
         "Skip restoring VM holder, already exists.\n"},
        {"timestamp", "timestamp", "holder", false, "", 1, true, KEPT, ""},
        {"overwrite", "overwrite", "holder", false, "", 1, true, DELETED, ""},
        {"recycle", "recycle", "holder", false, "", 1, true, RECYCLED, ""},
        {"unknown rule", "", "holder", false, "", 0, false, KEPT,
         "Unknown duplicate_vm type, skip restoring VM holder.\n"},
        {"protected target", "overwrite", "holder", true, "", 0, false, KEPT,
         "Skip restoring VM holder, VM is protected.\n"},
        {"management VM", "recycle", "tower-mgmt", false, "", 0, false, KEPT,
         "the VM of that name is the platform's own (CLOUDTOWER)"},
        // No listing shows the VM named so: refused, whatever the rule.
        {"CloudTower overwritten", "overwrite", "CloudTower", false, "", 1, false, KEPT,
         "Refused to restore VM rj-0 as CloudTower: the name is the CloudTower VM's.\n"},
        {"CloudTower recycled", "recycle", "CloudTower", false, "", 1, false, KEPT,
         "Refused to restore VM rj-0 as CloudTower"},
        {"CloudTower timestamped", "timestamp", "CloudTower", false, "", 1, false, KEPT,
         "Refused to restore VM rj-0 as CloudTower"},
        // A failed look-up is no absent VM: nothing is made beside it.
        {"look-up fails", "overwrite", "holder", false, "get-vms", 1, false, KEPT,
         "Failed to check VM[holder] existence, details: "},
        {"power-off fails", "overwrite", "holder", false, "poweroff-vm", 1, false, KEPT,
         "Failed to poweroff VM holder before delete it, details: simulated failure and skip "
         "restoring it.\n"},
        {"power-off before recycling fails", "recycle", "holder", false, "poweroff-vm", 1, false,
         KEPT,
         "Failed to poweroff VM holder before move it to recycle bin, details: simulated failure "
         "and skip restoring it.\n"},
        // The VM stays as it was: running again.
        {"deletion fails", "overwrite", "holder", false, "delete-vm", 1, false, KEPT,
         "Failed to delete existing VM holder, details: simulated failureand skip restoring "
         "it.\n"},
        {"recycling fails", "recycle", "holder", false, "move-vm-to-recycle", 1, false, KEPT,
         "Failed to move VM holder to recycle bin, details: simulated failureskip restoring "
         "it.\n"},
    };
    const Object tower_vm = world_->fixtures().record("vms", "CloudTower");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        commit_rows();
        world_->backupd().set_resource_flags(
            restore_target,
            row.protect ? std::vector<std::string>{"protected"} : std::vector<std::string>{});
        if (*row.fail_path)
            world_->tower().fail_path(row.fail_path, 500, "simulated failure");
        In_Process_Job job(definition(Array{entry(0, "set-0", row.target)},
                                      Object{{"duplicate_vm", Value(row.rule)}}));
        Probe probe(job);
        Log_Capture log;
        ASSERT_TRUE(probe.settle()) << testing::PrintToString(log.texts());
        world_->tower().reset_switches();
        EXPECT_TRUE(log.has(row.logged)) << testing::PrintToString(log.texts());
        EXPECT_EQ(probe.counted(), row.counted);
        ASSERT_EQ(job.restore_paths().size(), row.enqueued ? 1u : 0u);
        const std::string name = probe.plans.at(0).entry.vm_tgt_name;
        // "_" and the local time "%Y%m%d_%H%M%S" after the name.
        EXPECT_EQ(name.size(),
                  std::string(row.target).size() + (row.enqueued && *row.rule == 't' ? 16 : 0));
        EXPECT_EQ(record(tower_vm.at("id").get_str()), Value(tower_vm));
        const Value holder = record(vms_[2].id);
        EXPECT_EQ(holder.get_obj().empty(), row.after == DELETED);
        if (row.after != DELETED) {
            EXPECT_EQ(member_of(holder, "in_recycle_bin"), Value(row.after == RECYCLED));
            EXPECT_EQ(text_of(holder, "status"), row.after == RECYCLED ? "STOPPED" : "RUNNING");
        }
    }
}

// Each point as new VMs, the last one into the VMs themselves (rj-0 changed since).
TEST_F(RestoreWorld, EveryPointOfTheChainComesBack) {
    std::vector<std::vector<std::string>> sets(3);
    std::vector<std::vector<std::vector<std::string>>> points;
    points.push_back(backup(JOB_DEFINITION_SUBTYPE_FULL, sets[0]));
    world_->write_disk(vms_[0].disks[0], 3 * 4096 + 1, std::string(70000, 'x'));
    points.push_back(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, sets[1]));
    world_->write_disk(vms_[0].disks[1], 100, std::string(5000, '\0'));
    world_->write_disk(vms_[1].disks[0], MiB, std::string(4608, 'y'));
    points.push_back(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, sets[2]));
    world_->write_disk(vms_[0].disks[0], 0, std::string(8192, 'z'));

    for (size_t p = 0; p < points.size(); ++p) {
        SCOPED_TRACE("point " + std::to_string(p));
        const bool into = p + 1 == points.size();
        const std::string suffix = "-p" + std::to_string(p);
        const Job_Engine_Run r =
            restore(Array{entry(0, sets[p][0], into ? "" : vms_[0].name + suffix),
                          entry(1, sets[p][1], into ? "" : vms_[1].name + suffix)},
                    Object{{"parallel_vms", Value(2)}, {"original_restore", Value(into)}});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(r.count("SmartX VM restore result (succeeded/total): 2/2."), 1u);
        ASSERT_EQ(r.restore_paths.size(), 2u) << r.output;
        for (size_t v = 0; v < 2; ++v) {
            EXPECT_EQ(text_of(r.restore_paths[v], "path"), job_pool);
            const std::string id = into ? vms_[v].id : vm_id_named(*world_, vms_[v].name + suffix);
            ASSERT_FALSE(id.empty()) << r.output;
            EXPECT_EQ(world_->disk_contents(listed_vm(*world_, id)), points[p][v]) << v;
        }
    }
}

TEST_F(RestoreWorld, OneVmFailingFailsTheJobWithoutAnAlert) {
    std::vector<std::string> sets;
    const std::vector<std::string> first = backup(JOB_DEFINITION_SUBTYPE_FULL, sets)[0];
    // One flipped byte in rj-1's first disk image.
    std::string image;
    for (const Object& row : world_->catalog_rows())
        if (text_of(Value(row), "uuid") == sets[1])
            image = world_->pool_dir() + "/" + piece_path(row, vms_[1].disks[0].volume_local_id);
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(5000);
    const char c = static_cast<char>(f.get() ^ 0x5a);
    f.seekp(5000);
    ASSERT_TRUE(f.put(c).flush()) << image;
    const size_t alerts = world_->alerts().size();

    const Job_Engine_Run r = restore(Array{entry(0, sets[0], "good"), entry(1, sets[1], "bad")},
                                     Object{{"parallel_vms", Value(2)}});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(r.count("SmartX VM restore result (succeeded/total): 1/2."), 1u);
    EXPECT_EQ(world_->alerts().size(), alerts);
    ASSERT_EQ(r.restore_paths.size(), 2u) << r.output;
    for (const Value& h : r.histories())
        EXPECT_EQ(member_of(h, "succeed"), Value(text_of(h, "uuid") == vms_[0].id));
    EXPECT_EQ(world_->disk_contents(listed_vm(*world_, vm_id_named(*world_, "good"))), first);
}

// A servant killed at each point of a restore: the job run again removes
// what it made before it checks the new name, so that even "ignore" finds no
// VM of that name, and restores the VM byte for byte.
TEST_F(RestoreWorld, KilledServantsLeaveNothingOnceTheJobRunsAgain) {
    std::vector<std::string> sets;
    const std::vector<std::string> contents = backup(JOB_DEFINITION_SUBTYPE_FULL, sets)[0];
    const Object ignore{{"duplicate_vm", Value("ignore")}};
    const size_t points = restore_kill_points(vms_[0], "").size();
    for (size_t i = 0; i < points; ++i) {
        const std::string name = "killed-" + std::to_string(i);
        const Restore_Kill_Point point = restore_kill_points(vms_[0], name)[i];
        SCOPED_TRACE(point.name);
        const Tower_Census before = tower_census(*world_);
        write_restore_definition(root_.file("restore.json"), JOB_DEFINITION_SUBTYPE_VM,
                                 Array{entry(0, sets[0], name)}, ignore);
        point.arm(*world_);
        bool reached = false;
        const Job_Engine_Run hurt = run_hurt_job(
            JOB_ENGINE_PATH, root_.file("restore.json"), root_.file("engine.out"), point.env,
            [&] { return reached = point.reached(*world_, before); }, 0,
            [](pid_t engine) { kill_servants(engine); });
        world_->tower().reset_switches();
        ASSERT_TRUE(reached) << hurt.output;
        EXPECT_EQ(hurt.exit_code, 1) << hurt.output;
        ASSERT_TRUE(wait_landed(*world_, point, before));

        // A VM the killed servant started stays: it comes back beside it.
        Strings kept;
        std::string again_name = name;
        if (point.vm_kept) {
            kept.push_back(vm_id_named(*world_, name));
            again_name += "-again";
        }
        const Job_Engine_Run again = restore(Array{entry(0, sets[0], again_name)}, ignore);
        ASSERT_EQ(again.exit_code, 0) << again.output;
        const std::string id = vm_id_named(*world_, again_name);
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, id)), contents);
        kept.push_back(id);
        EXPECT_EQ(hurt_restore_problems(*world_, point, before, kept), Strings());
    }
}

// A dead restore's VM whose removal never ends: the job's start-up sweep
// ends at a cancel, long before its wait's bound, and leaves the VM and its
// journal to the next run; once CloudTower ends the removal, the job runs
// again, asks after that removal instead of starting another, and restores.
TEST_F(RestoreWorld, ASweepBehindARemovalThatNeverEndsStopsAtACancel) {
    // Well below the sweep's own bound on one task (60 s).
    constexpr std::chrono::seconds PROMPT{30};
    std::vector<std::string> sets;
    const std::vector<std::string> contents = backup(JOB_DEFINITION_SUBTYPE_FULL, sets)[0];
    const Object ignore{{"duplicate_vm", Value("ignore")}};
    const std::string name = "swept";
    Restore_Kill_Point killed{"", {}, nullptr, nullptr};
    for (const Restore_Kill_Point& p : restore_kill_points(vms_[0], name))
        if (std::string(p.name) == "OnceItsVmIsMade")
            killed = p;
    ASSERT_TRUE(killed.arm);
    const Tower_Census before = tower_census(*world_);
    write_restore_definition(root_.file("restore.json"), JOB_DEFINITION_SUBTYPE_VM,
                             Array{entry(0, sets[0], name)}, ignore);
    killed.arm(*world_);
    const Job_Engine_Run hurt = run_hurt_job(
        JOB_ENGINE_PATH, root_.file("restore.json"), root_.file("engine.out"), killed.env,
        [&] { return killed.reached(*world_, before); }, 0,
        [](pid_t engine) { kill_servants(engine); });
    world_->tower().reset_switches();
    const std::string dead_vm = vm_id_named(*world_, name);
    ASSERT_FALSE(dead_vm.empty()) << hurt.output;

    world_->tower().hold_tasks("delete-vm");
    world_->tower().clear_requests();
    const auto removal_asked = [&] { return vm_changes() > 0; };
    const auto start = std::chrono::steady_clock::now();
    const Job_Engine_Run cancelled =
        run_hurt_job(JOB_ENGINE_PATH, root_.file("restore.json"), root_.file("engine.out"), {},
                     removal_asked, 0, [](pid_t engine) { ::kill(engine, SIGINT); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, PROMPT);
    EXPECT_NE(cancelled.exit_code, 0) << cancelled.output;
    EXPECT_EQ(cancelled.count("The restore job is stopped."), 1u) << cancelled.output;
    EXPECT_EQ(restore_journals().size(), 1u);
    EXPECT_FALSE(vm_id_named(*world_, name).empty());

    world_->tower().release_tasks();
    const Job_Engine_Run again = restore(Array{entry(0, sets[0], name)}, ignore);
    ASSERT_EQ(again.exit_code, 0) << again.output;
    size_t removals = 0;
    for (const auto& r : world_->tower().requests())
        removals += r.path == "/v2/api/delete-vm";
    EXPECT_EQ(removals, 1u);
    const std::string id = vm_id_named(*world_, name);
    ASSERT_FALSE(id.empty());
    EXPECT_NE(id, dead_vm);
    EXPECT_EQ(world_->disk_contents(listed_vm(*world_, id)), contents);
    EXPECT_EQ(restore_leftovers(*world_, before, {id}), Strings());
}

// The VM's creation task never ends. Cancelled, the job ends at once; not
// cancelled, once the wait's bound has passed; either way far sooner than the
// grace a stopped servant gets (300 s), with the VM failed and the volumes
// removed. The journal stays until CloudTower has ended the creation: the
// next job's start then removes that VM, and restores it anew.
TEST_F(RestoreWorld, EndlessTasksEndTheJobAndLeaveNothing) {
    // Far below the stop grace, and far above what the job needs.
    constexpr std::chrono::seconds PROMPT{60};
    std::vector<std::string> sets;
    const std::vector<std::string> contents = backup(JOB_DEFINITION_SUBTYPE_FULL, sets)[0];
    const Object ignore{{"duplicate_vm", Value("ignore")}};
    const struct Row {
        const char* name;
        bool cancel;
        std::map<std::string, std::string> env;
    } rows[] = {
        {"endless-cancelled", true, {}},
        {"endless-bounded", false, {{"SMARTX_TASK_WAIT_SECONDS", "2"}}},
    };
    const Restore_Kill_Point endless = endless_vm_task();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Tower_Census before = tower_census(*world_);
        write_restore_definition(root_.file("restore.json"), JOB_DEFINITION_SUBTYPE_VM,
                                 Array{entry(0, sets[0], row.name)}, ignore);
        endless.arm(*world_);
        const auto asked_for_the_vm = [&] { return endless.reached(*world_, before); };
        const auto start = std::chrono::steady_clock::now();
        const Job_Engine_Run hurt =
            run_hurt_job(JOB_ENGINE_PATH, root_.file("restore.json"), root_.file("engine.out"),
                         row.env, row.cancel ? std::function<bool()>(asked_for_the_vm) : nullptr, 0,
                         [](pid_t engine) { ::kill(engine, SIGINT); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, PROMPT);
        EXPECT_NE(hurt.exit_code, 0) << hurt.output;
        EXPECT_EQ(hurt.count("SmartX VM restore result (succeeded/total): 0/1."), 1u);
        EXPECT_TRUE(asked_for_the_vm()) << hurt.output;
        const Strings left = restore_leftovers(*world_, before, {});
        ASSERT_EQ(left.size(), 1u) << testing::PrintToString(left);
        EXPECT_EQ(left[0].rfind("restore journal ", 0), 0u) << left[0];

        world_->tower().release_tasks();
        const Job_Engine_Run again = restore(Array{entry(0, sets[0], row.name)}, ignore);
        ASSERT_EQ(again.exit_code, 0) << again.output;
        const std::string id = vm_id_named(*world_, row.name);
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, id)), contents);
        EXPECT_EQ(restore_leftovers(*world_, before, {id}), Strings());
    }
}

// A restore that names its volumes dies after asking for the first one;
// its retry makes volumes of the same names and is held in the middle of
// writing them past the time in which the dead run's request could still
// be carried out, while a third restore job sweeps the dead run's journal.
// Only a name ties the retry's volume to the dead run: it stays, and the
// retry ends byte for byte. When the dead run's request was carried out
// late, its volume stays too, reported, never lost track of.
TEST_F(RestoreWorld, ARetryOfNamedVolumesKeepsWhatItWritesBesideADeadRunsRequest) {
    // How long CloudTower takes to answer the dead run's create request.
    constexpr int ANSWER_MS = 1500;
    constexpr int POLL_MS = 20;
    constexpr int WAIT_POLLS = 1500;
    std::vector<std::string> sets;
    const std::vector<std::vector<std::string>> contents =
        backup(JOB_DEFINITION_SUBTYPE_FULL, sets);
    const Object ignore{{"duplicate_vm", Value("ignore")}};
    const struct Row {
        const char* name;
        bool carried_out;
    } rows[] = {{"never", false}, {"late", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string tag = row.name;
        const Strings names{"web-data-1-" + tag, "web-data-2-" + tag};
        const Value named = entry(0, sets[0], "web-" + tag, names);
        const Tower_Census before = tower_census(*world_);

        // A asks for its first volume and dies before CloudTower answers.
        world_->tower().clear_requests();
        world_->tower().set_delay("create-vm-volume", ANSWER_MS);
        if (!row.carried_out)
            world_->tower().fail_path("create-vm-volume", 503, "unavailable", 1);
        write_restore_definition(root_.file("restore.json"), JOB_DEFINITION_SUBTYPE_VM,
                                 Array{named}, ignore);
        const auto asked = [&] {
            for (const auto& r : world_->tower().requests())
                if (r.path == "/v2/api/create-vm-volume")
                    return true;
            return false;
        };
        const Job_Engine_Run a =
            run_hurt_job(JOB_ENGINE_PATH, root_.file("restore.json"), root_.file("engine.out"), {},
                         asked, 0, [](pid_t engine) { kill_servants(engine); });
        EXPECT_EQ(a.exit_code, 1) << a.output;
        // The request is answered (and carried out, or not) before anything
        // else of CloudTower changes.
        std::this_thread::sleep_for(std::chrono::milliseconds(ANSWER_MS + 500));
        world_->tower().reset_switches();
        const Strings dead = volumes_named(names[0]);
        ASSERT_EQ(dead.size(), row.carried_out ? 1u : 0u);

        // B, the retry of the same entry, is held at its first write.
        const std::string hold = root_.file("hold-writes");
        std::ofstream(hold).close();
        write_restore_definition(root_.file("restore-b.json"), JOB_DEFINITION_SUBTYPE_VM,
                                 Array{named}, ignore);
        const pid_t b =
            start_job_engine(JOB_ENGINE_PATH, root_.file("restore-b.json"),
                             root_.file("engine-b.out"), {{"ZBS_SIM_HOLD_WRITES", hold}});
        ASSERT_GT(b, 0);
        for (int i = 0; i < WAIT_POLLS && volumes_named(names[1]).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
        ASSERT_EQ(volumes_named(names[1]).size(), 1u);

        // Past the grace, a third restore job sweeps A's journal.
        end_answer_grace();
        const Job_Engine_Run c = restore(Array{entry(1, sets[1], "third-" + tag)}, ignore);
        EXPECT_EQ(c.exit_code, 0) << c.output;
        ::unlink(hold.c_str());
        const Job_Engine_Run retry = finish_job_engine(b, root_.file("engine-b.out"));
        ASSERT_EQ(retry.exit_code, 0) << retry.output;

        const std::string web = vm_id_named(*world_, "web-" + tag);
        ASSERT_FALSE(web.empty());
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, web)), contents[0]);
        const std::string third = vm_id_named(*world_, "third-" + tag);
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, third)), contents[1]);
        // Only its name ties B's volume to A: kept, reported.
        Strings own;
        for (const std::string& id : volumes_named(names[0]))
            if (std::find(dead.begin(), dead.end(), id) == dead.end())
                own.push_back(id);
        ASSERT_EQ(own.size(), 1u);
        EXPECT_TRUE(alert_names(*world_, own[0]));
        // A's late volume stays, reported.
        for (const std::string& id : dead) {
            Object record;
            EXPECT_TRUE(world_->tower().record("vm_volumes", id, record));
            EXPECT_TRUE(alert_names(*world_, id)) << id;
        }
        EXPECT_EQ(restore_journals(), Strings());
        const Strings left = restore_leftovers(*world_, before, {web, third});
        EXPECT_EQ(left.size(), row.carried_out ? 2u : 0u) << testing::PrintToString(left);
    }
}

}  // namespace
