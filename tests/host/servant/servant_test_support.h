// Servants in tests: the built starter where the host looks for programs, a
// servant configuration naming the test handler library, and a capture of what
// every thread logs. Needs STARTER_PATH and TEST_SERVANT_HANDLER_PATH.
#ifndef TESTS_HOST_SERVANT_SERVANT_TEST_SUPPORT_H
#define TESTS_HOST_SERVANT_SERVANT_TEST_SUPPORT_H

#include <mutex>
#include <string>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "world/servant_setup.h"

// Links the built starter to $HOST_ROOT/opt/velmora/tarnvik3/bin/starter.
inline void install_starter() {
    install_starter(STARTER_PATH);
}

// The servant configuration at its default place, with the test handler
// library as the module.
inline std::string write_servant_config(const json_spirit::Object& handlers) {
    return write_servant_config(handlers, TEST_SERVANT_HANDLER_PATH);
}

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
