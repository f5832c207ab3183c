// Backup jobs as a person runs them: the job-engine program loads the built
// module, resolves the definition's VMs through the simulated CloudTower and
// starts one starter process per VM; the backup world (in this process)
// serves CloudTower, the backup server and the volume store over loopback.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/job/activity_map.h"
#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "support/temp_root.h"
#include "world/backup_world.h"
#include "world/job_run.h"
#include "world/servant_setup.h"

namespace {

using namespace world;
constexpr uint64_t MiB = 1024 * 1024;
// Level and code of the alert of a run in which some VMs failed.
const std::pair<unsigned, unsigned> kPartialFailure{7, 28};

using Engine_Run = Job_Engine_Run;

// Servants alive whose parent is pid.
std::vector<pid_t> starters(pid_t parent) {
    return live_children(parent, "starter");
}

int live_starters(pid_t parent) {
    return static_cast<int>(starters(parent).size());
}

class BackupJob : public ::testing::Test {
protected:
    void SetUp() override {
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        prepare_job_host(*world_, STARTER_PATH, SMARTX_MODULE_PATH);
    }

    // Running VMs "job-<n>" of two disks each with data; those named in
    // on_second_host (indexes) on node-hz01-02, the rest on node-hz01-01.
    void add_vms(size_t count, const std::set<size_t>& on_second_host = {}) {
        for (size_t i = 0; i < count; ++i) {
            vms_.push_back(numbered_vm("jb", i, "job-" + std::to_string(i),
                                       {MiB + 4608, 700 * 1024}, "job test VM"));
            vms_.back().running = true;
        }
        world_->add_vms(vms_);
        ASSERT_TRUE(move_vms(*world_, vms_, on_second_host));
        for (const VM& vm : vms_)
            world_->fill_disks(vm);
    }

    // Starts job-engine on a definition backing up every VM at this level,
    // with the options and these variables added to its environment.
    pid_t start(Job_Definition_Subtype level, const Object& options,
                const std::map<std::string, std::string>& env = {}) {
        const std::string def_file = root_.file("def.json");
        write_job_definition(def_file, level, vms_, options);
        if (!def_extra_.empty()) {
            std::ifstream in(def_file);
            Value def;
            EXPECT_TRUE(
                json_spirit::read(std::string(std::istreambuf_iterator<char>(in), {}), def));
            for (const auto& kv : def_extra_)
                def.get_obj()[kv.first] = kv.second;
            std::ofstream(def_file) << json_spirit::write(def);
        }
        const pid_t pid =
            start_job_engine(JOB_ENGINE_PATH, def_file, root_.file("engine.out"), env);
        EXPECT_GT(pid, 0);
        return pid;
    }

    Engine_Run finish(pid_t pid) { return finish_job_engine(pid, root_.file("engine.out")); }

    Engine_Run run(Job_Definition_Subtype level, const Object& options,
                   const std::map<std::string, std::string>& env = {}) {
        return finish(start(level, options, env));
    }

    // The activity record the run left.
    Job_Activity activity() {
        Job_Activity_Map map;
        EXPECT_EQ(map.open(Backup_World::def_id, false), 0);
        return map ? *map.get() : Job_Activity();
    }

