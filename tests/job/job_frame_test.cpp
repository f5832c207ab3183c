// The run frame of a job: which reports each outcome produces and what the
// shared activity record holds afterwards.
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include "host/job/activity_map.h"
#include "job/default_job_t.h"
#include "job/job_executor_t.h"
#include "job_def/default_job_creator_t.h"
#include "support/temp_root.h"

namespace {

class Test_Source : public Job_Source {
public:
    int generate(yajl_gen) const override { return 0; }
};
class Test_Options : public Job_Options {
public:
    int generate(yajl_gen) override { return 0; }
};

// What the executor under test does; one run at a time per test process.
struct Behaviour {
    bool active = true;
    std::function<bool(Job&)> work = [](Job&) { return true; };
    std::atomic<int> work_calls{0};
};
Behaviour* behaviour = nullptr;

class Test_Executor : public Job_Executor_T<Test_Source, Test_Options> {
public:
    explicit Test_Executor(Job& job) : Job_Executor_T(job) {}
    bool execute_i(const Action_Options*) override {
        ++behaviour->work_calls;
        return behaviour->work(job_);
    }
    bool is_active(const Action_Options*) override { return behaviour->active; }
};

typedef Controllable_Job_T<Test_Executor> Test_Job;
typedef std::vector<Job_Report::Kind> Kinds;
const char* const kDefId = "0f8e2a9c-1b2d-4c3e-9f00-aabbccddeeff";
const char* const kUid = "11111111-2222-3333-4444-555555555555";
const Kinds kNone, kSuccess{Job_Report::START, Job_Report::SUCCESS},
    kFailure{Job_Report::START, Job_Report::FAILURE},
    kCanceled{Job_Report::START, Job_Report::CANCELED};

Kinds kinds(const std::vector<Job_Report>& reports) {
    Kinds out;
    for (const auto& r : reports)
        out.push_back(r.kind);
    return out;
}

class JobFrame : public ::testing::Test {
protected:
    void SetUp() override { behaviour = &b_; }
    void TearDown() override {
        behaviour = nullptr;
        ACE_Thread_Manager::instance()->wait();
    }

    // Touches the "pre" and "post" markers in its actions.
    Job::Definition_Ptr definition() {
        Job::Definition_Ptr def(new Job_Definition());
        def->type = JOB_DEFINITION_BACKUP;
        def->id = kDefId;
        def->uid = kUid;
        def->name = "frame";
        def->source(std::make_shared<Test_Source>());
        def->pre_action = "touch '" + marker("pre") + "'";
        def->post_action = "touch '" + marker("post") + "'";
        return def;
    }

    // Runs one job to completion and returns its reports.
    std::vector<Job_Report> run(const Job::Definition_Ptr& def) {
        ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(def), false);
        EXPECT_EQ(0, job->start(nullptr));
        EXPECT_TRUE(job->wait_for_completion(60000));
        return job->reports();
    }

    // The record as another process sees it.
    Job_Activity activity_on_disk() {
        Job_Activity_Map map;
        EXPECT_EQ(0, map.open(kDefId, false));
        Job_Activity copy = *map.get();
        return copy;
    }

    std::string marker(const std::string& name) { return root_.file(name); }
    bool exists(const std::string& path) { return std::ifstream(path).good(); }

    Temp_Root root_;
    Behaviour b_;
};

// What a row of the outcome table changes in the definition and the work
// (stopping the job as the engine would, from another thread).
constexpr unsigned PRECONDITION_FAILS = 1, INACTIVE = 2, NO_SOURCE = 4, PRE_FAILS = 8,
                   IGNORE_PRE_FAILURE = 16, WORK_FAILS = 32, WORK_STOPS = 64, POST_FAILS = 128,
                   IGNORE_POST_FAILURE = 256, POST_ALWAYS = 512, WORK_ABORTS = 1024;

