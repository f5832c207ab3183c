// The run frame of a job: which reports each outcome produces and what the
// shared activity record holds afterwards.
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
const char* const kDefId = "0f8e2a9c-1b2d-4c3e-9f00-aabbccddeeff";
const char* const kUid = "11111111-2222-3333-4444-555555555555";

std::vector<Job_Report::Kind> kinds(const std::vector<Job_Report>& reports) {
    std::vector<Job_Report::Kind> out;
    for (const auto& r : reports)
        out.push_back(r.kind);
    return out;
}

class Job_Frame : public ::testing::Test {
protected:
    void SetUp() override { behaviour = &b_; }
    void TearDown() override {
        behaviour = nullptr;
        ACE_Thread_Manager::instance()->wait();
    }

    Job::Definition_Ptr definition(bool with_source = true) {
        Job::Definition_Ptr def(new Job_Definition());
        def->type = JOB_DEFINITION_BACKUP;
        def->id = kDefId;
        def->uid = kUid;
        def->name = "frame";
        if (with_source)
            def->source(std::make_shared<Test_Source>());
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

TEST_F(Job_Frame, SuccessReportsStartAndSuccessAndRecordsUid) {
    auto def = definition();
    def->pre_action = "touch '" + marker("pre") + "'";
    def->post_action = "touch '" + marker("post") + "'";
    auto reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::SUCCESS}),
              kinds(reports));
    EXPECT_EQ(1, b_.work_calls.load());
    EXPECT_TRUE(exists(marker("pre")));
    EXPECT_TRUE(exists(marker("post")));
    Job_Activity act = activity_on_disk();
    EXPECT_EQ(JOB_STATE_IDLE, act.state);
    EXPECT_EQ(0, act.code);
    unsigned char uid[16];
    ASSERT_TRUE(uuid_from_string(kUid, uid));
    EXPECT_EQ(0, memcmp(uid, act.uid, 16));
    EXPECT_GE(act.last_run_time, act.start_time);
    EXPECT_GT(act.start_time, 0);
}

TEST_F(Job_Frame, FailedPreconditionReportsNothing) {
    auto def = definition();
    def->precondition = "exit 3";
    def->pre_action = "touch '" + marker("pre") + "'";
    auto reports = run(def);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(0, b_.work_calls.load());
    EXPECT_FALSE(exists(marker("pre")));
    Job_Activity act = activity_on_disk();
    EXPECT_EQ(JOB_STATE_IDLE, act.state);
    EXPECT_EQ(act.start_time, act.last_run_time);
    EXPECT_GT(act.start_time, 0);
}

TEST_F(Job_Frame, InactiveJobIsSkippedWithoutReports) {
    b_.active = false;
    auto reports = run(definition());
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(0, b_.work_calls.load());
    EXPECT_EQ(JOB_STATE_SKIPPED, activity_on_disk().state);
}

TEST_F(Job_Frame, MissingSourceReportsNothing) {
    auto reports = run(definition(false));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(0, b_.work_calls.load());
}

TEST_F(Job_Frame, FailedPreActionSkipsWorkAndPostAction) {
    auto def = definition();
    def->pre_action = "exit 1";
    def->post_action = "touch '" + marker("post") + "'";
    auto reports = run(def);
    ASSERT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::FAILURE}),
              kinds(reports));
    EXPECT_EQ(-1, reports[1].code);
    EXPECT_EQ(0, b_.work_calls.load());
    EXPECT_FALSE(exists(marker("post")));
    EXPECT_EQ(-1, activity_on_disk().code);
}

TEST_F(Job_Frame, IgnoredPreActionFailureRunsWork) {
    auto def = definition();
    def->pre_action = "exit 1";
    def->ignore_pre_action_failure = true;
    auto reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::SUCCESS}),
              kinds(reports));
    EXPECT_EQ(1, b_.work_calls.load());
}

TEST_F(Job_Frame, FailedWorkSkipsPostActionUnlessAlways) {
    b_.work = [](Job&) { return false; };
    auto def = definition();
    def->post_action = "touch '" + marker("post") + "'";
    auto reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::FAILURE}),
              kinds(reports));
    EXPECT_FALSE(exists(marker("post")));

    def->run_post_action_always = true;
    reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::FAILURE}),
              kinds(reports));
    EXPECT_TRUE(exists(marker("post")));
}

TEST_F(Job_Frame, FailedPostActionFailsUnlessIgnored) {
    auto def = definition();
    def->post_action = "exit 1";
    auto reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::FAILURE}),
              kinds(reports));

    def->ignore_post_action_failure = true;
    reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::SUCCESS}),
              kinds(reports));
}

TEST_F(Job_Frame, PostActionSwitchesToCompletingOnlyWhenItHasAScript) {
    auto def = definition();
    // The script reads the state field (offset 64) from the shared record, as
    // another process would.
    def->post_action = "od -An -t d4 -j 64 -N 4 '" + Job_Activity_Map::path_of(kDefId) + "' > '" +
                       marker("state") + "'";
    auto reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::SUCCESS}),
              kinds(reports));
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

