// Servants: the JSON-RPC objects and channels they talk over, the thread-pool
// handler base, and the task scheduler running real servant processes (the
// built starter with the test handler library).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ace/Process.h>
#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "host/servant/fd_io.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/servant/servant_test_support.h"
#include "support/temp_root.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

JSON_RPC_Object_Ptr parse(const std::string& text) {
    std::string why;
    JSON_RPC_Object_Ptr p = json_rpc_parse(text, &why);
    if (p.null())
        ADD_FAILURE() << text << ": " << why;
    return p;
}

const JSON_RPC_Response_Error& as_error(const JSON_RPC_Object_Ptr& p) {
    return *static_cast<const JSON_RPC_Response_Error*>(p.get());
}

const Value& result_of(const JSON_RPC_Object_Ptr& p) {
    return static_cast<const JSON_RPC_Response*>(p.get())->result;
}

TEST(JsonRpcObject, WireTextIsClassifiedByTypeAndDumpsReadBack) {
    const std::pair<const char*, JSON_RPC_Object::Type> rows[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"m","params":{"a":1}})",
         JSON_RPC_Object::TYPE_REQUEST},
        {R"({"jsonrpc":"2.0","method":"m"})", JSON_RPC_Object::TYPE_NOTIFY},
        // A null id is still a request (it is present).
        {R"({"jsonrpc":"2.0","id":null,"method":"m"})", JSON_RPC_Object::TYPE_REQUEST},
        {R"({"jsonrpc":"2.0","id":"x","result":[1]})", JSON_RPC_Object::TYPE_RESPONSE},
        {R"({"jsonrpc":"2.0","id":3,"error":{"code":-32603,"message":"Failed to initialize job."}})",
         JSON_RPC_Object::TYPE_RESPONSE_ERROR}};
    for (const auto& [text, type] : rows) {
        SCOPED_TRACE(text);
        const JSON_RPC_Object_Ptr p = parse(text);
        ASSERT_EQ(type, p->type());
        const JSON_RPC_Object_Ptr back = parse(json_rpc_text(*p));
        ASSERT_EQ(type, back->type());
        EXPECT_EQ(p->dump(), back->dump());
    }
    EXPECT_EQ(Value(json_spirit::Array{1}), result_of(parse(rows[3].first)));
    JSON_RPC_Request note("n", Value(), Value(1));
    note.set_notify(true);
    EXPECT_EQ(JSON_RPC_Object::TYPE_NOTIFY, parse(json_rpc_text(note))->type());
    const std::string text =
        json_rpc_text(JSON_RPC_Response_Error(-32602, Value("id-1"), "", Value()));
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find("\"data\""));
    EXPECT_EQ(Value("id-1"), parse(text)->id);
}

TEST(JsonRpcObject, MalformedObjectsAreRefused) {
    for (const char* text :
         {"[1]", "not json", R"({"id":1,"method":"m"})", R"({"jsonrpc":"1.0","id":1,"method":"m"})",
          R"({"jsonrpc":"2.0","id":1,"method":5})",
          R"({"jsonrpc":"2.0","id":1,"method":"m","params":3})",
          R"({"jsonrpc":"2.0","id":{},"method":"m"})",
          R"({"jsonrpc":"2.0","id":51e999,"method":"m"})", R"({"jsonrpc":"2.0","result":1})",
          R"({"jsonrpc":"2.0","id":1,"result":1,"error":{"code":1,"message":""}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":"x","message":""}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":1}})", R"({"jsonrpc":"2.0","id":1})"}) {
        std::string why;
        EXPECT_TRUE(json_rpc_parse(text, &why).null()) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}

TEST(JsonRpcChannel, StreamChannelSendsOneLinePerObjectAndOnlyOnceWhenAsked) {
    JSON_RPC_Request req("m", Value(), Value(5));
    JSON_RPC_Response r(req);
    r.result = Object{{"code", Value(0)}};
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    JSON_RPC_Stream_Channel once(sv[0], true);
    EXPECT_EQ(0, once.send(r));
    EXPECT_EQ(-1, once.send_error(-32603, req.id, "late", Value())) << "one answer only";
    EXPECT_EQ(1u, once.count());
    ::shutdown(sv[0], SHUT_WR);
    std::string line;
    ASSERT_EQ(1, fd_read_line(sv[1], line, 1 << 20, 5000));
    EXPECT_EQ(Value(5), parse(line)->id);
    EXPECT_EQ(0, fd_read_line(sv[1], line, 1 << 20, 5000));
    ::close(sv[1]);
    // A peer that is gone makes send fail, without a SIGPIPE.
    EXPECT_EQ(-1, JSON_RPC_Stream_Channel(sv[0], false).send(r));
    ::close(sv[0]);
}

