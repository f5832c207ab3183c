// No exception crosses an interface the host calls: each entry point that
// meets one answers its own failure value and logs what it caught.
#include <cerrno>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include "host/job/job.h"
#include "job/default_job_t.h"
#include "job/job_executor_t.h"
#include "job_def/default_job_creator_t.h"
#include "job_def/job_json_parser.h"
#include "job_def/object_creator_impl_t.h"
#include "smartx/common/factory.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

[[noreturn]] void refuse() {
    throw std::runtime_error("refused by the test");
}

class Edge_Source : public Job_Source {
public:
    int generate(yajl_gen) const override { return 0; }
    json_spirit::Value& value() { return value_; }
    // Hides the host's setter: the parser calls this one.
    void id(const std::string&) { refuse(); }

private:
    json_spirit::Value value_;
};

class Edge_Options : public Job_Options {
public:
    int generate(yajl_gen) override { return 0; }
};

// An event handler of the host that fails at the start report.
class Throwing_Handler : public Job_Event_Handler {
public:
    explicit Throwing_Handler(Job& job) : Job_Event_Handler(job) {}
    int handle_start_job() { refuse(); }
};

template <class Handler>
class Edge_Executor : public Job_Executor_T<Edge_Source, Edge_Options, Handler> {
public:
    explicit Edge_Executor(Job& job) : Job_Executor_T<Edge_Source, Edge_Options, Handler>(job) {}
    bool execute_i(const Action_Options*) override { refuse(); }
};

using Throwing_Work_Job = Controllable_Job_T<Edge_Executor<Job_Event_Handler>>;

// A job whose construction fails.
class Unmakeable_Job : public Throwing_Work_Job {
public:
    explicit Unmakeable_Job(const Job::Definition_Ptr& def) : Throwing_Work_Job(def) { refuse(); }
};

class Unmakeable_Parser : public YAJL_Handler {
public:
    Unmakeable_Parser() { refuse(); }
};

class Unmakeable_Object {
public:
    Unmakeable_Object() { refuse(); }
    virtual ~Unmakeable_Object() = default;
};

class ExceptionEdges : public ::testing::Test {
protected:
    void TearDown() override { ACE_Thread_Manager::instance()->wait(); }

    static Job::Definition_Ptr definition() {
        Job::Definition_Ptr def(new Job_Definition());
        def->type = JOB_DEFINITION_BACKUP;
        def->id = "0f8e2a9c-1b2d-4c3e-9f00-00000000e0e0";
        def->uid = "11111111-2222-3333-4444-00000000e0e0";
        def->source(std::make_shared<Edge_Source>());
        return def;
    }

    // Lines that report a caught exception.
    static size_t caught(const Log_Capture& log) {
        size_t n = 0;
        for (const Log_Capture::Line& l : log.lines())
            if (l.priority == LM_ERROR &&
                l.text.find(", caught exception: refused by the test.\n") != std::string::npos)
                ++n;
        return n;
    }

    Temp_Root root_;
};

TEST_F(ExceptionEdges, EntryPointsAnswerTheirFailureValue) {
    struct Row {
        const char* name;
        std::function<bool()> failed;  // the entry point's failure value came back
    };
    const Row rows[] = {
        {"JobCreatorCreate",
         [] {
             Default_Job_Creator_T<Unmakeable_Job, Unmakeable_Job> creator;
             return creator.create(definition()).get() == nullptr;
         }},
        {"ParserCreatorCreate",
         [] {
             Object_Creator_Impl_T<YAJL_Handler, Unmakeable_Parser> creator;
             errno = 0;
             return creator.create() == nullptr && errno == ENOMEM;
         }},
        {"ExportedFactory",
         [] {
             Gobble_Function gobble = nullptr;
             errno = 0;
             Unmakeable_Object* made = smartx::make_exported<Unmakeable_Object, Unmakeable_Object>(
                 &gobble, &smartx::gobble_exported<Unmakeable_Object>);
             return made == nullptr && errno == ENOMEM && gobble != nullptr;
         }},
        {"SourceParserCallback",
         [] {
             Job_Source_Parser<Edge_Source> parser;
             std::string why;
             return !parser.parse(R"({"id": "vm-1", "entries": []})", &why);
         }},
        {"ExecutorFrame",
         [] {
             ACE_Intrusive_Auto_Ptr<Job> job(new Throwing_Work_Job(definition()), false);
             Edge_Executor<Throwing_Handler> executor(*job);
             return !executor.execute(nullptr);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Log_Capture log;
        bool failed = false;
        EXPECT_NO_THROW(failed = row.failed());
        EXPECT_TRUE(failed);
        EXPECT_EQ(caught(log), 1u);
    }
}

// The run thread's own log is not this thread's: the reports tell.
TEST_F(ExceptionEdges, ThrowingWorkStillEndsTheRunWithAFailureReport) {
    ACE_Intrusive_Auto_Ptr<Job> job(new Throwing_Work_Job(definition()), false);
    ASSERT_EQ(job->start(nullptr), 0);
    ASSERT_TRUE(job->wait_for_completion(60000));
    std::vector<Job_Report::Kind> kinds;
    for (const Job_Report& r : job->reports())
        kinds.push_back(r.kind);
    EXPECT_EQ(kinds, (std::vector<Job_Report::Kind>{Job_Report::START, Job_Report::FAILURE}));
}

}  // namespace
