#include "host/servant/servant_task_scheduler.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <ace/Log_Msg.h>

#include "host/paths.h"
#include "host/secure_memory.h"
#include "host/servant/fd_io.h"
#include "host/servant/servant.h"

namespace {

typedef std::chrono::steady_clock Clock;

const int POLL_MS = 200;
const int KILL_AFTER_TERM_S = 10;
const size_t MAX_REPLY = 64u << 20;
const size_t MAX_LOG_LINE = 8192;
const int CHANNEL_FD = 3;

// A descriptor moved to 10 or above, close-on-exec: the child's 0-3 are
// set up by dup2, which must not clobber a source that happens to be low.
int high_fd(int fd) {
    if (fd < 0 || fd >= 10)
        return fd;
    int h = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return h;
}

void close_fd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// File name part: letters, digits, '.', '_' and '-' kept, the rest %XX.
std::string file_part(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    if (out.empty() || out[0] == '.')
        out.insert(0, "_");
    if (out.size() > 120) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "-%016zx", std::hash<std::string>()(s));
        out = out.substr(0, 100) + buf;
    }
    return out;
}

std::string exit_text(int status) {
    char buf[64];
    if (WIFEXITED(status))
        std::snprintf(buf, sizeof buf, "exit status %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        std::snprintf(buf, sizeof buf, "signal %d", WTERMSIG(status));
    else
        std::snprintf(buf, sizeof buf, "status %d", status);
    return buf;
}

struct Task {
    json_spirit::Object params;
    std::string owner;
    std::string name;
    std::string id;   // empty: none
    int retries = 0;  // runs after the first
    Clock::time_point not_before;
};

// A started servant and what the exchange with it needs.
struct Child {
    pid_t pid = -1;
    int channel = -1;
    int log = -1;
    int lock = -1;  // global mutex, -1 when not taken
    std::string servant_name;
    Log_Msg_Callback log_callback;
};

struct Runner {
    std::thread thread;
    bool done = false;
};

enum Lock_Result { LOCK_TAKEN, LOCK_BUSY, LOCK_FAILED };

}  // namespace

struct Servant_Task_Scheduler::Impl {
    Impl(const std::string& n, size_t c) : name(n), capacity(c ? c : 1) {}

    const std::string name;
    const size_t capacity;

    // Set before activation.
    Stop_Callback stop_callback;
    int owner_limit = 0;
    int retry_count = 0;
    int retry_interval = 0;
    std::string lock_dir;  // global mutex on when not empty
    Init_Callback init_callback;
    Result_Callback result_callback;
    int parallelism = 0;
    std::atomic<int> stop_grace{300};
    std::atomic<int> exit_grace{30};

    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> queue;
    std::map<std::string, int> owner_running;
    int running = 0;
    bool activated = false;
    bool dispatch_ended = false;
    std::atomic<bool> shutting_down{false};
    std::atomic<bool> stopping{false};
    std::atomic<long long> stop_at_ms{0};  // steady clock, when stopping began
    std::thread dispatcher;
    std::list<Runner> runners;
    std::mutex join_mutex;
    std::atomic<long> next_request_id{1};

    static long long now_ms() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   Clock::now().time_since_epoch())
            .count();
    }

    void begin_stop() {
        if (stopping.exchange(true))
            return;
        stop_at_ms = now_ms();
    }

    Lock_Result try_lock(const Task& t, int& fd) {
        fd = -1;
        if (lock_dir.empty())
            return LOCK_TAKEN;
        std::string path = lock_dir + "/" + file_part(name) + "@" +
                           file_part(t.id.empty() ? t.name : t.id) + ".lock";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
        if (fd < 0) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open the lock of servant task %C: %m.\n"),
                       t.name.c_str()));
            return LOCK_FAILED;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return LOCK_TAKEN;
        int err = errno;
        close_fd(fd);
        if (err == EWOULDBLOCK)
            return LOCK_BUSY;
        errno = err;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to lock servant task %C: %m.\n"), t.name.c_str()));
        return LOCK_FAILED;
    }

    void dispatch();
    bool start(Task& task, Child& child);
    void run(Task task, Child child, std::list<Runner>::iterator self);
    int exchange(const Task& task, Child& child, JSON_RPC_Object_Ptr& reply);
    void finish(Task& task, Child& child, int code);
    void join_runners(bool all);
};

void Servant_Task_Scheduler::Impl::join_runners(bool all) {
    std::list<Runner> finished;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = runners.begin(); it != runners.end();) {
            auto next = std::next(it);
            if (all || it->done)
                finished.splice(finished.end(), runners, it);
            it = next;
        }
    }
    for (Runner& r : finished) {
        if (r.thread.joinable())
            r.thread.join();
    }
}