// Read system calls of this process so far.
long read_calls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long n = -1;
    while (io >> key >> n)
        if (key == "syscr:")
            return n;
    return -1;
}

// Lines come whole and in order from pipes and sockets alike, a pipe in
// blocks rather than a call per byte, and a line past the bound fails.
TEST(FdLineReader, LinesKeepTheirBoundariesAndPipesAreReadInBlocks) {
    const std::string big(1 << 20, 'x');
    const std::string text = "a\n\nbb\n" + big + "\ntail";
    for (const bool socket : {false, true}) {
        SCOPED_TRACE(socket ? "socket" : "pipe");
        int fds[2];
        ASSERT_EQ(0, socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds)
                            : ::pipe2(fds, O_CLOEXEC));
        std::thread writer([&] {
            fd_write_all(fds[1], text.data(), text.size());
            ::close(fds[1]);
        });
        const long calls = read_calls();
        FD_Line_Reader reader(fds[0]);
        std::string line;
        for (const std::string& want :
             {std::string("a"), std::string(), std::string("bb"), big, std::string("tail")}) {
            ASSERT_EQ(1, reader.read_line(line, big.size(), 5000));
            EXPECT_EQ(line.size(), want.size());
            EXPECT_TRUE(line == want);
        }
        EXPECT_EQ(0, reader.read_line(line, big.size(), 5000));
        if (!socket) {
            EXPECT_LT(read_calls() - calls, 1000);
        }
        writer.join();
        ::close(fds[0]);
    }
    int p[2];
    ASSERT_EQ(0, ::pipe2(p, O_CLOEXEC));
    ASSERT_TRUE(fd_write_all(p[1], "12345\n", 6));
    std::string line;
    EXPECT_EQ(-1, fd_read_line(p[0], line, 4, 5000));
    EXPECT_EQ(EMSGSIZE, errno);
    ::close(p[0]);
    ::close(p[1]);
}

// Records which slot took each object ("!" when on the caller's thread);
// "block" requests wait for release().
class RecordingHandler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
    using JSON_RPC_Thread_Pool_Handler_Impl::JSON_RPC_Thread_Pool_Handler_Impl;
    ~RecordingHandler() override { close(); }

    int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override {
        note("request");
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return released_ || request.method != "block"; });
        lock.unlock();
        if (request.method == "unknown")
            return JSON_RPC_Thread_Pool_Handler_Impl::handle_request(channel, request);
        JSON_RPC_Response r(request);
        r.result = Value(request.method);
        return channel->send(r);
    }
    int handle_notify(JSON_RPC_Channel*, JSON_RPC_Request&) override { return note("notify"); }
    int handle_response(JSON_RPC_Channel*, JSON_RPC_Response&) override { return note("response"); }
    int handle_response_error(JSON_RPC_Channel*, JSON_RPC_Response_Error&) override {
        return note("error");
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    std::multiset<std::string> slots() {
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_;
    }
    // Sends text and waits until a pool thread has taken the first object.
    int take(const std::shared_ptr<JSON_RPC_Channel>& ch, const char* text, bool wait = false) {
        const int rc = handle_object(ch, parse(text));
        while (wait && slots().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return rc;
    }

private:
    int note(const std::string& slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.insert(slot + (std::this_thread::get_id() == caller_ ? "!" : ""));
        return 0;
    }
    const std::thread::id caller_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::multiset<std::string> slots_;
};

TEST(JsonRpcThreadPoolHandler, ObjectsGoToTheirSlotsOnPoolThreads) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    RecordingHandler h(2, 16);
    for (const char* text :
         {R"({"jsonrpc":"2.0","id":1,"method":"a"})", R"({"jsonrpc":"2.0","method":"n"})",
          R"({"jsonrpc":"2.0","id":2,"result":1})",
          R"({"jsonrpc":"2.0","id":3,"error":{"code":-1,"message":"x"}})",
          R"({"jsonrpc":"2.0","id":4,"method":"unknown"})"})
        EXPECT_EQ(0, h.take(ch, text));
    h.wait_idle();
    EXPECT_EQ((std::multiset<std::string>{"request", "request", "notify", "response", "error"}),
              h.slots());
    auto sent = ch->sent();
    ASSERT_EQ(2u, sent.size());
    if (sent[0]->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR)
        std::swap(sent[0], sent[1]);
    EXPECT_EQ(Value("a"), result_of(sent[0]));
    EXPECT_EQ(-32601, as_error(sent[1]).code);
    EXPECT_EQ(Value(4), sent[1]->id);
}

