// Servant preparation, reply decoding and the per-VM progress reporter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/job/job.h"
#include "host/job/job_event_handler.h"
#include "host/paths.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant.h"
#include "smartx/job/progress_reporter.h"
#include "smartx/job/utils.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {
bool has(const std::vector<std::string>& env, const std::string& entry) {
    return std::find(env.begin(), env.end(), entry) != env.end();
}

// Sets LD_LIBRARY_PATH (null: unset) for the scope.
class Library_Path {
public:
    explicit Library_Path(const char* value) {
        if (const char* old = std::getenv("LD_LIBRARY_PATH"))
            old_ = old;
        set(value);
    }
    ~Library_Path() { set(old_ ? old_->c_str() : nullptr); }

private:
    static void set(const char* v) {
        v ? ::setenv("LD_LIBRARY_PATH", v, 1) : ::unsetenv("LD_LIBRARY_PATH");
    }
    std::optional<std::string> old_;
};

TEST(InitServant, PreparesStarterLibraryPathAndZbsSettings) {
    Temp_Root root;
    Library_Path path("/usr/lib/host:/lib");
    Servant servant;
    ASSERT_TRUE(smartx::init_servant(servant, "Smartx_Backup_VM_Servant", "5.5.1", nullptr));
    EXPECT_EQ("starter", servant.program());
    // The starter reads, by default, what the executor hands it.
    EXPECT_EQ(std::string(SERVANT_DEFAULT_CONFIG), servant.configuration());
    EXPECT_EQ("Smartx_Backup_VM_Servant", servant.name());
    const std::vector<std::string> env = servant.environment();
    EXPECT_TRUE(has(env, "LD_LIBRARY_PATH=" + host_path("/opt/velmora/tarnvik3/zbs") +
                             "/5.5.1:/usr/lib/host:/lib"));
    for (const char* e :
         {"ZBS_TIMEOUT=3000", "ZBS_INITIAL_INTERVAL=1", "ZBS_MAX_INTERVAL=10", "ZBS_RETRIES=5"})
        EXPECT_TRUE(has(env, e)) << e;
}

TEST(InitServant, RefusesWhatCannotReachAPathOrAnArgument) {
    struct Row {
        const char* library_path;
        const char* name;
        const char* version;
        const char* message;
    } rows[] = {
        {nullptr, "vm", "5.5.1", "Failed to get env value LD_LIBRARY_PATH.\n"},
        {"", "vm", "5.5.1", "Failed to get env value LD_LIBRARY_PATH.\n"},
        {"/lib", "vm", "../../etc", "Refused zbs version '../../etc'"},
        {"/lib", "vm", "5.5:/tmp", "Refused zbs version '5.5:/tmp'"},
        {"/lib", "vm", "", "Refused zbs version ''"},
        {"/lib", "", "5.5.1", "Refused servant name ''"},
        {"/lib", "a\nb", "5.5.1", "Refused servant name"},
    };
    Temp_Root root;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.message);
        Library_Path path(r.library_path);
        Log_Capture log;
        Servant servant;
        EXPECT_FALSE(smartx::init_servant(servant, r.name, r.version, nullptr));
        EXPECT_TRUE(log.has(r.message));
    }
}

TEST(ServantResult, DecodesOnlyObjectResults) {
    auto response = [](const json_spirit::Value& result) {
        JSON_RPC_Response* r = new JSON_RPC_Response();
        r->result = result;
        return JSON_RPC_Object_Ptr(r);
    };
    json_spirit::Object reply;
    reply["code"] = 0;
    reply["vm_id"] = "vm-1";
    struct Row {
        const char* what;
        JSON_RPC_Object_Ptr resp;
        bool ok;
        const char* message;
    } rows[] = {
        {"object", response(json_spirit::Value(reply)), true, ""},
        {"null", JSON_RPC_Object_Ptr(), false, "resp is NULL"},
        {"array", response(json_spirit::Value(json_spirit::Array())), false,
         "r.result is not object!\n"},
        {"error", JSON_RPC_Object_Ptr(new JSON_RPC_Response_Error(-32603, 1, "Boom", {})), false,
         "Failed to exec in smartx servant, err=-32603, Boom.\n"},
        {"request", JSON_RPC_Object_Ptr(new JSON_RPC_Request("m", {}, 1)), false,
         "Unknown response type '2' for SmartX JSON-RPC in servant.\n"},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Log_Capture log;
        json_spirit::Object out;
        EXPECT_EQ(r.ok, smartx::get_servant_result(r.resp, out));
        EXPECT_EQ(r.ok ? reply : json_spirit::Object(), out);
        EXPECT_TRUE(r.ok ? log.lines().empty() : log.has(r.message));
    }
}

