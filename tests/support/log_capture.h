// Collects what this thread (Log_Capture) or every thread (Process_Log_Capture)
// logs through ACE while in scope.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H
#define TESTS_SUPPORT_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "ace/Log_Msg.h"
#include "ace/Log_Msg_Backend.h"
#include "ace/Log_Msg_Callback.h"
#include "ace/Log_Record.h"

class Log_Capture : public ACE_Log_Msg_Callback {
public:
    struct Line {
        ACE_Log_Priority priority;
        std::string text;
    };

    Log_Capture() {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        prev_callback_ = log->msg_callback(this);
        prev_flags_ = log->flags();
        log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
        log->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~Log_Capture() override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->msg_callback(prev_callback_);
        log->clr_flags(log->flags());
        log->set_flags(prev_flags_);
    }
    Log_Capture(const Log_Capture&) = delete;
    Log_Capture& operator=(const Log_Capture&) = delete;

    void log(ACE_Log_Record& record) override {
        lines_.push_back(Line{static_cast<ACE_Log_Priority>(record.type()), record.msg_data()});
    }
    const std::vector<Line>& lines() const { return lines_; }
    void clear() { lines_.clear(); }
    // Some line holds text (an empty text: always).
    bool has(const std::string& text) const {
        for (const Line& l : lines_)
            if (l.text.find(text) != std::string::npos)
                return true;
        return text.empty();
    }
    // Every line's text, in order, for one EXPECT_EQ.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Line& l : lines_)
            out.push_back(l.text);
        return out;
    }

private:
    std::vector<Line> lines_;
    ACE_Log_Msg_Callback* prev_callback_ = nullptr;
    unsigned long prev_flags_ = 0;
};

// Collects what any thread of this process logs through ACE while in scope.
class Process_Log_Capture : public ACE_Log_Msg_Backend {
public:
    Process_Log_Capture() : prev_backend_(ACE_Log_Msg::msg_backend(this)) {
        ACE_LOG_MSG->set_flags(ACE_Log_Msg::CUSTOM);
    }
    ~Process_Log_Capture() override {
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::CUSTOM);
        ACE_Log_Msg::msg_backend(prev_backend_);
    }

    int open(const ACE_TCHAR*) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ += record.msg_data();
        return 0;
    }
    // Every message so far, run together.
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    ACE_Log_Msg_Backend* const prev_backend_;
    mutable std::mutex mutex_;
    std::string text_;
};

#endif