TEST(JsonRpcThreadPoolHandler, AGoneRequesterIsNotAnswered) {
    RecordingHandler h(1, 16);
    {
        auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
        ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":1,"method":"block"})", true));
        ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":2,"method":"a"})"));
    }  // the requester goes away while its second request waits
    h.release();
    h.wait_idle();
    EXPECT_EQ(1u, h.slots().size());
}

TEST(JsonRpcThreadPoolHandler, AFullQueueAnswersBusyAndCloseDrainsTheQueue) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    RecordingHandler h(1, 1);
    // The pool thread takes the first; the next one fills the queue.
    ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":1,"method":"block"})", true));
    ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":2,"method":"queued"})"));
    EXPECT_EQ(-1, h.take(ch, R"({"jsonrpc":"2.0","id":3,"method":"refused"})"));
    ASSERT_EQ(1u, ch->count());
    EXPECT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, ch->sent()[0]->type());
    EXPECT_EQ(Value(3), ch->sent()[0]->id);
    std::thread closer([&] { h.close(); });
    h.release();
    closer.join();
    EXPECT_EQ(3u, ch->count());  // both queued requests were answered before close returned
    EXPECT_EQ(-1, h.take(ch, R"({"jsonrpc":"2.0","method":"late"})"));
}

const char* const SECRET = "S3cr3t-Pa55";

class ServantScheduler : public ::testing::Test {
protected:
    void SetUp() override {
        install_starter();
        write_servant_config(Object{{"test.servant", Value("Test_Servant_Handler")}});
    }

    // Prepares each servant as the executors do (the program a task names, the
    // starter by default); counts the starts.
    Servant_Task_Scheduler::Init_Callback init() {
        return [this](Servant& servant, const Object& params) {
            ++starts_;
            const auto program = params.find("program");
            servant.reset(program == params.end() ? "starter" : program->second.get_str().c_str(),
                          servant_config_template(), nullptr, nullptr, "servant");
            return true;
        };
    }

    // Records every reply; a response's result is its "code" (1 without one).
    Servant_Task_Scheduler::Result_Callback result() {
        return [this](const JSON_RPC_Object_Ptr& reply) {
            std::lock_guard<std::mutex> lock(mutex_);
            replies_.push_back(reply);
            int code = 1;
            if (reply->type() == JSON_RPC_Object::TYPE_RESPONSE) {
                const Value& r = result_of(reply);
                if (r.type() == json_spirit::obj_type)
                    json_spirit::object_get(r.get_obj(), "code", code);
            }
            return code;
        };
    }

    // Queues a task doing action, as name.
    void add(const std::string& name, const std::string& action, Object p = Object(),
             const std::string& owner = "h", const char* id = nullptr,
             Servant_Task_Scheduler* s = nullptr) {
        p["action"] = action;
        ASSERT_TRUE((s ? s : &s_)->enqueue_task(p, owner, 0, name, id));
    }

    // Runs what is queued with at most parallelism servants and waits.
    void run(int parallelism, const Servant_Task_Scheduler::Init_Callback& prepare = nullptr,
             Servant_Task_Scheduler* s = nullptr) {
        s = s ? s : &s_;
        ASSERT_TRUE(s->activate(parallelism, prepare ? prepare : init(), result()));
        EXPECT_TRUE(s->wait());
        EXPECT_FALSE(s->is_running());
    }

    // Lines in the file name under the root (one per attempt of a task).
    long lines_in(const std::string& name) {
        std::ifstream in(root_.file(name));
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    }

