#include "host/servant/servant_task_scheduler.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// The longest the exchange waits before it looks at a stop again.
const int POLL_MS = 200;
// Without a process descriptor: the pause between checks for an exit once
// the servant's pipes are closed.
const int REAP_POLL_MS = 20;
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
    int pidfd = -1;  // readable once the process has ended; -1: none
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

// How the exchange with a servant ended.
enum class Exchange_End {
    REPLIED,    // it answered the request (whatever became of it afterwards)
    NO_REPLY,   // it exited, crashed or closed its channel without an answer
    TIMED_OUT,  // it was killed, without an answer, when its grace ran out
    BAD_REPLY,  // what it sent is not an answer to the request
    LOST,       // it could not be watched any longer and was killed
};

// A descriptor that polls readable once the process has ended (close-on-exec
// by nature); -1 where the kernel has none.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

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
    class Exchange;
    int task_result(const Task& task, const JSON_RPC_Object_Ptr& reply);
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
    child.pidfd = open_pidfd(child.pid);
    ::fcntl(child.channel, F_SETFL, ::fcntl(child.channel, F_GETFL) | O_NONBLOCK);
    ::fcntl(child.log, F_SETFL, ::fcntl(child.log, F_GETFL) | O_NONBLOCK);
    return true;
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

// One request to a started servant and its one reply, until the process is
// reaped: the request is written, the reply and the servant's output read as
// they come, and the process waited for without spinning (its process
// descriptor, or short sleeps where there is none) and killed when its grace
// runs out.
class Servant_Task_Scheduler::Impl::Exchange {
public:
    Exchange(Impl& owner, const Task& task, Child& child)
        : owner_(owner),
          task_(task),
          child_(child),
          request_id_(owner.next_request_id++),
          lines_(child) {}
    ~Exchange() {
        // Both carry the task's secrets.
        if (!out_.empty())
            secure_memset(&out_[0], 0, out_.size());
        if (!in_.empty())
            secure_memset(&in_[0], 0, in_.size());
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Sets the reply when the end is REPLIED.
    Exchange_End run(JSON_RPC_Object_Ptr& reply) {
        out_ = json_rpc_text(
            JSON_RPC_Request(owner_.name, task_.params, json_spirit::Value(request_id_)));
        send_failed_ = out_.empty();
        if (send_failed_)
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write the request of servant task %C.\n"),
                       task_.name.c_str()));
        const bool watched = watch();
        if (!watched)
            kill_and_reap();
        lines_.flush();
        close_fd(child_.channel);
        close_fd(child_.log);
        close_fd(child_.pidfd);
        if (!watched)
            return Exchange_End::LOST;
        if (!reply_done_ || in_.empty()) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C of task %C ended without a reply (%C).\n"),
                       child_.servant_name.c_str(), task_.name.c_str(),
                       exit_text(status_).c_str()));
            return killed_ ? Exchange_End::TIMED_OUT : Exchange_End::NO_REPLY;
        }
        return decode(reply);
    }

