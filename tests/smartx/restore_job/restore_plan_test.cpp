// What a restore run settles before any servant starts, in this process
// against the simulated CloudTower and backup server: which runs stop before
// they change anything, and what each duplicate rule does to an existing VM.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/catalog.h"
#include "host/job/job.h"
#include "host/job_definition_subtype.h"
#include "host/json_spirit/json_io.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/smartx_backup_set.h"
#include "smartx/job/progress_reporter.h"
#include "smartx/job/restore_executor.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/backup_world.h"

namespace {

using namespace world;
const char* const kInstance = "5a1e0000-0000-4000-8000-00000000c70f";
const char* const kResource = "res-restore";
const char* const kTarget = "pool-target";
constexpr uint64_t MiB = 1024 * 1024;

class Plain_Job : public Job {
public:
    explicit Plain_Job(const Definition_Ptr& def) : Job(def) {}

protected:
    int start_i(const Action_Options*) override { return 0; }
    void* run_i(const Action_Options*) override { return nullptr; }
};

class Probe : public smartx::Restore_Executor {
public:
    using Restore_Executor::Restore_Executor;

    // Everything up to the tasks, with a scheduler that never starts them.
    bool settle(const json_spirit::Array& entries) {
        if (!login_cluster() || !smartx::check_version(client_, "3.0.0") ||
            !resolve_param(static_cast<int>(entries.size()), param_))
            return false;
        Servant_Task_Scheduler scheduler("smartx.servant.restore.test", 16);
        smartx::Progress_Reporter reporter(evt_handler_, act_);
        if (!plan_entries(entries, reporter, plans))
            return false;
        run_plans(plans, scheduler);
        return true;
    }
    size_t counted() const { return total_vms_.size(); }

    std::vector<Plan> plans;
};

Value parse(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

class RestorePlan : public ::testing::Test {
protected:
    void SetUp() override {
        // Rows that change the world start from a fresh one.
        world_.reset();
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        world_->backupd().add_instance(
            {kInstance, "127.0.0.1", world_->tower().port(), false, "admin", "admin123", ""});
        source_ = numbered_vm("rp", 1, "web", {MiB}, "restore source");
        taken_ = numbered_vm("rp", 2, "taken", {MiB}, "holds the target name");
        other_ = numbered_vm("rp", 3, "other", {MiB}, "backed up too");
        source_.running = taken_.running = true;
        world_->add_vms({source_, taken_, other_});
        // The management VM under another name than the fixtures give it.
        Object tower_vm = world_->fixtures().record("vms", "CloudTower");
        tower_vm["id"] = "cl0rpmanagement000000001";
        tower_vm["name"] = "tower-mgmt";
        ASSERT_TRUE(world_->tower().put_records("vms", Array{tower_vm}));
        commit_set("set-web", source_);
        commit_set("set-other", other_);
    }

    void commit_set(const std::string& uuid, const VM& vm) {
        SmartX_Backup_Set set;
        set.uuid = uuid;
        set.resource_uuid = kResource;
        set.type = "full";
        set.vm_id = vm.id;
        set.vm_name = vm.name;
        set.storages.resize(1);
        set.storages[0].pool_uuid = "pool-of-" + uuid;
        ASSERT_TRUE(Catalog_Operator(-1, -1).commit(set, false));
    }

    Job::Definition_Ptr definition(const std::string& entries, const std::string& options,
                                   int subtype = JOB_DEFINITION_SUBTYPE_VM) {
        Job::Definition_Ptr def(new Job_Definition());
        def->id = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000e2";
        def->name = "restores";
        def->subtype = subtype;
        def->host_id = kInstance;
        def->target.id = kTarget;
        auto src = std::make_shared<smartx::Restore_Source>();
        src->value() =
            parse(R"({"id":")" + std::string(kResource) + R"(","entries":)" + entries + "}");
        src->id(kResource);
        auto opts = std::make_shared<smartx::Restore_Options>();
        opts->value() = parse(options);
        def->source(src);
        def->options(opts);
        return def;
    }

    static std::string entry(const VM& vm, const std::string& catalog, const std::string& target) {
        return R"({"id":")" + vm.id + R"(","name":")" + vm.name + R"(","catalog_uuid":")" +
               catalog + R"(","target_vm_name":")" + target + R"("})";
    }

    // Requests that power off, delete or recycle a VM.
    size_t vm_changes() const {
        size_t n = 0;
        for (const auto& r : world_->tower().requests())
            for (const char* m : {"poweroff-vm", "delete-vm", "move-vm-to-recycle"})
                if (r.path == std::string("/v2/api/") + m)
                    ++n;
        return n;
    }

    Object vm_record(const std::string& id) const {
        Object out;
        world_->tower().record("vms", id, out);
        return out;
    }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    VM source_, taken_, other_;
};