void Servant_Task_Scheduler::Impl::dispatch() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        lock.unlock();
        join_runners(false);
        bool stop = stopping;
        if (!stop && stop_callback && stop_callback()) {
            begin_stop();
            stop = true;
        }
        lock.lock();
        if (stop || shutting_down) {
            if (!queue.empty()) {
                ACE_DEBUG((LM_INFO,
                           ACE_TEXT("Scheduler %C stopped, %d waiting tasks are not run.\n"),
                           name.c_str(), static_cast<int>(queue.size())));
                queue.clear();
            }
            break;
        }
        if (queue.empty() && running == 0)
            break;

        bool started = false;
        if (running < parallelism) {
            Clock::time_point now = Clock::now();
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if (it->not_before > now)
                    continue;
                if (owner_limit > 0 && owner_running[it->owner] >= owner_limit)
                    continue;
                int lock_fd = -1;
                Lock_Result locked = try_lock(*it, lock_fd);
                if (locked == LOCK_BUSY)
                    continue;
                Task task = std::move(*it);
                queue.erase(it);
                ++running;
                ++owner_running[task.owner];
                lock.unlock();
                Child child;
                child.lock = lock_fd;
                bool ok = locked == LOCK_TAKEN && start(task, child);
                lock.lock();
                if (ok) {
                    runners.emplace_back();
                    auto self = std::prev(runners.end());
                    self->thread =
                        std::thread(&Impl::run, this, std::move(task), std::move(child), self);
                } else {
                    lock.unlock();
                    finish(task, child, RESULT_FAILED);
                    lock.lock();
                }
                started = true;
                break;
            }
        }
        if (!started)
            cv.wait_for(lock, std::chrono::milliseconds(POLL_MS));
    }
    dispatch_ended = true;
    cv.notify_all();
}

// Prepares the servant and starts its process; false (logged) when it does
// not run.
bool Servant_Task_Scheduler::Impl::start(Task& task, Child& child) {
    Servant servant;
    if (init_callback) {
        bool ok = false;
        try {
            ok = init_callback(servant, task.params);
        } catch (const std::exception& e) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Servant initialisation of task %C threw: %C.\n"),
                       task.name.c_str(), e.what()));
        }
        if (!ok) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Servant of task %C was not started: its initialisation failed.\n"),
                       task.name.c_str()));
            return false;
        }
        if (servant.program().empty()) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Servant of task %C was not started: no program.\n"),
                       task.name.c_str()));
            return false;
        }
    } else {
        servant.reset("starter", "", nullptr, nullptr, task.name.c_str());
    }
    child.servant_name = servant.name().empty() ? task.name : servant.name();
    child.log_callback = servant.log_msg_callback();

    const std::string exe = servant.executable();
    std::vector<std::string> args = {exe,
                                     "--config",
                                     servant.configuration(),
                                     "--name",
                                     child.servant_name,
                                     "--channel",
                                     std::to_string(CHANNEL_FD)};
    args.insert(args.end(), servant.extra_args().begin(), servant.extra_args().end());
    std::vector<std::string> env = servant.environment();
    std::vector<char*> argv, envp;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    int sv[2] = {-1, -1}, lp[2] = {-1, -1};
    int null_fd = -1;
    const char* failed = nullptr;  // the step that failed
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    do {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0 ||
            ::pipe2(lp, O_CLOEXEC) != 0) {
            failed = "channels";
            break;
        }
        null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        sv[0] = high_fd(sv[0]);
        sv[1] = high_fd(sv[1]);
        lp[0] = high_fd(lp[0]);
        lp[1] = high_fd(lp[1]);
        null_fd = high_fd(null_fd);
        if (sv[0] < 0 || sv[1] < 0 || lp[0] < 0 || lp[1] < 0 || null_fd < 0) {
            failed = "descriptors";
            break;
        }
        // dup2 clears close-on-exec on the targets; everything else is closed.
        int rc = posix_spawn_file_actions_adddup2(&fa, null_fd, 0);
        if (!rc)
            rc = posix_spawn_file_actions_adddup2(&fa, lp[1], 1);
        if (!rc)
            rc = posix_spawn_file_actions_adddup2(&fa, lp[1], 2);
        if (!rc)
            rc = posix_spawn_file_actions_adddup2(&fa, sv[1], CHANNEL_FD);
        if (!rc)
            rc = posix_spawn_file_actions_addclosefrom_np(&fa, CHANNEL_FD + 1);
        if (!rc && !servant.working_directory().empty())
            rc = posix_spawn_file_actions_addchdir_np(&fa, servant.working_directory().c_str());
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        if (!rc)
            rc = posix_spawnattr_setsigmask(&attr, &none);
        if (!rc)
            rc = posix_spawnattr_setsigdefault(&attr, &all);
        if (!rc)
            rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (rc) {
            errno = rc;
            failed = "spawn settings";
            break;
        }
        rc = posix_spawn(&child.pid, exe.c_str(), &fa, &attr, argv.data(), envp.data());
        if (rc != 0) {
            errno = rc;
            child.pid = -1;
            failed = "process";
        }
    } while (false);
    int saved = errno;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close_fd(sv[1]);
    close_fd(lp[1]);
    close_fd(null_fd);
    if (failed) {
        errno = saved;
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to start servant %C (%C) of task %C, %C: %m.\n"),
                   child.servant_name.c_str(), exe.c_str(), task.name.c_str(), failed));
        close_fd(sv[0]);
        close_fd(lp[0]);
        return false;
    }
    child.channel = sv[0];
    child.log = lp[0];
    ::fcntl(child.channel, F_SETFL, ::fcntl(child.channel, F_GETFL) | O_NONBLOCK);
    ::fcntl(child.log, F_SETFL, ::fcntl(child.log, F_GETFL) | O_NONBLOCK);
    return true;
}

