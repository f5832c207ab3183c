// How a backup run turns its source into VMs, in this process against the
// simulated CloudTower and backup server: what is dropped, what is alerted,
// what ends the run.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/job/job.h"
#include "host/json_spirit/json_io.h"
#include "smartx/job/backup_executor.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/backup_world.h"
#include "world/job_run.h"

namespace {

using namespace world;
const char* const kInstance = "5a1e0000-0000-4000-8000-00000000c70f";
const std::pair<unsigned, unsigned> kEntryAlert{7, 15};

class Probe : public smartx::Backup_Executor {
public:
    using Backup_Executor::Backup_Executor;
    using Backup_Executor::get_vms;
    using Backup_Executor::login_cluster;
};

Value parse(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

class SourceResolution : public ::testing::Test {
protected:
    void SetUp() override {
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        world_->backupd().add_instance(
            {kInstance, "127.0.0.1", world_->tower().port(), false, "admin", "admin123", ""});
        a_ = numbered_vm("sr", 1, "web-01", {MiB}, "source test");
        b_ = numbered_vm("sr", 2, "db-02", {MiB}, "source test");
        world_->add_vms({a_, b_});
    }

    // Logs in and resolves source under options; false when either fails.
    bool resolve(const std::string& source, const std::string& options, Log_Capture& log,
                 const std::string& host_id = kInstance) {
        Job::Definition_Ptr def(new Job_Definition());
        def->id = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000e1";
        def->name = "sources";
        def->host_id = host_id;
        auto src = std::make_shared<smartx::Backup_Source>();
        src->value() = parse(source);
        auto opts = std::make_shared<smartx::Backup_Options>();
        opts->value() = parse(options);
        def->source(src);
        def->options(opts);
        In_Process_Job job(def);
        Probe probe(job);
        log.clear();
        return probe.login_cluster() && probe.get_vms();
    }

    std::string vm_entry(const VM& vm) const {
        return R"({"id":")" + vm.id + R"(","name":")" + vm.name + R"(","type":"VirtualMachine"})";
    }

    static constexpr uint64_t MiB = 1024 * 1024;
    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    VM a_, b_;
};

TEST_F(SourceResolution, DropsAlertsAndFailsAsTheRunWould) {
    const std::string a = vm_entry(a_), b = vm_entry(b_);
    struct Row {
        const char* name;
        std::string entries;  // the "entries" array's members
        std::string exclusion;
        bool ok;
        int ready;  // VMs ready for backup; -1: not checked
        size_t alerts;
        const char* log;
    } rows[] = {
        {"SameVmTwice", a + "," + a, "[]", true, 1, 0, ""},
        {"UnknownTypeGoesOn", R"({"id":"x","name":"x","type":"Datastore"},)" + b, "[]", true, 1, 1,
         "Unknown entry type 'Datastore' in backup source, job_uuid: "},
        {"BadEntrySkipped", R"({"id":5},)" + b, "[]", true, 1, 0,
         "Failed to parse entry in backup source, job_uuid: "},
        {"ExcludedByName", a + "," + b, R"(["*-02"])", true, 1, 0, "Excluded VM db-02.\n"},
        {"AllExcluded", a + "," + b, R"(["*-0?"])", false, 0, 0, "Excluded VM web-01.\n"},
        {"UnknownVm", R"({"id":"nope","name":"gone","type":"VirtualMachine"})", "[]", false, 0, 1,
         "Failed to query VM by entry(nope)."},
        {"Cluster",
         R"({"id":")" + world_->defaults().cluster_id + R"(","name":"c","type":"Cluster"})",
         R"(["*-01"])", true, -1, 0, "Excluded VM web-01.\n"},
    };
    size_t alerts = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Log_Capture log;
        EXPECT_EQ(r.ok, resolve(R"({"id":"res","name":"s","entries":[)" + r.entries + "]}",
                                R"({"exclusion":)" + r.exclusion + "}", log));
        if (r.ready >= 0) {
            EXPECT_TRUE(
                log.has("There are " + std::to_string(r.ready) + " VM ready for backup.\n"));
        }
        EXPECT_TRUE(log.has(r.log));
        alerts += r.alerts;
        const auto got = world_->alerts();
        EXPECT_EQ(alerts, got.size());
        for (const auto& alert : got)
            EXPECT_EQ(kEntryAlert, alert);
    }
}

TEST_F(SourceResolution, SourcesThatCannotBeReadEndTheRun) {
    struct Row {
        const char* name;
        std::string source;
        std::string host_id;
        const char* log;
    } rows[] = {
        {"NoEntries", R"({"id":"res"})", kInstance,
         "Entries not found in backup source, job_uuid: "},
        {"NotAnObject", "[]", kInstance, "src_->value() is not object!\n"},
        {"UnknownInstance", R"({"entries":[]})", "no-such-instance",
         "Failed to get login info of no-such-instance.\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Log_Capture log;
        EXPECT_FALSE(resolve(r.source, "{}", log, r.host_id));
        EXPECT_TRUE(log.has(r.log));
    }
}

}  // namespace