TEST_F(JobFrame, OutcomesGiveTheirReportsActionsAndRecord) {
    const struct Row {
        unsigned setup;
        Kinds reports;
        int work_calls;
        bool pre, post;
        Job_State state;  // of the record; JOB_STATE_NONE: not checked
        int code;         // of the record, checked with the state or when not 0
    } rows[] = {
        {0, kSuccess, 1, true, true, JOB_STATE_IDLE, 0},
        {PRECONDITION_FAILS, kNone, 0, false, false, JOB_STATE_IDLE, 0},
        {INACTIVE, kNone, 0, false, false, JOB_STATE_SKIPPED, 0},
        {NO_SOURCE, kNone, 0, false, false, JOB_STATE_NONE, 0},
        {PRE_FAILS, kFailure, 0, false, false, JOB_STATE_NONE, -1},
        {PRE_FAILS | IGNORE_PRE_FAILURE, kSuccess, 1, false, true, JOB_STATE_NONE, 0},
        {WORK_FAILS, kFailure, 1, true, false, JOB_STATE_NONE, -1},
        {WORK_FAILS | POST_ALWAYS, kFailure, 1, true, true, JOB_STATE_NONE, -1},
        {POST_FAILS, kFailure, 1, true, false, JOB_STATE_NONE, -1},
        {POST_FAILS | IGNORE_POST_FAILURE, kSuccess, 1, true, false, JOB_STATE_NONE, 0},
        {WORK_STOPS, kCanceled, 1, true, false, JOB_STATE_CANCELED, 0},
        // The post-action keeps a canceled run canceled.
        {WORK_STOPS | POST_ALWAYS, kCanceled, 1, true, true, JOB_STATE_CANCELED, 0},
        {WORK_ABORTS, kCanceled, 1, true, false, JOB_STATE_CANCELED, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.setup);
        ::unlink(marker("pre").c_str());
        ::unlink(marker("post").c_str());
        ::unlink(Job_Activity_Map::path_of(kDefId).c_str());  // a fresh record per row
        b_.active = !(r.setup & INACTIVE);
        b_.work = [&r](Job& job) {
            Action_Options opts;
            if (r.setup & WORK_STOPS)
                job.stop(nullptr);
            if (r.setup & WORK_ABORTS)
                job.abort(&opts);
            return !(r.setup & WORK_FAILS) &&
                   !job_state_is_stopping(load_job_state(job.activity()));
        };
        b_.work_calls = 0;
        auto def = definition();
        if (r.setup & PRECONDITION_FAILS)
            def->precondition = "exit 3";
        if (r.setup & NO_SOURCE)
            def->source(nullptr);
        if (r.setup & PRE_FAILS)
            def->pre_action = "exit 1";
        if (r.setup & POST_FAILS)
            def->post_action = "exit 1";
        def->ignore_pre_action_failure = r.setup & IGNORE_PRE_FAILURE;
        def->ignore_post_action_failure = r.setup & IGNORE_POST_FAILURE;
        def->run_post_action_always = r.setup & POST_ALWAYS;
        auto reports = run(def);
        ASSERT_EQ(r.reports, kinds(reports));
        if (r.reports == kFailure) {
            EXPECT_EQ(-1, reports[1].code);
        }
        EXPECT_EQ(r.work_calls, b_.work_calls.load());
        EXPECT_EQ(r.pre, exists(marker("pre")));
        EXPECT_EQ(r.post, exists(marker("post")));
        if (r.state == JOB_STATE_NONE && r.code == 0)
            continue;
        const Job_Activity act = activity_on_disk();
        EXPECT_EQ(r.code, act.code);
        if (r.state != JOB_STATE_NONE) {
            EXPECT_EQ(r.state, act.state);
        }
        if (r.state == JOB_STATE_IDLE) {
            EXPECT_GT(act.start_time, 0);
            EXPECT_GE(act.last_run_time, act.start_time);
        }
    }
    unsigned char uid[16];
    ASSERT_TRUE(uuid_from_string(kUid, uid));
    EXPECT_EQ(0, memcmp(uid, activity_on_disk().uid, 16));
}

TEST_F(JobFrame, PostActionSwitchesToCompletingOnlyWhenItHasAScript) {
    auto def = definition();
    // The script reads the state field (offset 64) from the shared record, as
    // another process would.
    def->post_action = "od -An -t d4 -j 64 -N 4 '" + Job_Activity_Map::path_of(kDefId) + "' > '" +
                       marker("state") + "'";
    EXPECT_EQ(kSuccess, kinds(run(def)));
    int seen = -1;
    std::ifstream(marker("state")) >> seen;
    EXPECT_EQ(JOB_STATE_COMPLETING, seen);
    // Without a script the state stays what the work left.
    std::atomic<int> state_after_work{-1};
    def->post_action.clear();
    b_.work = [](Job& job) {
        job.state_i(JOB_STATE_PAUSING);
        return true;
    };
    ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(def), false);
    job->set_report_listener([&](const Job_Report& r) {
        if (r.kind == Job_Report::SUCCESS)
            state_after_work = load_job_state(job->activity());
    });
    ASSERT_EQ(0, job->start(nullptr));
    ASSERT_TRUE(job->wait_for_completion(60000));
    EXPECT_EQ(JOB_STATE_PAUSING, state_after_work.load());
}