TEST_F(RestorePlan, RunsThatCannotGoOnChangeNothing) {
    const std::string web = entry(source_, "set-web", "web-restored");
    const std::string over = entry(source_, "set-web", "taken");
    const struct Row {
        const char* name;
        const char* version;
        std::string entries;
        const char* options;
        int subtype;
        bool protect;
        std::string logged;
    } rows[] = {
        {"old platform", "2.8.0", "[" + web + "]", "{}", JOB_DEFINITION_SUBTYPE_VM, false,
         "Not meeting the minimum requirement version 3.0.0, current(2.8.0).\n"},
        {"lowest platform, no entries", "3.0.0", "[]", "{}", JOB_DEFINITION_SUBTYPE_VM, false,
         "The list of VM to be restored is empty.\n"},
        {"entries not a list", "4.1.0", "{}", "{}", JOB_DEFINITION_SUBTYPE_VM, false,
         "Failed to parse restore source: "},
        {"disks into a protected target", "4.1.0", "[" + web + "]", "{}",
         JOB_DEFINITION_SUBTYPE_DISK, true, "Failed to restore disks to VMs, VMs are protected.\n"},
        {"entry without catalog", "4.1.0", R"([{"id":"x","name":"x"}])", "{}",
         JOB_DEFINITION_SUBTYPE_VM, false, "Invalid job entries.\n"},
        {"entry not an object", "4.1.0", "[" + over + ",7]", R"({"duplicate_vm":"overwrite"})",
         JOB_DEFINITION_SUBTYPE_VM, false, "Invalid job entries.\n"},
        {"unknown catalog after an overwrite", "4.1.0",
         "[" + over + "," + entry(other_, "set-gone", "o") + "]", R"({"duplicate_vm":"overwrite"})",
         JOB_DEFINITION_SUBTYPE_VM, false, "Failed to get catalog by uuid set-gone.\n"},
        {"set of another VM after a recycle", "4.1.0",
         "[" + over + "," + entry(other_, "set-web", "o") + "]", R"({"duplicate_vm":"recycle"})",
         JOB_DEFINITION_SUBTYPE_VM, false, "Failed to check the VM_id [" + source_.id + "]"},
        {"no target name after an overwrite", "4.1.0",
         "[" + over + "," + entry(other_, "set-other", "") + "]", R"({"duplicate_vm":"overwrite"})",
         JOB_DEFINITION_SUBTYPE_VM, false, "Failed to create VM, vm name is needed.\n"},
        {"one VM twice", "4.1.0", "[" + over + "," + web + "]", R"({"duplicate_vm":"overwrite"})",
         JOB_DEFINITION_SUBTYPE_VM, false, "is restored twice"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        world_->tower().set_version(row.version);
        world_->backupd().set_resource_flags(kTarget, row.protect
                                                          ? std::vector<std::string>{"protected"}
                                                          : std::vector<std::string>{});
        world_->tower().clear_requests();
        Plain_Job job(definition(row.entries, row.options, row.subtype));
        smartx::Restore_Executor executor(job);
        Log_Capture log;
        EXPECT_FALSE(executor.execute_i(nullptr));
        EXPECT_TRUE(log.has(row.logged)) << testing::PrintToString(log.texts());
        EXPECT_EQ(0u, vm_changes());
        EXPECT_EQ("RUNNING", text_of(Value(vm_record(taken_.id)), "status"));
        EXPECT_TRUE(job.restore_paths().empty());
    }
}

TEST_F(RestorePlan, DuplicateRulesDecideWhatHappensToTheVmOfTheTargetName) {
    enum After { UNTOUCHED, DELETED, RECYCLED };
    const struct Row {
        const char* name;
        const char* rule;
        const char* target;
        bool protect;
        const char* fail_path;  // a CloudTower call that fails
        size_t counted;         // VMs the outcome counts
        bool restored;          // a task (and its restore path) was made
        After after;
        const char* logged;
    } rows[] = {
        {"free name", "overwrite", "web-new", false, "", 1, true, UNTOUCHED, ""},
        {"ignore", "ignore", "taken", false, "", 0, false, UNTOUCHED,
         "Skip restoring VM taken, already exists.\n"},
        {"timestamp", "timestamp", "taken", false, "", 1, true, UNTOUCHED, ""},
        {"overwrite", "overwrite", "taken", false, "", 1, true, DELETED, ""},
        {"recycle", "recycle", "taken", false, "", 1, true, RECYCLED, ""},
        {"unknown rule", "keep-both", "taken", false, "", 0, false, UNTOUCHED,
         "Unknown duplicate_vm type, skip restoring VM taken.\n"},
        {"empty rule", "", "taken", false, "", 0, false, UNTOUCHED,
         "Unknown duplicate_vm type, skip restoring VM taken.\n"},
        {"overwrite a protected target", "overwrite", "taken", true, "", 0, false, UNTOUCHED,
         "Skip restoring VM taken, VM is protected.\n"},
        {"recycle the management VM", "recycle", "tower-mgmt", false, "", 0, false, UNTOUCHED,
         "the VM of that name is the platform's own (CLOUDTOWER)"},
        // A failed look-up is not an absent VM: nothing is made beside it.
        {"name look-up fails", "overwrite", "taken", false, "get-vms", 1, false, UNTOUCHED,
         "Failed to check VM[taken] existence, details: "},
        {"power-off fails", "overwrite", "taken", false, "poweroff-vm", 1, false, UNTOUCHED,
         "Failed to poweroff VM taken before delete it, details: "},
        {"deletion fails", "overwrite", "taken", false, "delete-vm", 1, false, UNTOUCHED,
         "Failed to delete existing VM taken, details: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        world_->backupd().set_resource_flags(kTarget, row.protect
                                                          ? std::vector<std::string>{"protected"}
                                                          : std::vector<std::string>{});
        if (*row.fail_path)
            world_->tower().fail_path(row.fail_path, 500, "simulated failure");
        const std::string entries = "[" + entry(source_, "set-web", row.target) + "]";
        Plain_Job job(definition(entries, R"({"duplicate_vm":")" + std::string(row.rule) + "\"}"));
        Probe probe(job);
        Log_Capture log;
        ASSERT_TRUE(probe.settle(parse(entries).get_array()))
            << testing::PrintToString(log.texts());
        world_->tower().reset_switches();
        EXPECT_TRUE(log.has(row.logged)) << testing::PrintToString(log.texts());
        EXPECT_EQ(row.counted, probe.counted());
        const auto paths = job.restore_paths();
        ASSERT_EQ(row.restored ? 1u : 0u, paths.size());
        if (row.restored) {
            EXPECT_EQ(source_.id, paths[0].vm_id);
            EXPECT_EQ("pool-of-set-web", paths[0].path);
        }
        // The timestamp rule renames the target and keeps the VM.
        const std::string name = probe.plans.at(0).entry.vm_tgt_name;
        if (std::string(row.rule) == "timestamp")
            EXPECT_TRUE(name.size() == 5 + 16 && name.compare(0, 6, "taken_") == 0) << name;
        else
            EXPECT_EQ(row.target, name);
        const Object taken = vm_record(taken_.id);
        EXPECT_EQ(row.after == DELETED, taken.empty());
        if (row.after != DELETED) {
            EXPECT_EQ(Value(row.after == RECYCLED), member_of(Value(taken), "in_recycle_bin"));
            EXPECT_EQ(row.after == RECYCLED ? "STOPPED" : "RUNNING",
                      text_of(Value(taken), "status"));
        }
    }
}

