// The servant task scheduler running real servant processes: the built
// starter with the test handler library.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ace/Process.h>
#include <gtest/gtest.h>

#include "host/paths.h"
#include "host/servant/servant.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/servant/servant_test_support.h"
#include "support/temp_root.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

const char* const SECRET = "S3cr3t-Pa55";

// Replies as the result callback saw them, thread-safe.
class Replies {
public:
    Servant_Task_Scheduler::Result_Callback callback() {
        return [this](const JSON_RPC_Object_Ptr& reply) {
            std::lock_guard<std::mutex> lock(mutex_);
            replies_.push_back(reply);
            if (reply->type() != JSON_RPC_Object::TYPE_RESPONSE)
                return 1;
            int code = 1;
            const Value& r = static_cast<JSON_RPC_Response*>(reply.get())->result;
            if (r.type() == json_spirit::obj_type)
                json_spirit::object_get(r.get_obj(), "code", code);
            return code;
        };
    }
    std::vector<JSON_RPC_Object_Ptr> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return replies_;
    }
    // Result objects of the responses.
    std::vector<Object> results() const {
        std::vector<Object> out;
        for (const auto& r : all())
            if (r->type() == JSON_RPC_Object::TYPE_RESPONSE)
                out.push_back(static_cast<JSON_RPC_Response*>(r.get())->result.get_obj());
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<JSON_RPC_Object_Ptr> replies_;
};

class Servant_Scheduler : public ::testing::Test {
protected:
    void SetUp() override {
        install_starter();
        Object handlers;
        handlers["test.servant"] = "Test_Servant_Handler";
        write_servant_config(handlers);
    }

    // Prepares each servant as the executors do; counts the starts.
    Servant_Task_Scheduler::Init_Callback init() {
        return [this](Servant& servant, const Object& params) {
            ++starts_;
            std::string name = "servant";
            json_spirit::object_get(params, "name", name);
            servant.reset("starter", servant_config_template(), nullptr, nullptr, name.c_str());
            return true;
        };
    }

    static Object task(const std::string& action, Object extra = Object()) {
        extra["action"] = action;
        return extra;
    }

    int lines_in(const std::string& file) {
        std::ifstream in(file);
        int n = 0;
        for (std::string line; std::getline(in, line);)
            ++n;
        return n;
    }

    Temp_Root root_;
    std::atomic<int> starts_{0};
    Replies replies_;
};

TEST_F(Servant_Scheduler, EachTaskRunsInAServantWhoseReplyReachesTheResultCallback) {
    Servant_Task_Scheduler s("test.servant", 1024);
    for (int i = 0; i < 3; ++i) {
        Object login;
        login["password"] = Value(secure_string(SECRET));
        Object p = task("echo");
        p["n"] = i;
        p["login_info"] = login;
        ASSERT_TRUE(s.enqueue_task(p, "host-1", 0, "task_" + std::to_string(i), nullptr));
    }
    ASSERT_TRUE(s.activate(2, init(), replies_.callback()));
    EXPECT_TRUE(s.wait());
    EXPECT_FALSE(s.is_running());

    std::set<int> seen;
    for (const Object& r : replies_.results()) {
        const Object& params = json_spirit::object_get_object_or_throw(r, "params");
        seen.insert(json_spirit::object_get_int_or_throw(params, "n"));
        // The scheduler's name is the method; the credential arrived intact and
        // is kept in a wiping string on the servant's side.
        EXPECT_EQ("test.servant", json_spirit::object_get_str_or_throw(r, "method"));
        EXPECT_EQ(SECRET,
                  json_spirit::object_get_str_or_throw(
                      json_spirit::object_get_object_or_throw(params, "login_info"), "password"));
        EXPECT_EQ(1, json_spirit::object_get_int_or_throw(r, "secure_secrets"));
    }
    EXPECT_EQ((std::set<int>{0, 1, 2}), seen);
    EXPECT_EQ(3, starts_.load());
}

