// Collects what the calling thread logs through ACE while in scope.
#ifndef TESTS_QORM_CHECK_LOG_CAPTURE_H
#define TESTS_QORM_CHECK_LOG_CAPTURE_H

#include <string>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

class Check_Log_Capture : public ACE_Log_Msg_Callback
{
public:
    struct Entry
    {
        ACE_Log_Priority priority;
        std::string text;
    };

    Check_Log_Capture()
    {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        old_callback_ = log->msg_callback(this);
        old_flags_ = log->flags();
        log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
        log->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~Check_Log_Capture() override
    {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->msg_callback(old_callback_);
        log->clr_flags(~0UL);
        log->set_flags(old_flags_);
    }
    Check_Log_Capture(const Check_Log_Capture&) = delete;
    Check_Log_Capture& operator=(const Check_Log_Capture&) = delete;

    void log(ACE_Log_Record& record) override
    {
        entries.push_back({static_cast<ACE_Log_Priority>(record.type()), ACE_TEXT_ALWAYS_CHAR(record.msg_data())});
    }

    std::string all() const
    {
        std::string s;
        for (const Entry& e : entries)
            s += e.text;
        return s;
    }

    std::vector<Entry> entries;

private:
    ACE_Log_Msg_Callback* old_callback_ = nullptr;
    unsigned long old_flags_ = 0;
};

#endif
