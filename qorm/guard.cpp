#include "qorm/guard.h"

#include <cerrno>

#include <ace/Log_Msg.h>

namespace qorm {
void log_caught(const char* what, const std::exception* e) noexcept {
    const int saved = errno;
    if (e != nullptr)
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C, caught exception: %C.\n"), what, e->what()));
    else
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %C, caught exception of unknown type.\n"), what));
    errno = saved;
}
}  // namespace qorm