void Servant_Task_Scheduler::Impl::run(Task task, Child child, std::list<Runner>::iterator self) {
    JSON_RPC_Object_Ptr reply;
    int code = exchange(task, child, reply);
    if (!reply.null()) {
        if (result_callback) {
            try {
                code = result_callback(reply);
            } catch (const std::exception& e) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Result callback of servant task %C threw: %C.\n"),
                           task.name.c_str(), e.what()));
                code = RESULT_FAILED;
            }
        } else if (reply->type() == JSON_RPC_Object::TYPE_RESPONSE) {
            const json_spirit::Value& r = static_cast<JSON_RPC_Response*>(reply.get())->result;
            code = RESULT_SUCCESS;
            if (r.type() == json_spirit::obj_type)
                json_spirit::object_get(r.get_obj(), "code", code);
        } else {
            code = RESULT_FAILED;
        }
    }
    reply = JSON_RPC_Object_Ptr();
    finish(task, child, code);
    std::lock_guard<std::mutex> lock(mutex);
    self->done = true;
}

// Releases the task's slot; a result of 2 queues it again while retries
// are left and the scheduler is not stopping.
void Servant_Task_Scheduler::Impl::finish(Task& task, Child& child, int code) {
    close_fd(child.lock);
    std::lock_guard<std::mutex> lock(mutex);
    // Before a retry moves the task (and its owner) back into the queue.
    --running;
    if (--owner_running[task.owner] <= 0)
        owner_running.erase(task.owner);
    if (code == RESULT_RETRY && task.retries < retry_count && !stopping && !shutting_down) {
        ++task.retries;
        task.not_before = Clock::now() + std::chrono::seconds(retry_interval);
        ACE_DEBUG((LM_INFO, ACE_TEXT("Servant task %C will be retried (%d/%d) in %d seconds.\n"),
                   task.name.c_str(), task.retries, retry_count, retry_interval));
        queue.push_back(std::move(task));
    } else if (code != RESULT_SUCCESS) {
        ACE_DEBUG((LM_DEBUG, ACE_TEXT("Servant task %C failed with code %d.\n"), task.name.c_str(),
                   code));
    }
    cv.notify_all();
}

namespace {

// Hands complete lines of a servant's output to its log callback.
class Log_Lines {
public:
    explicit Log_Lines(const Child& c) : child_(c) {}
    ~Log_Lines() { flush(); }

    void add(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (p[i] == '\n') {
                emit();
            } else {
                buf_ += p[i];
                if (buf_.size() >= MAX_LOG_LINE)
                    emit();
            }
        }
    }
    void flush() {
        if (!buf_.empty())
            emit();
    }

private:
    void emit() {
        if (child_.log_callback) {
            try {
                child_.log_callback(buf_);
            } catch (...) {
            }
        } else {
            ACE_DEBUG((LM_INFO, ACE_TEXT("[%C] %C\n"), child_.servant_name.c_str(), buf_.c_str()));
        }
        buf_.clear();
    }

    const Child& child_;
    std::string buf_;
};

// Reads what a non-blocking descriptor holds; false at its end or on error.
template <class Sink>
bool drain(int fd, Sink sink) {
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            sink(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false;
    }
}

}  // namespace