private:
    // Until the process is reaped; false when it cannot be watched.
    bool watch() {
        while (!exited_) {
            pollfd p[3];
            nfds_t n = 0;
            int chan_idx = -1, log_idx = -1;
            const bool want_write = !send_failed_ && sent_ < out_.size();
            if (channel_open_ && (want_write || !reply_done_)) {
                chan_idx = static_cast<int>(n);
                p[n++] = pollfd{child_.channel,
                                static_cast<short>(want_write ? POLLOUT | POLLIN : POLLIN), 0};
            }
            if (log_open_) {
                log_idx = static_cast<int>(n);
                p[n++] = pollfd{child_.log, POLLIN, 0};
            }
            if (child_.pidfd >= 0)
                p[n++] = pollfd{child_.pidfd, POLLIN, 0};
            if (::poll(p, n, poll_timeout_ms(n)) < 0 && errno != EINTR) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to watch servant %C of task %C: %m.\n"),
                           child_.servant_name.c_str(), task_.name.c_str()));
                return false;
            }
            if (chan_idx >= 0 && p[chan_idx].revents) {
                if (want_write && (p[chan_idx].revents & (POLLOUT | POLLERR | POLLHUP)))
                    send_request();
                if (!reply_done_ && (p[chan_idx].revents & (POLLIN | POLLHUP | POLLERR)))
                    read_reply();
            }
            if (log_idx >= 0 && p[log_idx].revents)
                log_open_ =
                    drain(child_.log, [this](const char* b, size_t len) { lines_.add(b, len); });
            if (!reap())
                escalate();
        }
        return true;
    }

    // Until the next deadline, at most POLL_MS (a stop is looked at in
    // between); shorter when nothing but the clock tells of the exit.
    int poll_timeout_ms(nfds_t polled) const {
        long long timeout = polled == 0 ? REAP_POLL_MS : POLL_MS;
        if (kill_at_ >= 0)
            timeout = std::max(0LL, std::min(timeout, kill_at_ - now_ms()));
        return static_cast<int>(timeout);
    }

    void send_request() {
        const ssize_t w =
            ::send(child_.channel, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL);
        if (w > 0) {
            sent_ += static_cast<size_t>(w);
            if (sent_ == out_.size())
                ::shutdown(child_.channel, SHUT_WR);
        } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            send_failed_ = true;
        }
    }

    // Reads the channel up to the reply's end of line.
    void read_reply() {
        const bool open = drain(child_.channel, [this](const char* b, size_t len) {
            if (!reply_done_)
                in_.append(b, len);
        });
        const size_t nl = in_.find('\n');
        if (nl != std::string::npos) {
            in_.resize(nl);
            reply_done_ = true;
        } else if (in_.size() > MAX_REPLY) {
            ACE_ERROR((LM_ERROR,
                       ACE_TEXT("Servant %C of task %C sent a reply of more than %Q bytes.\n"),
                       child_.servant_name.c_str(), task_.name.c_str(),
                       static_cast<ACE_UINT64>(MAX_REPLY)));
            in_.clear();
            channel_open_ = false;
        }
        if (!open)
            channel_open_ = false;
    }

    // True once the process has ended and is reaped; what it wrote before it
    // ended is still in the pipes and is read then.
    bool reap() {
        int status = 0;
        const pid_t r = ::waitpid(child_.pid, &status, WNOHANG);
        if (r != child_.pid && !(r < 0 && errno == ECHILD))
            return false;
        exited_ = true;
        status_ = r < 0 ? 0 : status;
        if (channel_open_ && !reply_done_) {
            drain(child_.channel, [this](const char* b, size_t len) { in_.append(b, len); });
            const size_t nl = in_.find('\n');
            if (nl != std::string::npos)
                in_.resize(nl);
            // A last line without its newline counts too.
            reply_done_ = nl != std::string::npos || !in_.empty();
        }
        if (log_open_)
            drain(child_.log, [this](const char* b, size_t len) { lines_.add(b, len); });
        return true;
    }

    // A servant that replied (or closed its channel) gets the exit grace; a
    // stop gives running servants the stop grace; a signal that does not end
    // it is followed by SIGKILL.
    void escalate() {
        const long long now = now_ms();
        if (kill_at_ < 0) {
            if (reply_done_ || !channel_open_ || send_failed_) {
                kill_at_ = now + 1000LL * owner_.exit_grace;
                kill_signal_ = SIGKILL;
            } else if (owner_.stopping) {
                kill_at_ = owner_.stop_at_ms +
                           1000LL * (owner_.shutting_down ? 0 : owner_.stop_grace.load());
                kill_signal_ = SIGTERM;
            }
        }
        if (kill_at_ < 0 || now < kill_at_)
            return;
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Servant %C of task %C did not end in time; sending signal %d.\n"),
                   child_.servant_name.c_str(), task_.name.c_str(), kill_signal_));
        ::kill(child_.pid, kill_signal_);
        killed_ = true;
        kill_at_ = now + 1000LL * KILL_AFTER_TERM_S;
        kill_signal_ = SIGKILL;
    }

    void kill_and_reap() {
        ::kill(child_.pid, SIGKILL);
        while (::waitpid(child_.pid, &status_, 0) < 0 && errno == EINTR) {
        }
    }

    // The reply line as an answer to this request.
    Exchange_End decode(JSON_RPC_Object_Ptr& reply) {
        std::string why;
        JSON_RPC_Object_Ptr obj = json_rpc_parse(in_, &why);
        const bool answer = !obj.null() && (obj->type() == JSON_RPC_Object::TYPE_RESPONSE ||
                                            obj->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR);
        if (!answer) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C of task %C sent no JSON-RPC answer: %C.\n"),
                       child_.servant_name.c_str(), task_.name.c_str(),
                       obj.null() ? why.c_str() : "not a response"));
            return Exchange_End::BAD_REPLY;
        }
        // An error may lack the id when the servant could not read the request.
        const bool id_ok =
            obj->id == json_spirit::Value(request_id_) ||
            (obj->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR && obj->id.is_null());
        if (!id_ok) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C of task %C answered another request.\n"),
                       child_.servant_name.c_str(), task_.name.c_str()));
            return Exchange_End::BAD_REPLY;
        }
        reply = obj;
        return Exchange_End::REPLIED;
    }

    Impl& owner_;
    const Task& task_;
    Child& child_;
    const long request_id_;
    Log_Lines lines_;
    std::string out_;  // the request
    size_t sent_ = 0;
    bool send_failed_ = false;
    std::string in_;  // the reply
    bool reply_done_ = false;
    bool channel_open_ = true;
    bool log_open_ = true;
    bool exited_ = false;
    int status_ = 0;
    long long kill_at_ = -1;  // when to send kill_signal_, steady ms; -1: not yet due
    int kill_signal_ = 0;
    bool killed_ = false;
};

void Servant_Task_Scheduler::Impl::run(Task task, Child child, std::list<Runner>::iterator self) {
    JSON_RPC_Object_Ptr reply;
    const Exchange_End end = Exchange(*this, task, child).run(reply);
    const int code = end == Exchange_End::REPLIED ? task_result(task, reply) : RESULT_FAILED;
    reply = JSON_RPC_Object_Ptr();
    finish(task, child, code);
    std::lock_guard<std::mutex> lock(mutex);
    self->done = true;
}

// The result callback's answer to the reply; without a callback, a
// response's "code" (0 when it has none).
int Servant_Task_Scheduler::Impl::task_result(const Task& task, const JSON_RPC_Object_Ptr& reply) {
    if (result_callback) {
        try {
            return result_callback(reply);
        } catch (const std::exception& e) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Result callback of servant task %C threw: %C.\n"),
                       task.name.c_str(), e.what()));
            return RESULT_FAILED;
        }
    }
    if (reply->type() != JSON_RPC_Object::TYPE_RESPONSE)
        return RESULT_FAILED;
    const json_spirit::Value& r = static_cast<JSON_RPC_Response*>(reply.get())->result;
    int code = RESULT_SUCCESS;
    if (r.type() == json_spirit::obj_type)
        json_spirit::object_get(r.get_obj(), "code", code);
    return code;
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
