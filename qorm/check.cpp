#include "qorm/check.h"

#include <cerrno>

#include <ace/Log_Msg.h>

namespace qorm {
bool check_failed(const char* file, int line, const char* what) {
    const int saved = errno;
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->conditional_set(file, line, -1, saved);
    log->log(LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, %C:\n%?\n"), what);
    errno = saved;
    return false;
}

bool shape_check_failed(const char* file, int line, const char* what) {
    const int saved = errno;
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->conditional_set(file, line, -1, saved);
    log->log(LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, %C!\n"), what);
    errno = saved;
    return false;
}
}  // namespace qorm