TEST_F(Servant_Scheduler, JsonRpcErrorsReachTheResultCallbackAsSuch) {
    Servant_Task_Scheduler s("test.servant", 1024);
    ASSERT_TRUE(s.enable_retry(3, 0));
    Object e1 = task("error");
    e1["error_code"] = -32602;
    Object e2 = task("error");
    e2["error_code"] = -32603;
    e2["message"] = "Failed to initialize job.";
    ASSERT_TRUE(s.enqueue_task(e1, "h", 0, "bad_params", "vm-1"));
    ASSERT_TRUE(s.enqueue_task(e2, "h", 0, "bad_job", "vm-2"));
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    s.wait();

    std::vector<std::pair<int, std::string>> errors;
    for (const auto& r : replies_.all()) {
        ASSERT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, r->type());
        const auto& e = *static_cast<JSON_RPC_Response_Error*>(r.get());
        errors.emplace_back(e.code, e.message);
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{-32603, "Failed to initialize job."},
                                                        {-32602, ""}}),
              errors);
    EXPECT_EQ(2, starts_.load());  // a result of 1 is not retried
}

TEST_F(Servant_Scheduler, NoMoreServantsRunThanTheParallelism) {
    std::string dir = root_.file("markers");
    make_directories(dir, 0755);
    Servant_Task_Scheduler s("test.servant", 1024);
    for (int i = 0; i < 4; ++i) {
        Object p = task("barrier");
        p["dir"] = dir;
        p["owner"] = "h" + std::to_string(i);
        p["expect"] = 2;
        ASSERT_TRUE(
            s.enqueue_task(p, "h" + std::to_string(i), 0, "t" + std::to_string(i), nullptr));
    }
    ASSERT_TRUE(s.activate(2, init(), replies_.callback()));
    s.wait();
    auto results = replies_.results();
    ASSERT_EQ(4u, results.size());
    for (const Object& r : results)
        EXPECT_EQ(2, json_spirit::object_get_int_or_throw(r, "max_total"));
}

TEST_F(Servant_Scheduler, NoMoreServantsOfOneOwnerThanTheOwnerLimit) {
    std::string dir = root_.file("markers");
    make_directories(dir, 0755);
    Servant_Task_Scheduler s("test.servant", 1024);
    ASSERT_TRUE(s.enable_owner_limit(1));
    const char* owners[] = {"a", "a", "b", "b"};
    for (int i = 0; i < 4; ++i) {
        Object p = task("barrier");
        p["dir"] = dir;
        p["owner"] = owners[i];
        p["expect"] = 2;
        ASSERT_TRUE(s.enqueue_task(p, owners[i], 0, "t" + std::to_string(i), nullptr));
    }
    ASSERT_TRUE(s.activate(4, init(), replies_.callback()));
    s.wait();
    auto results = replies_.results();
    ASSERT_EQ(4u, results.size());
    for (const Object& r : results) {
        EXPECT_EQ(1, json_spirit::object_get_int_or_throw(r, "max_owner"));
        EXPECT_EQ(2, json_spirit::object_get_int_or_throw(r, "max_total"));
    }
}

TEST_F(Servant_Scheduler, ResultTwoRunsTheTaskAgainUpToTheRetryCount) {
    auto attempts_task = [this](const std::string& file, std::vector<int> codes) {
        Object p = task("attempts");
        p["file"] = root_.file(file);
        p["codes"] = Array(codes.begin(), codes.end());
        return p;
    };
    {
        Servant_Task_Scheduler s("test.servant", 1024);
        ASSERT_TRUE(s.enable_retry(2, 0));
        ASSERT_TRUE(s.enqueue_task(attempts_task("always", {2}), "h", 0, "always", "vm-1"));
        ASSERT_TRUE(s.enqueue_task(attempts_task("second", {2, 0}), "h", 0, "second", "vm-2"));
        ASSERT_TRUE(s.enqueue_task(attempts_task("failed", {1}), "h", 0, "failed", "vm-3"));
        ASSERT_TRUE(s.activate(3, init(), replies_.callback()));
        s.wait();
    }
    EXPECT_EQ(3, lines_in(root_.file("always")));  // the first run and two retries
    EXPECT_EQ(2, lines_in(root_.file("second")));
    EXPECT_EQ(1, lines_in(root_.file("failed")));
    EXPECT_EQ(6, starts_.load());  // each run is a servant start of its own
    EXPECT_EQ(6u, replies_.all().size());

    // Without retries a 2 is final.
    Servant_Task_Scheduler s("test.servant", 1024);
    ASSERT_TRUE(s.enqueue_task(attempts_task("once", {2}), "h", 0, "once", nullptr));
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    s.wait();
    EXPECT_EQ(1, lines_in(root_.file("once")));
}