class Idle_Job : public Job {
public:
    Idle_Job() : Job(Definition_Ptr(new Job_Definition())) {}

protected:
    int start_i(const Action_Options*) override { return 0; }
    void* run_i(const Action_Options*) override { return nullptr; }
};

class ProgressReporter : public ::testing::Test {
protected:
    ProgressReporter() : handler_(job_), reporter_(handler_, job_.activity()) {}

    // What a servant sees of VM id's progress file.
    smartx::VM_Progress_Info& servant_side(const std::string& id) {
        servants_.emplace_back(new smartx::VM_Progress_Handle);
        EXPECT_EQ(0, servants_.back()->open(DEF_ID, id, false, true, 0750));
        return *servants_.back()->get();
    }
    const Job_Report& last_report() {
        std::vector<Job_Report> reports = job_.reports();
        EXPECT_FALSE(reports.empty());
        last_ = reports.back();
        return last_;
    }

    static constexpr const char* DEF_ID = "6b3f7c1e-5d1a-4e8b-9c2f-000000000001";
    Temp_Root root_;
    Idle_Job job_;
    Job_Event_Handler handler_;
    smartx::Progress_Reporter reporter_;
    std::vector<std::unique_ptr<smartx::VM_Progress_Handle>> servants_;
    Job_Report last_{};
};

TEST_F(ProgressReporter, ForwardsFileValuesAndFreezesFinishedVms) {
    ASSERT_TRUE(reporter_.add_vm("vm-1", "web"));
    ASSERT_TRUE(reporter_.add_vm("vm-2", "db"));
    ASSERT_TRUE(reporter_.activate(DEF_ID));
    smartx::VM_Progress_Info& web = servant_side("vm-1");
    smartx::VM_Progress_Info& db = servant_side("vm-2");
    const auto store = [](smartx::VM_Progress_Info& p, uint64_t total, uint64_t done, int disks,
                          int disks_done, int state) {
        p.total_bytes = total;
        p.processed_bytes = done;
        p.virtual_disk_count = disks;
        p.processed_virtual_disk_count = disks_done;
        p.state = state;
    };
    store(web, 100, 40, 2, 1, VM_Job_Progress::STATE_RUNNING);
    store(db, 200, 200, 1, 1, VM_Job_Progress::STATE_FAILED);
    job_.state(JOB_STATE_RUNNING);

    ASSERT_TRUE(reporter_.update());
    const Job_Report& first = last_report();
    EXPECT_EQ(Job_Report::VM_PROGRESS, first.kind);
    EXPECT_EQ(JOB_STATE_RUNNING, first.code);
    EXPECT_FALSE(first.flush);
    ASSERT_EQ(2u, first.vms.size());
    EXPECT_EQ("web", first.vms[0].name);
    EXPECT_EQ(40u, first.vms[0].processed_bytes);
    EXPECT_EQ(1, first.vms[0].processed_virtual_disk_count);
    EXPECT_EQ(VM_Job_Progress::STATE_FAILED, first.vms[1].state);

    // A failed VM keeps the values read when it finished; a running one follows its file.
    db.processed_bytes = 7;
    web.processed_bytes = 90;
    ASSERT_TRUE(reporter_.flush());
    const Job_Report& last = last_report();
    EXPECT_TRUE(last.flush);
    EXPECT_EQ(90u, last.vms[0].processed_bytes);
    EXPECT_EQ(200u, last.vms[1].processed_bytes);
}

TEST_F(ProgressReporter, RefusesLateVmsAndBadIds) {
    Log_Capture log;
    EXPECT_FALSE(reporter_.add_vm("", "web"));
    EXPECT_FALSE(reporter_.add_vm("vm-1", ""));
    ASSERT_TRUE(reporter_.add_vm("../vm-1", "web"));
    EXPECT_FALSE(reporter_.activate(""));
    EXPECT_FALSE(reporter_.activate(DEF_ID));
    EXPECT_TRUE(log.has("Failed to activate reporter, job_def_id: " + std::string(DEF_ID) +
                        ", VM id: ../vm-1.\n"));
    EXPECT_FALSE(reporter_.add_vm("vm-2", "db"));
    EXPECT_TRUE(log.has("progress_handles_.empty() is false"));
    EXPECT_EQ(1u, reporter_.vm_progresses().size());
}

TEST_F(ProgressReporter, NoVmsStillReportsTheJobState) {
    ASSERT_TRUE(reporter_.activate(DEF_ID));
    ASSERT_TRUE(reporter_.update());
    EXPECT_TRUE(last_report().vms.empty());
    EXPECT_EQ(JOB_STATE_IDLE, last_report().code);
}
}  // namespace