TEST_F(RestorePlan, IntoTheOriginalVmPowersItOffAndNeverTheManagementVm) {
    const struct Row {
        const char* name;
        std::string id;
        bool restored;
        const char* logged;
    } rows[] = {
        {"source VM", source_.id, true, ""},
        {"management VM", "cl0rpmanagement000000001", false,
         "Skip restoring into VM tower-mgmt, it is the platform's own (CLOUDTOWER).\n"},
        {"source VM gone", "cl0rpnosuchvm00000000001", false, "Failed to find VM, VM_id ["},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        SmartX_Backup_Set set;
        set.uuid = "set-into";
        set.resource_uuid = kResource;
        set.vm_id = row.id;
        set.storages.resize(1);
        set.storages[0].pool_uuid = "pool-into";
        ASSERT_TRUE(Catalog_Operator(-1, -1).commit(set, false));
        const std::string entries =
            R"([{"id":")" + row.id + R"(","name":"n","catalog_uuid":"set-into"}])";
        Plain_Job job(definition(entries, R"({"original_restore":true})"));
        Probe probe(job);
        Log_Capture log;
        ASSERT_TRUE(probe.settle(parse(entries).get_array()));
        EXPECT_TRUE(log.has(row.logged)) << testing::PrintToString(log.texts());
        EXPECT_EQ(row.restored ? 1u : 0u, job.restore_paths().size());
        EXPECT_EQ(row.restored ? 1u : 0u, vm_changes());
        if (row.restored) {
            EXPECT_EQ("STOPPED", text_of(Value(vm_record(row.id)), "status"));
            EXPECT_EQ(row.id, probe.plans.at(0).entry.vm_tgt_id);
        }
    }
}

}  // namespace