TEST_F(Servant_Scheduler, ServantsThatEndWithoutAReplyFailAndAreNotRetried) {
    Process_Log_Capture log;
    Servant_Task_Scheduler s("test.servant", 1024);
    ASSERT_TRUE(s.enable_retry(3, 0));
    Object exit_clean = task("exit");
    exit_clean["status"] = 0;
    ASSERT_TRUE(s.enqueue_task(task("crash"), "h", 0, "crashes", nullptr));
    ASSERT_TRUE(s.enqueue_task(exit_clean, "h", 0, "exits", nullptr));
    ASSERT_TRUE(s.enqueue_task(task("silent"), "h", 0, "says_nothing", nullptr));
    ASSERT_TRUE(s.activate(3, init(), replies_.callback()));
    s.wait();
    EXPECT_TRUE(replies_.all().empty());
    EXPECT_EQ(3, starts_.load());
    std::string text = log.text();
    for (const char* t : {"crashes", "exits", "says_nothing"})
        EXPECT_NE(std::string::npos,
                  text.find(std::string("of task ") + t + " ended without a reply"))
            << text;
    EXPECT_NE(std::string::npos, text.find("signal 6")) << text;
}

TEST_F(Servant_Scheduler, StopCallbackEndsDispatchingAndARunningServantIsGivenItsGrace) {
    std::string started = root_.file("started"), release = root_.file("release");
    Servant_Task_Scheduler s("test.servant", 1024);
    std::atomic<bool> stopped{false};
    ASSERT_TRUE(s.register_stop_callback([&] {
        if (::access(started.c_str(), F_OK) == 0)
            stopped = true;
        return stopped.load();
    }));
    for (int i = 0; i < 4; ++i) {
        Object p = task("block");
        p["started"] = started;
        p["release"] = release;
        ASSERT_TRUE(s.enqueue_task(p, "h", 0, "t" + std::to_string(i), nullptr));
    }
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    while (!stopped)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ofstream(release).put('x');  // the running servant finishes its work
    s.wait();
    EXPECT_FALSE(s.is_running());
    EXPECT_EQ(1, starts_.load());
    EXPECT_EQ(1u, replies_.results().size());
}

TEST_F(Servant_Scheduler, AServantThatOutlivesTheStopGraceIsTerminated) {
    Process_Log_Capture log;
    std::string started = root_.file("started");
    Servant_Task_Scheduler s("test.servant", 1024);
    s.set_stop_grace(0);
    ASSERT_TRUE(s.register_stop_callback([&] { return ::access(started.c_str(), F_OK) == 0; }));
    Object p = task("block");
    p["started"] = started;
    p["release"] = root_.file("never");
    ASSERT_TRUE(s.enqueue_task(p, "h", 0, "blocked", nullptr));
    ASSERT_TRUE(s.enqueue_task(p, "h", 0, "never_started", nullptr));
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    s.wait();
    EXPECT_EQ(1, starts_.load());
    EXPECT_TRUE(replies_.all().empty());
    EXPECT_NE(std::string::npos,
              log.text().find("of task blocked ended without a reply (signal 15)"))
        << log.text();
}

TEST_F(Servant_Scheduler, AServantThatDoesNotExitAfterItsReplyIsKilled) {
    Servant_Task_Scheduler s("test.servant", 1024);
    s.set_exit_grace(0);
    ASSERT_TRUE(s.enqueue_task(task("hang"), "h", 0, "hangs", nullptr));
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    s.wait();
    EXPECT_EQ(1u, replies_.results().size());
}

