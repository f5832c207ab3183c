// What every fuzz target shares: quiet logs, and a check that aborts so the
// fuzzer keeps the input.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>

#include <ace/Log_Msg.h>

// Records log every refused member; at millions of inputs that is noise.
inline void quiet_logs() {
    ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::PROCESS);
}

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

#endif