// Sends the request, reads the one reply and reaps the process. Sets the
// reply when one arrived; returns the result of a task without one (1).
int Servant_Task_Scheduler::Impl::exchange(const Task& task, Child& child,
                                           JSON_RPC_Object_Ptr& reply) {
    const long request_id = next_request_id++;
    std::string out =
        json_rpc_text(JSON_RPC_Request(name, task.params, json_spirit::Value(request_id)));
    size_t sent = 0;
    bool send_failed = out.empty();
    if (send_failed)
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write the request of servant task %C.\n"),
                   task.name.c_str()));

    std::string in;
    bool reply_done = false, channel_open = true, log_open = true, exited = false;
    int status = 0;
    long long kill_at = -1;  // when to escalate, ms
    int kill_signal = 0;
    Log_Lines lines(child);

    for (;;) {
        pollfd p[2];
        nfds_t n = 0;
        int chan_idx = -1, log_idx = -1;
        bool want_write = !send_failed && sent < out.size();
        if (channel_open && (want_write || !reply_done)) {
            chan_idx = static_cast<int>(n);
            p[n++] = pollfd{child.channel,
                            static_cast<short>(want_write ? POLLOUT | POLLIN : POLLIN), 0};
        }
        if (log_open) {
            log_idx = static_cast<int>(n);
            p[n++] = pollfd{child.log, POLLIN, 0};
        }
        if (n > 0 && ::poll(p, n, exited ? 0 : POLL_MS) < 0 && errno != EINTR)
            break;

        if (chan_idx >= 0 && p[chan_idx].revents) {
            if (want_write && (p[chan_idx].revents & (POLLOUT | POLLERR | POLLHUP))) {
                ssize_t w =
                    ::send(child.channel, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                if (w > 0) {
                    sent += static_cast<size_t>(w);
                    if (sent == out.size())
                        ::shutdown(child.channel, SHUT_WR);
                } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    send_failed = true;
                }
            }
            if (!reply_done && (p[chan_idx].revents & (POLLIN | POLLHUP | POLLERR))) {
                bool open = drain(child.channel, [&](const char* b, size_t len) {
                    if (!reply_done)
                        in.append(b, len);
                });
                size_t nl = in.find('\n');
                if (nl != std::string::npos) {
                    in.resize(nl);
                    reply_done = true;
                } else if (in.size() > MAX_REPLY) {
                    ACE_ERROR(
                        (LM_ERROR,
                         ACE_TEXT("Servant %C of task %C sent a reply of more than %Q bytes.\n"),
                         child.servant_name.c_str(), task.name.c_str(),
                         static_cast<ACE_UINT64>(MAX_REPLY)));
                    in.clear();
                    channel_open = false;
                }
                if (!open)
                    channel_open = false;
            }
        }
        if (log_idx >= 0 && p[log_idx].revents) {
            if (!drain(child.log, [&](const char* b, size_t len) { lines.add(b, len); }))
                log_open = false;
        }

        if (!exited) {
            pid_t r = ::waitpid(child.pid, &status, WNOHANG);
            if (r == child.pid || (r < 0 && errno == ECHILD)) {
                exited = true;
                if (r < 0)
                    status = 0;
                // What it wrote before it ended is still in the pipes.
                if (channel_open && !reply_done) {
                    drain(child.channel, [&](const char* b, size_t len) { in.append(b, len); });
                    size_t nl = in.find('\n');
                    if (nl != std::string::npos)
                        in.resize(nl);
                    reply_done = nl != std::string::npos || !in.empty();
                }
                if (log_open)
                    drain(child.log, [&](const char* b, size_t len) { lines.add(b, len); });
                break;
            }
        }

        // Escalation: a servant that replied (or closed its channel) gets the
        // exit grace; a stop gives running servants the stop grace.
        long long now = now_ms();
        if (kill_at < 0) {
            if (reply_done || !channel_open || send_failed) {
                kill_at = now + 1000LL * exit_grace;
                kill_signal = SIGKILL;
            } else if (stopping) {
                kill_at = stop_at_ms + 1000LL * (shutting_down ? 0 : stop_grace.load());
                kill_signal = SIGTERM;
            }
        }
        if (kill_at >= 0 && now >= kill_at) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Servant %C of task %C did not end in time; sending signal %d.\n"),
                       child.servant_name.c_str(), task.name.c_str(), kill_signal));
            ::kill(child.pid, kill_signal);
            kill_at = now + 1000LL * KILL_AFTER_TERM_S;
            kill_signal = SIGKILL;
        }
    }
    if (!exited) {
        // poll failed: do not leave the process behind.
        ::kill(child.pid, SIGKILL);
        while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    lines.flush();
    if (!out.empty())
        secure_memset(&out[0], 0, out.size());  // the params carry secrets
    close_fd(child.channel);
    close_fd(child.log);

    if (!reply_done || in.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C of task %C ended without a reply (%C).\n"),
                   child.servant_name.c_str(), task.name.c_str(), exit_text(status).c_str()));
        return RESULT_FAILED;
    }
    std::string why;
    JSON_RPC_Object_Ptr obj = json_rpc_parse(in, &why);
    secure_memset(&in[0], 0, in.size());
    bool answer = !obj.null() && (obj->type() == JSON_RPC_Object::TYPE_RESPONSE ||
                                  obj->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR);
    if (!answer) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C of task %C sent no JSON-RPC answer: %C.\n"),
                   child.servant_name.c_str(), task.name.c_str(),
                   obj.null() ? why.c_str() : "not a response"));
        return RESULT_FAILED;
    }
    // An error may lack the id when the servant could not read the request.
    bool id_ok = obj->id == json_spirit::Value(request_id) ||
                 (obj->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR && obj->id.is_null());
    if (!id_ok) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C of task %C answered another request.\n"),
                   child.servant_name.c_str(), task.name.c_str()));
        return RESULT_FAILED;
    }
    reply = obj;
    return RESULT_FAILED;
}