    std::vector<JSON_RPC_Object_Ptr> replies() {
        std::lock_guard<std::mutex> lock(mutex_);
        return replies_;
    }
    // Result objects of the responses.
    std::vector<Object> results() {
        std::vector<Object> out;
        for (const auto& r : replies())
            if (r->type() == JSON_RPC_Object::TYPE_RESPONSE)
                out.push_back(result_of(r).get_obj());
        return out;
    }

    Temp_Root root_;
    Servant_Task_Scheduler s_{"test.servant", 1024};
    std::atomic<int> starts_{0};
    std::mutex mutex_;
    std::vector<JSON_RPC_Object_Ptr> replies_;
};

// Tasks of every outcome in one run: replies reach the result callback as
// the servants sent them, a result of 2 runs the task again up to the retry
// count, and servants that fail, end without a reply or do not start are not
// retried.
TEST_F(ServantScheduler, EachOutcomeReachesTheResultCallbackAndOnlyATwoIsRetried) {
    Process_Log_Capture log;
    ASSERT_TRUE(s_.enable_retry(2, 0));
    const Object login{{"password", Value(secure_string(SECRET))}};
    for (int i = 0; i < 3; ++i)
        add("task_" + std::to_string(i), "echo",
            Object{{"n", Value(i)}, {"login_info", Value(login)}});
    add("bad_params", "error", Object{{"error_code", Value(-32602)}});
    add("bad_job", "error",
        Object{{"error_code", Value(-32603)}, {"message", Value("Failed to initialize job.")}});
    for (const auto& [name, codes] : std::vector<std::pair<std::string, Array>>{
             {"always", {2}}, {"second", {2, 0}}, {"failed", {1}}})
        add(name, "attempts", Object{{"file", Value(root_.file(name))}, {"codes", Value(codes)}});
    add("crashes", "crash");
    add("exits", "exit", Object{{"status", Value(0)}});
    add("says_nothing", "silent");
    add("missing", "echo", Object{{"program", Value("no-such-starter")}});
    run(4);
    std::set<int> seen;
    std::vector<std::pair<int, std::string>> errors;
    for (const auto& reply : replies()) {
        if (reply->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
            errors.emplace_back(as_error(reply).code, as_error(reply).message);
            continue;
        }
        const Object& r = result_of(reply).get_obj();
        if (r.count("params") == 0)
            continue;
        const Object& params = r.at("params").get_obj();
        seen.insert(params.at("n").get_int());
        // The scheduler's name is the method; the credential arrived intact and
        // is kept in a wiping string on the servant's side.
        EXPECT_EQ("test.servant", r.at("method").get_str());
        EXPECT_EQ(SECRET, params.at("login_info").get_obj().at("password").get_str());
        EXPECT_EQ(1, r.at("secure_secrets").get_int());
    }
    EXPECT_EQ((std::set<int>{0, 1, 2}), seen);
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{-32603, "Failed to initialize job."},
                                                        {-32602, ""}}),
              errors);
    EXPECT_EQ(3, lines_in("always"));  // the first run and two retries
    EXPECT_EQ(2, lines_in("second"));
    EXPECT_EQ(1, lines_in("failed"));
    EXPECT_EQ(3 + 2 + 6 + 4, starts_.load());  // each run is a servant start of its own
    EXPECT_EQ(3 + 2 + 6u, replies().size());
    const std::string text = log.text();
    for (const char* t : {"crashes", "exits", "says_nothing"})
        EXPECT_NE(std::string::npos,
                  text.find(std::string("of task ") + t + " ended without a reply"))
            << text;
    EXPECT_NE(std::string::npos, text.find("signal 6")) << text;
    EXPECT_NE(std::string::npos, text.find("Failed to start servant servant")) << text;
}

TEST_F(ServantScheduler, GlobalMutexKeepsTasksOfOneIdApartAcrossSchedulers) {
    const std::string dir = root_.file("markers");
    make_directories(dir, 0755);
    Servant_Task_Scheduler b("test.servant", 1024);
    for (Servant_Task_Scheduler* s : {&s_, &b}) {
        ASSERT_TRUE(s->enable_global_mutex());
        for (int round = 0; round < 2; ++round)
            add("backup_vm", "barrier", Object{{"dir", Value(dir)}, {"expect", Value(1)}},
                s == &b ? "b" : "a", "vm/1", s);
    }
    ASSERT_TRUE(b.activate(2, init(), result()));
    run(2);
    b.wait();
    ASSERT_EQ(4u, results().size());  // every lock was let go
    for (const Object& r : results())
        EXPECT_EQ(1, r.at("max_total").get_int());
}

