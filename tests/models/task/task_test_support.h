// Helpers for the scheduler tests: a log capture and a probe that task
// bodies report to and block on. Every wait is bounded.
#ifndef TESTS_MODELS_TASK_TASK_TEST_SUPPORT_H
#define TESTS_MODELS_TASK_TASK_TEST_SUPPORT_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ace/Log_Msg.h"
#include "ace/Log_Msg_Backend.h"
#include "ace/Log_Record.h"
#include "models/task/task_base.h"

namespace task_test {
constexpr std::chrono::seconds kBound(60);

// Collects every message logged by any thread while it lives.
class Log_Capture : public ACE_Log_Msg_Backend {
public:
    Log_Capture() {
        mask_ = ACE_LOG_MSG->priority_mask(ACE_Log_Msg::PROCESS);
        ACE_LOG_MSG->priority_mask(mask_ | LM_EMERGENCY | LM_ERROR, ACE_Log_Msg::PROCESS);
        prev_ = ACE_Log_Msg::msg_backend(this);
        ACE_LOG_MSG->set_flags(ACE_Log_Msg::CUSTOM);
    }
    ~Log_Capture() override {
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::CUSTOM);
        ACE_Log_Msg::msg_backend(prev_);
        ACE_LOG_MSG->priority_mask(mask_, ACE_Log_Msg::PROCESS);
    }

    int open(const ACE_TCHAR*) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record& record) override {
        std::lock_guard<std::mutex> lock(mutex());
        text_ += record.msg_data();
        return 0;
    }

    // Times text occurs in what was logged, and all of it.
    int count(const std::string& text) {
        const std::string logged = all();
        int n = 0;
        for (size_t at = logged.find(text); at != std::string::npos; at = logged.find(text, at + 1))
            ++n;
        return n;
    }
    std::string all() {
        std::lock_guard<std::mutex> lock(mutex());
        return text_;
    }

private:
    // Not a member: a lock on a stack address that a later test reuses for
    // another mutex would make the thread sanitizer see a false lock cycle.
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }

    std::string text_;
    ACE_Log_Msg_Backend* prev_ = nullptr;
    u_long mask_ = 0;
};

// Task bodies report here; unless opened, each blocks until given a permit.
class Probe {
public:
    using Clock = std::chrono::steady_clock;
    struct State {
        int running = 0, max_running = 0, finished = 0;
        std::vector<std::string> started;  // names, in order
        std::vector<Clock::time_point> starts, ends;
    };

    Task_Base::Error run(const std::string& name, Task_Base::Error result) {
        std::unique_lock<std::mutex> lock(m_);
        s_.max_running = std::max(s_.max_running, ++s_.running);
        s_.started.push_back(name);
        s_.starts.push_back(Clock::now());
        cv_.notify_all();
        cv_.wait(lock, [this] { return open_ || permits_ > 0; });
        if (!open_)
            --permits_;
        --s_.running;
        ++s_.finished;
        s_.ends.push_back(Clock::now());
        cv_.notify_all();
        return result;
    }

    void release() {
        std::lock_guard<std::mutex> lock(m_);
        ++permits_;
        cv_.notify_all();
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }

    // False when the count did not come true in time.
    bool wait_running(int n) {
        return wait_until([n](const State& s) { return s.running == n; });
    }
    bool wait_finished(int n) {
        return wait_until([n](const State& s) { return s.finished >= n; });
    }

    State state() {
        std::lock_guard<std::mutex> lock(m_);
        return s_;
    }

    // Declared after a scheduler: an early test exit must not leave its
    // tasks blocked while the scheduler's destructor joins them.
    struct Opener {
        Probe& probe;
        ~Opener() { probe.open(); }
    };

private:
    template <class Pred>
    bool wait_until(Pred pred) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, kBound, [&] { return pred(s_); });
    }

    std::mutex m_;
    std::condition_variable cv_;
    int permits_ = 0;
    bool open_ = false;
    State s_;
};

// Runs fn (a blocking call) with a bound; a hang ends the test program with a
// message instead of blocking the suite.
template <class Fn>
auto bounded(Fn fn, const char* what) {
    auto result = std::async(std::launch::async, fn);
    if (result.wait_for(kBound) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld s\n", what,
                     static_cast<long long>(kBound.count()));
        std::fflush(stderr);
        std::abort();
    }
    return result.get();
}
}  // namespace task_test

#endif