// A control that comes while the precondition or the pre-action still runs
// (a stop right after the start, say) ends the run before any work.
TEST_F(JobFrame, ControlsWhileAScriptRunsEndTheRunBeforeItsWork) {
    const struct {
        const char* name;
        std::string Job_Definition::*script;
        int (Job::*control)(const Action_Options*);
        Kinds reports;
    } rows[] = {
        {"PauseDuringPreAction", &Job_Definition::pre_action, &Job::pause, kFailure},
        {"StopDuringPrecondition", &Job_Definition::precondition, &Job::stop, kCanceled},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string started = marker("started"), release = marker("release");
        ::unlink(started.c_str());
        ::unlink(release.c_str());
        auto def = definition();
        (*def).*row.script =
            "touch '" + started + "'; while [ ! -f '" + release + "' ]; do sleep 0.01; done";
        ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(def), false);
        ASSERT_EQ(0, job->start(nullptr));
        while (!exists(started))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(0, ((*job).*row.control)(nullptr));
        std::ofstream(release).put('x');
        ASSERT_TRUE(job->wait_for_completion(60000));
        const std::vector<Job_Report> reports = job->reports();
        ASSERT_EQ(row.reports, kinds(reports));
        EXPECT_EQ(row.reports == kFailure ? -1 : 0, reports[1].code);
        EXPECT_EQ(0, b_.work_calls.load());
        EXPECT_FALSE(exists(marker("post")));
    }
}

TEST_F(JobFrame, ANewRunDoesNotInheritTheLastCancel) {
    b_.work = [](Job& job) {
        job.stop(nullptr);
        return false;
    };
    ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(definition()), false);
    ASSERT_EQ(0, job->start(nullptr));
    ASSERT_TRUE(job->wait_for_completion(60000));
    b_.work = [](Job& job) { return !job_state_is_stopping(load_job_state(job.activity())); };
    ASSERT_EQ(0, job->start(nullptr));
    ASSERT_TRUE(job->wait_for_completion(60000));
    auto reports = job->reports();
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(Job_Report::SUCCESS, reports[3].kind);
}

TEST_F(JobFrame, EngineMayDropTheJobWhileItRuns) {
    std::atomic<bool> release{false}, finished{false};
    b_.work = [&](Job& job) {
        while (!release)
            std::this_thread::yield();
        // The job is still alive here although the engine let go of it.
        job.activity().size = 42;
        finished = true;
        return true;
    };
    {
        ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(definition()), false);
        ASSERT_EQ(0, job->start(nullptr));
    }
    release = true;
    ACE_Thread_Manager::instance()->wait();
    EXPECT_TRUE(finished);
    EXPECT_EQ(42u, activity_on_disk().size);
}

struct Other_Job : Test_Job {
    using Test_Job::Test_Job;
};

TEST(JobCreatorTemplate, MakesJobsOnlyForBackupAndRestore) {
    Temp_Root root;
    Default_Job_Creator_T<Test_Job, Other_Job> creator;
    Job::Definition_Ptr def(new Job_Definition());
    for (int type : {0, 3, 4, 99}) {
        def->type = static_cast<Job_Definition_Type>(type);
        errno = 1234;
        EXPECT_EQ(nullptr, creator.create(def).get()) << type;
        EXPECT_EQ(1234, errno) << type;
    }
    def->type = JOB_DEFINITION_BACKUP;
    ACE_Intrusive_Auto_Ptr<Job> backup = creator.create(def);
    EXPECT_NE(nullptr, dynamic_cast<Test_Job*>(backup.get()));
    EXPECT_EQ(nullptr, dynamic_cast<Other_Job*>(backup.get()));
    def->type = JOB_DEFINITION_RESTORE;
    EXPECT_NE(nullptr, dynamic_cast<Other_Job*>(creator.create(def).get()));
}

}  // namespace