    std::vector<std::pair<unsigned, unsigned>> partial_alerts() const {
        std::vector<std::pair<unsigned, unsigned>> out;
        for (const auto& a : world_->alerts())
            if (a == kPartialFailure)
                out.push_back(a);
        return out;
    }

    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    std::vector<VM> vms_;
    Object def_extra_;  // more members of the definition
};

struct Outcome_Case {
    const char* name;
    std::set<size_t> stopped;  // VMs without VM tools: no file-system consistent snapshot
    int exit_code;
    const char* summary;
    size_t partial_alerts;
};

TEST_F(BackupJob, ResultsAddUpOverTheVmsThatSucceeded) {
    const Outcome_Case cases[] = {
        {"OneOfFourFails", {2}, 0, "Smartx VM backup result (succeeded/total): 3/4.", 1},
        {"AllFail", {0, 1, 2, 3}, 1, "Smartx VM backup result (succeeded/total): 0/4.", 0},
    };
    add_vms(4, {1, 3});
    for (const Outcome_Case& c : cases) {
        SCOPED_TRACE(c.name);
        Array vms;
        for (const Value& v : world_->tower().records("vms")) {
            Object vm = v.get_obj();
            for (size_t i = 0; i < vms_.size(); ++i)
                if (vms_[i].id == text_of(v, "id"))
                    vm["vm_tools_status"] = c.stopped.count(i) ? "NOT_RUNNING" : "RUNNING";
            vms.push_back(vm);
        }
        ASSERT_TRUE(world_->tower().put_records("vms", vms));
        const size_t rows_before = world_->catalog_rows().size();
        const size_t alerts_before = partial_alerts().size();

        const Engine_Run r =
            run(JOB_DEFINITION_SUBTYPE_FULL, Object{{"snapshot", Value("FILE_SYSTEM_CONSISTENT")},
                                                    {"channels", Value(4)},
                                                    {"parallel_vms", Value(4)}});
        EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
        EXPECT_EQ(count(r.output, c.summary), 1u) << r.output;
        EXPECT_EQ(count(r.output, c.exit_code == 0 ? "report: success" : "report: failure"), 1u)
            << r.output;
        const auto alerts = world_->backupd().alerts();
        EXPECT_EQ(partial_alerts().size() - alerts_before, c.partial_alerts);
        if (c.partial_alerts > 0) {
            EXPECT_EQ(member_of(alerts.back(), "detail"), Value(Object{{"failed_size", Value(1)}}))
                << json_spirit::write(alerts.back());
        }

        // Every VM has its history; the sizes are the sums over the rows
        // the successful ones committed.
        const Array histories = r.histories();
        EXPECT_EQ(histories.size(), vms_.size()) << r.output;
        const std::vector<Object> rows = world_->catalog_rows();
        ASSERT_EQ(rows.size() - rows_before, vms_.size() - c.stopped.size());
        uint64_t size = 0, set_size = 0, stored = 0;
        for (size_t i = rows_before; i < rows.size(); ++i) {
            size += rows[i].at("source_size").get_uint64();
            set_size += rows[i].at("size").get_uint64();
            for (const Value& piece : rows[i].at("pieces").get_array())
                stored += member_of(piece, "size").get_uint64();
        }
        const Job_Activity act = activity();
        EXPECT_EQ(act.size, size);
        EXPECT_EQ(act.set_size, set_size);
        EXPECT_EQ(act.set_storage_size, stored);
        for (const Value& h : histories) {
            size_t i = 0;
            while (i < vms_.size() && vms_[i].id != text_of(h, "uuid"))
                ++i;
            ASSERT_LT(i, vms_.size()) << json_spirit::write(h);
            EXPECT_EQ(member_of(h, "succeed"), Value(c.stopped.count(i) == 0)) << vms_[i].name;
        }
    }
}

struct Limit_Case {
    const char* name;
    std::set<size_t> second_host;
    int channels, parallel_vms, per_host;
    int most_at_once;
};

TEST_F(BackupJob, ServantsRunWithinTheLimits) {
    const Limit_Case cases[] = {
        {"TwoChannels", {}, 2, 8, 8, 2},
        {"OnePerHost", {}, 4, 8, 1, 1},
        {"OnePerHostOnTwoHosts", {0, 1}, 4, 8, 1, 2},
    };
    for (const Limit_Case& c : cases) {
        SCOPED_TRACE(c.name);
        vms_.clear();
        add_vms(5, c.second_host);
        const pid_t engine = start(JOB_DEFINITION_SUBTYPE_FULL,
                                   Object{{"channels", Value(c.channels)},
                                          {"parallel_vms", Value(c.parallel_vms)},
                                          {"parallel_vms_per_host", Value(c.per_host)}},
                                   {{"ZBS_SIM_DELAY_MS", "40"}});
        std::atomic<bool> done{false};
        int most = 0;
        std::thread sampler([&] {
            while (!done) {
                most = std::max(most, live_starters(engine));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const Engine_Run r = finish(engine);
        done = true;
        sampler.join();
        EXPECT_EQ(r.exit_code, 0) << r.output;
        // At most the limit (reaching it depends on the machine's load).
        EXPECT_LE(most, c.most_at_once);
        EXPECT_GE(most, 1);
    }
}

TEST_F(BackupJob, NoLibraryPathFailsEveryVm) {
    add_vms(2);
    const Engine_Run r =
        run(JOB_DEFINITION_SUBTYPE_FULL, Object{{"channels", Value(2)}}, {{"LD_LIBRARY_PATH", ""}});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(count(r.output, "Failed to get env value LD_LIBRARY_PATH."), 2u) << r.output;
    EXPECT_EQ(count(r.output, "report: failure"), 1u) << r.output;
    EXPECT_TRUE(world_->catalog_rows().empty());
}

TEST_F(BackupJob, InterruptDuringTheTransferCancelsTheJob) {
    add_vms(2);
    const pid_t engine = start(JOB_DEFINITION_SUBTYPE_FULL, Object{{"channels", Value(2)}},
                               {{"ZBS_SIM_DELAY_MS", "100"}});
    // Once the servants run (and read, slowly).
    int seen = 0;
    for (int i = 0; i < 6000 && seen == 0; ++i) {
        seen = live_starters(engine);
        ::usleep(5000);
    }
    EXPECT_GE(seen, 1);
    ::usleep(500000);
    ::kill(engine, SIGINT);
    const Engine_Run r = finish(engine);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(count(r.output, "report: canceled"), 1u) << r.output;
    EXPECT_EQ(count(r.output, "report: success"), 0u) << r.output;
    // Only a VM whose servant finished has a row.
    size_t finished = 0;
    for (const Value& h : r.histories())
        finished += member_of(h, "succeed") == Value(true) ? 1 : 0;
    EXPECT_EQ(world_->catalog_rows().size(), finished);
    EXPECT_LT(finished, vms_.size());
}

TEST_F(BackupJob, IncrementalOnTheFullGivesBackTheLiveVolumes) {
    add_vms(3, {2});
    const Object options{{"channels", Value(2)}};
    ASSERT_EQ(run(JOB_DEFINITION_SUBTYPE_FULL, options).exit_code, 0);
    for (size_t i = 0; i < vms_.size(); ++i)
        world_->write_disk(vms_[i].disks[i % 2], 4096 * (i + 1), pattern(70000, 'k'));
    // Files are named by the second a backup starts in.
    const time_t full_second = ::time(nullptr);
    while (::time(nullptr) == full_second)
        ::usleep(10000);
    const Engine_Run r = run(JOB_DEFINITION_SUBTYPE_INCREMENTAL, options);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::map<std::string, std::vector<Object>> chains;
    for (const Object& row : world_->catalog_rows())
        chains[text_of(Value(row), "vm_id")].push_back(row);
    for (const VM& vm : vms_) {
        SCOPED_TRACE(vm.name);
        ASSERT_EQ(chains[vm.id].size(), 2u);
        EXPECT_EQ(world_->restore(vm, chains[vm.id]), world_->disk_contents(vm));
    }
}

struct Retry_Case {
    const char* name;
    int code, retry_count;
    size_t runs;
};

// Only an answer of 2 is retried, as often as the definition allows.
TEST_F(BackupJob, ServantAnsweringRetryRunsAgainUpToTheRetryCount) {
    const Retry_Case cases[] = {
        {"TwoRetries", 2, 2, 3},
        {"NoRetries", 2, 0, 1},
        {"FailureIsNotRetried", 1, 2, 1},
    };
    add_vms(1);
    const std::string runs = root_.file("runs");
    for (const Retry_Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(runs.c_str());
        const Object params{{"action", Value("attempts")},
                            {"file", Value(runs)},
                            {"codes", Value(Array{Value(c.code)})}};
        const Object handler{
            {"factory", Value("Test_Servant_Handler")},
            {"module", Value(TEST_SERVANT_HANDLER_PATH)},
            {"args", Value(Array{Value("--params=" + json_spirit::write(Value(params)))})}};
        write_servant_config(Object{{"smartx.servant.backup", Value(handler)}}, SMARTX_MODULE_PATH);
        def_extra_ = Object{{"retry_count", Value(c.retry_count)}, {"retry_interval", Value(0)}};
        const Engine_Run r = run(JOB_DEFINITION_SUBTYPE_FULL, Object{{"channels", Value(1)}});
        EXPECT_EQ(count(root_.text("runs"), "attempt\n"), c.runs) << r.output;
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_EQ(count(r.output, "report: failure"), 1u) << r.output;
        ASSERT_EQ(r.histories().size(), 1u) << r.output;
        EXPECT_EQ(member_of(r.histories()[0], "succeed"), Value(false));
    }
    EXPECT_TRUE(world_->catalog_rows().empty());
}

TEST_F(BackupJob, KilledServantFailsOnlyItsVmAndTheNextRunBacksItUp) {
    add_vms(3);
    const Object options{{"channels", Value(3)}, {"parallel_vms", Value(3)}};
    const pid_t engine = start(JOB_DEFINITION_SUBTYPE_FULL, options, {{"ZBS_SIM_DELAY_MS", "100"}});
    std::vector<pid_t> seen;
    for (int i = 0; i < 6000 && seen.empty(); ++i) {
        seen = starters(engine);
        ::usleep(5000);
    }
    ASSERT_FALSE(seen.empty());
    ::usleep(300000);  // into its transfer
    ASSERT_EQ(::kill(seen[0], SIGKILL), 0);
    const Engine_Run r = finish(engine);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(count(r.output, "Smartx VM backup result (succeeded/total): 2/3."), 1u) << r.output;
    std::set<std::string> with_row, failed;
    for (const Object& row : world_->catalog_rows())
        with_row.insert(text_of(Value(row), "vm_id"));
    for (const Value& h : r.histories())
        if (member_of(h, "succeed") != Value(true))
            failed.insert(text_of(h, "uuid"));
    ASSERT_EQ(failed.size(), 1u) << r.output;
    EXPECT_EQ(with_row.size(), 2u);
    EXPECT_EQ(with_row.count(*failed.begin()), 0u);

    const Engine_Run again = run(JOB_DEFINITION_SUBTYPE_FULL, options);
    ASSERT_EQ(again.exit_code, 0) << again.output;
    for (const VM& vm : vms_) {
        if (vm.id != *failed.begin())
            continue;
        std::vector<Object> rows;
        for (const Object& row : world_->catalog_rows())
            if (text_of(Value(row), "vm_id") == vm.id)
                rows.push_back(row);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(world_->restore(vm, rows), world_->disk_contents(vm));
    }
}

}  // namespace