TEST_F(Servant_Scheduler, InitCallbackPreparesTheProcessAndMayRefuseIt) {
    ::setenv("LD_LIBRARY_PATH", "/inherited/lib", 1);
    Servant_Task_Scheduler s("test.servant", 1024);
    auto prepare = [this](Servant& servant, const Object& params) {
        ++starts_;
        if (json_spirit::object_get_value(params, "refuse"))
            return false;
        servant.reset("starter", servant_config_template(), root_.path().c_str(), nullptr,
                      "Smartx_Backup_VM_Servant");
        ACE_Process_Options& opts = servant.get_process_options();
        opts.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("/opt/velmora/tarnvik3/zbs/%s:%s"),
                    "5.5.1", ::getenv("LD_LIBRARY_PATH"));
        opts.setenv(ACE_TEXT("ZBS_TIMEOUT"), ACE_TEXT("%u"), 3000u);
        return true;
    };
    Object env = task("env");
    env["vars"] = Array{Value("LD_LIBRARY_PATH"), Value("ZBS_TIMEOUT"), Value("HOST_ROOT")};
    Object refused = task("echo");
    refused["refuse"] = true;
    ASSERT_TRUE(s.enqueue_task(refused, "h", 0, "refused", nullptr));
    ASSERT_TRUE(s.enqueue_task(env, "h", 0, "env", nullptr));
    ASSERT_TRUE(s.activate(1, prepare, replies_.callback()));
    s.wait();
    ::unsetenv("LD_LIBRARY_PATH");

    auto results = replies_.results();
    ASSERT_EQ(1u, results.size());  // the refused task never ran
    const Object& vars = json_spirit::object_get_object_or_throw(results[0], "env");
    EXPECT_EQ("/opt/velmora/tarnvik3/zbs/5.5.1:/inherited/lib",
              json_spirit::object_get_str_or_throw(vars, "LD_LIBRARY_PATH"));
    EXPECT_EQ("3000", json_spirit::object_get_str_or_throw(vars, "ZBS_TIMEOUT"));
    EXPECT_EQ(root_.path(), json_spirit::object_get_str_or_throw(vars, "HOST_ROOT"));
    EXPECT_EQ(root_.path(), json_spirit::object_get_str_or_throw(results[0], "cwd"));
    std::vector<std::string> argv;
    for (const Value& a : json_spirit::object_get_array_or_throw(results[0], "argv"))
        argv.push_back(a.get_str());
    ASSERT_GE(argv.size(), 7u);
    EXPECT_EQ(std::vector<std::string>({"--config", servant_config_template(), "--name",
                                        "Smartx_Backup_VM_Servant", "--channel", "3"}),
              std::vector<std::string>(argv.begin() + 1, argv.begin() + 7));
    EXPECT_EQ(2, starts_.load());
}

TEST_F(Servant_Scheduler, ServantsInheritOnlyTheirOwnDescriptors) {
    std::string leak_path = root_.file("leak");
    int leak = ::open(leak_path.c_str(), O_WRONLY | O_CREAT, 0600);  // no O_CLOEXEC on purpose
    ASSERT_GE(leak, 0);
    Servant_Task_Scheduler s("test.servant", 1024);
    ASSERT_TRUE(s.enqueue_task(task("env"), "h", 0, "fds", nullptr));
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    s.wait();
    ::close(leak);
    auto results = replies_.results();
    ASSERT_EQ(1u, results.size());
    std::set<int> fds;
    for (const Value& v : json_spirit::object_get_array_or_throw(results[0], "fds"))
        fds.insert(v.get_int());
    EXPECT_EQ((std::set<int>{0, 1, 2, 3}), fds);
}