TEST_F(ServantScheduler, AStopEndsDispatchingAndRunningServantsGetTheirGrace) {
    Process_Log_Capture log;
    const std::string started = root_.file("started"), release = root_.file("release");
    auto stop = [&] { return ::access(started.c_str(), F_OK) == 0; };
    // Within its grace the running servant finishes; the waiting tasks never start.
    ASSERT_TRUE(s_.register_stop_callback(stop));
    for (int i = 0; i < 3; ++i)
        add("t" + std::to_string(i), "block",
            Object{{"started", Value(started)}, {"release", Value(release)}});
    ASSERT_TRUE(s_.activate(1, init(), result()));
    while (!stop())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ofstream(release).put('x');
    EXPECT_TRUE(s_.wait());
    EXPECT_EQ(1, starts_.load());
    EXPECT_EQ(1u, results().size());

    // Past its grace a servant is terminated, as is one that does not exit
    // after its reply.
    ::unlink(started.c_str());
    Servant_Task_Scheduler s("test.servant", 1024);
    s.set_stop_grace(0);
    s.set_exit_grace(0);
    ASSERT_TRUE(s.register_stop_callback(stop));
    const Object blocked{{"started", Value(started)}, {"release", Value(root_.file("never"))}};
    add("hangs", "hang", Object(), "h", nullptr, &s);
    add("blocked", "block", blocked, "h", nullptr, &s);
    add("never_started", "block", blocked, "h", nullptr, &s);
    run(1, nullptr, &s);
    EXPECT_EQ(3, starts_.load());
    EXPECT_EQ(2u, results().size());
    EXPECT_NE(std::string::npos,
              log.text().find("of task blocked ended without a reply (signal 15)"))
        << log.text();
}

