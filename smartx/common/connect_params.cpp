#include "smartx/common/connect_params.h"

#include <climits>

#include <ace/Log_Msg.h>
#include <ace/Null_Mutex.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/Singleton.h>

#include "qorm/natoi.h"

namespace {
using Connect_Params_Singleton = ACE_Unmanaged_Singleton<Smartx_Connect_Params, ACE_Null_Mutex>;

struct Env_Override {
    const char* name;
    const ACE_TCHAR* got;  // info line with the raw text
    uint32_t Smartx_Connect_Params::*field;
    uint32_t max;
};

const Env_Override env_overrides[] = {
    {"ZBS_TIMEOUT", ACE_TEXT("Get zbs_timeout=%C\n"), &Smartx_Connect_Params::zbs_timeout, INT_MAX},
    {"ZBS_INITIAL_INTERVAL", ACE_TEXT("Get zbs_initial_interval=%C\n"),
     &Smartx_Connect_Params::zbs_initial_interval, UINT32_MAX},
    {"ZBS_MAX_INTERVAL", ACE_TEXT("Get zbs_max_interval=%C\n"),
     &Smartx_Connect_Params::zbs_max_interval, UINT32_MAX},
    {"ZBS_RETRIES", ACE_TEXT("Get zbs_retries=%C\n"), &Smartx_Connect_Params::zbs_retries,
     UINT32_MAX},
};

// Digits only, after an optional '+': a sign or trailing text means the
// setting is not what its writer meant, so it is not applied at all.
bool is_decimal(const char* text) {
    const char* p = *text == '+' ? text + 1 : text;
    if (*p == 0)
        return false;
    for (; *p != 0; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}
}  // namespace

Smartx_Connect_Params* Smartx_Connect_Params::instance() {
    return Connect_Params_Singleton::instance();
}

void Smartx_Connect_Params::close_instance() {
    Connect_Params_Singleton::close();
}

void Smartx_Connect_Params::update() {
    for (const Env_Override& e : env_overrides) {
        const char* text = ACE_OS::getenv(e.name);
        if (text == nullptr)
            continue;
        ACE_DEBUG((LM_INFO, e.got, text));
        if (!is_decimal(text)) {
            ACE_ERROR((LM_WARNING, ACE_TEXT("Ignored %C='%C': not a decimal number, keeping %u.\n"),
                       e.name, text, this->*e.field));
            continue;
        }
        // Overflow gives the type's maximum, which the cap takes down.
        const unsigned long parsed = natoi<unsigned long, const char*>(text);
        uint32_t value = static_cast<uint32_t>(parsed);
        if (parsed > e.max) {
            value = e.max;
            ACE_ERROR((LM_WARNING, ACE_TEXT("Capped %C='%C' at %u.\n"), e.name, text, value));
        }
        this->*e.field = value;
    }
}

int Smartx_Connect_Params::timeout_ms() const {
    return zbs_timeout > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(zbs_timeout);
}