Servant_Task_Scheduler::Servant_Task_Scheduler(const std::string& name, size_t capacity)
    : impl_(new Impl(name, capacity)) {}

Servant_Task_Scheduler::~Servant_Task_Scheduler() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->shutting_down = true;
        impl_->begin_stop();
        impl_->cv.notify_all();
    }
    wait();
}

bool Servant_Task_Scheduler::register_stop_callback(const Stop_Callback& callback) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->activated)
        return false;
    impl_->stop_callback = callback;
    return true;
}

bool Servant_Task_Scheduler::enable_owner_limit(int limit) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->activated || limit < 1)
        return false;
    impl_->owner_limit = limit;
    return true;
}

bool Servant_Task_Scheduler::enable_retry(int count, int interval_seconds) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->activated || count < 0 || interval_seconds < 0)
        return false;
    impl_->retry_count = count;
    impl_->retry_interval = interval_seconds;
    return true;
}

bool Servant_Task_Scheduler::enable_global_mutex() {
    std::string dir = host_path("/var/opt/velmora/tarnvik3/$COMPONENT/servant/lock");
    if (make_directories(dir, 0750) != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to make the servant lock directory %C: %m.\n"),
                   dir.c_str()));
        return false;
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->activated)
        return false;
    impl_->lock_dir = dir;
    return true;
}

bool Servant_Task_Scheduler::enqueue_task(const json_spirit::Object& params,
                                          const std::string& owner, int, const std::string& name,
                                          const char* id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->dispatch_ended || impl_->stopping || impl_->queue.size() >= impl_->capacity)
        return false;
    Task t;
    t.params = params;
    t.owner = owner;
    t.name = name;
    t.id = id ? id : "";
    impl_->queue.push_back(std::move(t));
    impl_->cv.notify_all();
    return true;
}

bool Servant_Task_Scheduler::activate(int parallelism, const Init_Callback& init,
                                      const Result_Callback& result) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->activated || parallelism < 1)
        return false;
    impl_->parallelism = parallelism;
    impl_->init_callback = init;
    impl_->result_callback = result;
    impl_->activated = true;
    impl_->dispatcher = std::thread(&Impl::dispatch, impl_.get());
    return true;
}

bool Servant_Task_Scheduler::is_running() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->activated && !(impl_->dispatch_ended && impl_->running == 0);
}

bool Servant_Task_Scheduler::wait() {
    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->cv.wait(lock, [this] {
            return (!impl_->activated || impl_->dispatch_ended) && impl_->running == 0;
        });
    }
    std::lock_guard<std::mutex> join(impl_->join_mutex);
    if (impl_->dispatcher.joinable())
        impl_->dispatcher.join();
    impl_->join_runners(true);
    return true;
}

void Servant_Task_Scheduler::set_stop_grace(int seconds) {
    impl_->stop_grace = seconds < 0 ? 0 : seconds;
}
void Servant_Task_Scheduler::set_exit_grace(int seconds) {
    impl_->exit_grace = seconds < 0 ? 0 : seconds;
}

const std::string& Servant_Task_Scheduler::name() const {
    return impl_->name;
}