TEST_F(Servant_Scheduler, ServantOutputGoesToItsLogCallbackAndSecretsAreNeverLogged) {
    Process_Log_Capture log;
    std::mutex mutex;
    std::vector<std::string> servant_lines;
    Servant_Task_Scheduler s("test.servant", 1024);
    auto prepare = [&](Servant& servant, const Object&) {
        servant.reset("starter", servant_config_template(), nullptr, nullptr, "vm-servant");
        servant.set_log_msg_callback([&](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            servant_lines.push_back(line);
        });
        return true;
    };
    Object control;
    control["login_info"] =
        Object{{"username", Value("admin")}, {"password", Value(secure_string(SECRET))}};
    Object say = task("log", Object{{"param", Value(control)}});
    say["lines"] = Array{Value("first line"), Value("second line")};
    ASSERT_TRUE(s.enqueue_task(say, "h", 0, "talks", nullptr));
    ASSERT_TRUE(s.enqueue_task(task("crash", Object{{"param", Value(control)}}), "h", 0, "crashes",
                               nullptr));
    ASSERT_TRUE(
        s.enqueue_task(task("echo", Object{{"param", Value(control)}}), "h", 0, "echoes", nullptr));
    ASSERT_TRUE(s.activate(3, prepare, replies_.callback()));
    s.wait();

    std::string all = log.text();
    for (const std::string& l : servant_lines)
        all += l + "\n";
    EXPECT_NE(std::string::npos, all.find("first line\nsecond line\n")) << all;
    EXPECT_EQ(std::string::npos, all.find(SECRET)) << all;
    EXPECT_EQ(std::string::npos, log.text().find("first line"))
        << "servant lines went to the host log";
}

TEST_F(Servant_Scheduler, GlobalMutexKeepsTasksOfOneIdApartAcrossSchedulers) {
    std::string dir = root_.file("markers");
    make_directories(dir, 0755);
    Servant_Task_Scheduler a("test.servant", 1024), b("test.servant", 1024);
    ASSERT_TRUE(a.enable_global_mutex());
    ASSERT_TRUE(b.enable_global_mutex());
    for (Servant_Task_Scheduler* s : {&a, &b}) {
        for (int round = 0; round < 2; ++round) {
            Object p = task("barrier");
            p["dir"] = dir;
            p["owner"] = "vm";
            p["expect"] = 1;
            ASSERT_TRUE(s->enqueue_task(p, s == &a ? "a" : "b", 0, "backup_vm", "vm/1"));
        }
    }
    ASSERT_TRUE(a.activate(2, init(), replies_.callback()));
    ASSERT_TRUE(b.activate(2, init(), replies_.callback()));
    a.wait();
    b.wait();
    auto results = replies_.results();
    ASSERT_EQ(4u, results.size());  // every lock was let go
    for (const Object& r : results)
        EXPECT_EQ(1, json_spirit::object_get_int_or_throw(r, "max_total"));
}

TEST_F(Servant_Scheduler, AProgramThatCannotStartFailsItsTask) {
    Process_Log_Capture log;
    Servant_Task_Scheduler s("test.servant", 1024);
    auto prepare = [](Servant& servant, const Object&) {
        servant.reset("no-such-starter", servant_config_template(), nullptr, nullptr, "x");
        return true;
    };
    ASSERT_TRUE(s.enqueue_task(task("echo"), "h", 0, "missing", nullptr));
    ASSERT_TRUE(s.activate(1, prepare, replies_.callback()));
    s.wait();
    EXPECT_TRUE(replies_.all().empty());
    EXPECT_NE(std::string::npos, log.text().find("Failed to start servant x")) << log.text();
}

TEST_F(Servant_Scheduler, SettingsOutOfRangeAndLateCallsAreRefused) {
    Servant_Task_Scheduler s("test.servant", 2);
    EXPECT_FALSE(s.enable_owner_limit(0));
    EXPECT_FALSE(s.enable_retry(-1, 0));
    EXPECT_FALSE(s.activate(0, init(), replies_.callback()));
    EXPECT_TRUE(s.enqueue_task(task("echo"), "h", 0, "a", nullptr));
    EXPECT_TRUE(s.enqueue_task(task("echo"), "h", 0, "b", nullptr));
    EXPECT_FALSE(s.enqueue_task(task("echo"), "h", 0, "c", nullptr));  // capacity
    EXPECT_FALSE(s.is_running());
    ASSERT_TRUE(s.activate(1, init(), replies_.callback()));
    EXPECT_FALSE(s.activate(1, init(), replies_.callback()));
    EXPECT_FALSE(s.enable_owner_limit(1));
    s.wait();
    EXPECT_FALSE(s.enqueue_task(task("echo"), "h", 0, "d", nullptr));  // dispatching has ended
    EXPECT_EQ(2u, replies_.results().size());
}

}  // namespace