TEST_F(Job_Frame, StopDuringWorkIsReportedAsCanceled) {
    b_.work = [](Job& job) {
        job.stop(nullptr);  // what the engine does from another thread
        return !job_state_is_stopping(load_job_state(job.activity()));
    };
    auto def = definition();
    auto reports = run(def);
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::CANCELED}),
              kinds(reports));
    EXPECT_EQ(JOB_STATE_CANCELED, activity_on_disk().state);
}

TEST_F(Job_Frame, StopFromAnotherThreadWhileWorking) {
    std::atomic<bool> working{false};
    b_.work = [&working](Job& job) {
        working = true;
        while (!job_state_is_stopping(load_job_state(job.activity())))
            std::this_thread::yield();
        return false;
    };
    ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(definition()), false);
    ASSERT_EQ(0, job->start(nullptr));
    while (!working)
        std::this_thread::yield();
    EXPECT_EQ(0, job->stop(nullptr));
    ASSERT_TRUE(job->wait_for_completion(60000));
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::CANCELED}),
              kinds(job->reports()));
}

TEST_F(Job_Frame, PostActionAlwaysKeepsACanceledRunCanceled) {
    b_.work = [](Job& job) {
        job.stop(nullptr);
        return false;
    };
    auto def = definition();
    def->run_post_action_always = true;
    def->post_action = "touch '" + marker("post") + "'";
    auto reports = run(def);
    EXPECT_TRUE(exists(marker("post")));
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::CANCELED}),
              kinds(reports));
}

TEST_F(Job_Frame, PauseDuringPreActionFailsTheRun) {
    auto def = definition();
    std::string started = marker("started"), release = marker("release");
    def->pre_action =
        "touch '" + started + "'; while [ ! -f '" + release + "' ]; do sleep 0.01; done";
    def->post_action = "touch '" + marker("post") + "'";
    ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(def), false);
    ASSERT_EQ(0, job->start(nullptr));
    while (!exists(started))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(0, job->pause(nullptr));
    std::ofstream(release).put('x');
    ASSERT_TRUE(job->wait_for_completion(60000));
    auto reports = job->reports();
    ASSERT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::FAILURE}),
              kinds(reports));
    EXPECT_EQ(-1, reports[1].code);
    EXPECT_EQ(0, b_.work_calls.load());
    EXPECT_FALSE(exists(marker("post")));
}

TEST_F(Job_Frame, ANewRunDoesNotInheritTheLastCancel) {
    b_.work = [](Job& job) {
        job.stop(nullptr);
        return false;
    };
    auto def = definition();
    ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(def), false);
    ASSERT_EQ(0, job->start(nullptr));
    ASSERT_TRUE(job->wait_for_completion(60000));
    b_.work = [](Job& job) { return !job_state_is_stopping(load_job_state(job.activity())); };
    ASSERT_EQ(0, job->start(nullptr));
    ASSERT_TRUE(job->wait_for_completion(60000));
    auto reports = job->reports();
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(Job_Report::SUCCESS, reports[3].kind);
}

TEST_F(Job_Frame, EngineMayDropTheJobWhileItRuns) {
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

TEST_F(Job_Frame, AbortMarksCanceling) {
    std::atomic<bool> working{false};
    b_.work = [&working](Job& job) {
        working = true;
        while (!job_state_is_stopping(load_job_state(job.activity())))
            std::this_thread::yield();
        return false;
    };
    ACE_Intrusive_Auto_Ptr<Job> job(new Test_Job(definition()), false);
    ASSERT_EQ(0, job->start(nullptr));
    while (!working)
        std::this_thread::yield();
    Action_Options opts;
    EXPECT_EQ(0, job->abort(&opts));
    ASSERT_TRUE(job->wait_for_completion(60000));
    EXPECT_EQ((std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::CANCELED}),
              kinds(job->reports()));
}

struct Other_Job : Test_Job {
    using Test_Job::Test_Job;
};

TEST(Job_Creator_Template, MakesJobsOnlyForBackupAndRestore) {
    Temp_Root root;
    Default_Job_Creator_T<Test_Job, Other_Job> creator;
    for (int type : {0, 3, 4, 99}) {
        Job::Definition_Ptr def(new Job_Definition());
        def->type = static_cast<Job_Definition_Type>(type);
        errno = 1234;
        EXPECT_EQ(nullptr, creator.create(def).get()) << type;
        EXPECT_EQ(1234, errno) << type;
    }
    Job::Definition_Ptr def(new Job_Definition());
    def->type = JOB_DEFINITION_BACKUP;
    ACE_Intrusive_Auto_Ptr<Job> backup = creator.create(def);
    EXPECT_NE(nullptr, dynamic_cast<Test_Job*>(backup.get()));
    EXPECT_EQ(nullptr, dynamic_cast<Other_Job*>(backup.get()));
    def->type = JOB_DEFINITION_RESTORE;
    EXPECT_NE(nullptr, dynamic_cast<Other_Job*>(creator.create(def).get()));
}

}  // namespace