// CPU seconds (user and system) this process has used, all threads.
double process_cpu_s() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A servant that lingers with its output closed, after its reply or after
// shutting its channel without one, is waited for without burning a core:
// its reply reaches the result callback, and past the exit grace it is
// killed.
TEST_F(ServantScheduler, ALingeringServantIsWaitedForWithoutSpinning) {
    // Of the time spent waiting, the most this process may spend on the CPU.
    const double MOST_CPU_SHARE = 0.2;
    struct Case {
        const char* task;
        bool reply;
        double linger_s;
        int exit_grace_s;
        double least_wait_s;  // the servant's life as the scheduler must see it
        double most_wait_s;   // ... and the latest it must have ended
        const char* log;      // expected in the scheduler's log, if anything
    };
    const Case cases[] = {
        {"replied", true, 1.5, 30, 1.5, 6.5, nullptr},
        {"shut", false, 60, 1, 1, 6, "of task shut ended without a reply (signal 9)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.task);
        Process_Log_Capture log;
        Servant_Task_Scheduler s("test.servant", 1);
        s.set_exit_grace(c.exit_grace_s);
        add(c.task, "linger", Object{{"reply", Value(c.reply)}, {"seconds", Value(c.linger_s)}},
            "h", nullptr, &s);
        const size_t replies_before = replies().size();
        const double cpu_before = process_cpu_s();
        const auto start = std::chrono::steady_clock::now();
        run(1, nullptr, &s);
        const double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = process_cpu_s() - cpu_before;
        EXPECT_EQ(c.reply ? 1u : 0u, replies().size() - replies_before);
        EXPECT_GE(waited, c.least_wait_s);
        EXPECT_LT(waited, c.most_wait_s) << "killed late, or not at all";
        EXPECT_LT(cpu, MOST_CPU_SHARE * waited) << cpu << " s of CPU in " << waited << " s";
        if (c.log != nullptr) {
            EXPECT_NE(std::string::npos, log.text().find(c.log)) << log.text();
        }
    }
}

TEST_F(ServantScheduler, InitCallbackPreparesTheProcessWhichInheritsOnlyItsOwnDescriptors) {
    ::setenv("LD_LIBRARY_PATH", "/inherited/lib", 1);
    const std::string leak_path = root_.file("leak");
    const int leak = ::open(leak_path.c_str(), O_WRONLY | O_CREAT, 0600);  // no O_CLOEXEC
    ASSERT_GE(leak, 0);
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
    add("refused", "echo", Object{{"refuse", Value(true)}});
    add("env", "env",
        Object{{"vars",
                Value(Array{Value("LD_LIBRARY_PATH"), Value("ZBS_TIMEOUT"), Value("HOST_ROOT")})}});
    run(1, prepare);
    ::unsetenv("LD_LIBRARY_PATH");
    ::close(leak);
    const auto res = results();
    ASSERT_EQ(1u, res.size());  // the refused task never ran
    EXPECT_EQ(2, starts_.load());
    EXPECT_EQ((Object{{"LD_LIBRARY_PATH", Value("/opt/velmora/tarnvik3/zbs/5.5.1:/inherited/lib")},
                      {"ZBS_TIMEOUT", Value("3000")},
                      {"HOST_ROOT", Value(root_.path())}}),
              res[0].at("env").get_obj());
    EXPECT_EQ(root_.path(), res[0].at("cwd").get_str());
    const Array& argv = res[0].at("argv").get_array();
    ASSERT_GE(argv.size(), 7u);
    EXPECT_EQ((Array{Value("--config"), Value(servant_config_template()), Value("--name"),
                     Value("Smartx_Backup_VM_Servant"), Value("--channel"), Value("3")}),
              Array(argv.begin() + 1, argv.begin() + 7));
    std::set<int> fds;
    for (const Value& v : res[0].at("fds").get_array())
        fds.insert(v.get_int());
    EXPECT_EQ((std::set<int>{0, 1, 2, 3}), fds);
}

TEST_F(ServantScheduler, ServantOutputGoesToItsLogCallbackAndSecretsAreNeverLogged) {
    Process_Log_Capture log;
    std::mutex mutex;
    std::string servant_lines;
    auto prepare = [&](Servant& servant, const Object&) {
        servant.reset("starter", servant_config_template(), nullptr, nullptr, "vm-servant");
        servant.set_log_msg_callback([&](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            servant_lines += line + "\n";
        });
        return true;
    };
    const Object control{{"login_info", Value(Object{{"username", Value("admin")},
                                                     {"password", Value(secure_string(SECRET))}})}};
    add("talks", "log",
        Object{{"param", Value(control)},
               {"lines", Value(Array{Value("first line"), Value("second line")})}});
    add("crashes", "crash", Object{{"param", Value(control)}});
    add("echoes", "echo", Object{{"param", Value(control)}});
    run(3, prepare);
    const std::string all = log.text() + servant_lines;
    EXPECT_NE(std::string::npos, all.find("first line\nsecond line\n")) << all;
    EXPECT_EQ(std::string::npos, all.find(SECRET)) << all;
    EXPECT_EQ(std::string::npos, log.text().find("first line"))
        << "servant lines went to the host log";
}

TEST_F(ServantScheduler, SettingsOutOfRangeAndLateCallsAreRefused) {
    Servant_Task_Scheduler s("test.servant", 2);
    EXPECT_FALSE(s.enable_owner_limit(0));
    EXPECT_FALSE(s.enable_retry(-1, 0));
    EXPECT_FALSE(s.activate(0, init(), result()));
    add("a", "echo", Object(), "h", nullptr, &s);
    add("b", "attempts",
        Object{{"file", Value(root_.file("b"))}, {"codes", Value(Array{Value(2)})}}, "h", nullptr,
        &s);
    EXPECT_FALSE(s.enqueue_task(Object{{"action", Value("echo")}}, "h", 0, "c", nullptr))
        << "capacity";
    EXPECT_FALSE(s.is_running());
    ASSERT_TRUE(s.activate(1, init(), result()));
    EXPECT_FALSE(s.activate(1, init(), result()));
    EXPECT_FALSE(s.enable_owner_limit(1));
    s.wait();
    EXPECT_FALSE(s.enqueue_task(Object{{"action", Value("echo")}}, "h", 0, "d", nullptr))
        << "dispatching has ended";
    EXPECT_EQ(2u, results().size());
    EXPECT_EQ(1, lines_in("b")) << "without retries a 2 is final";
}

}  // namespace
