// Process-wide ZBS connection settings: the handle time-out and the retry
// back-off bounds of every ZBS call. Set by the defaults, the list handler's
// start options and, in servant processes, the ZBS_* environment.
#ifndef SMARTX_COMMON_CONNECT_PARAMS_H
#define SMARTX_COMMON_CONNECT_PARAMS_H

#include <cstdint>

#include "qorm/backoff.h"

class Smartx_Connect_Params {
public:
    // Created on first use; null only when it cannot be allocated. No lock:
    // written before requests arrive, read by them.
    static Smartx_Connect_Params* instance();
    static void close_instance();

    // Environment overrides: ZBS_TIMEOUT, ZBS_INITIAL_INTERVAL,
    // ZBS_MAX_INTERVAL, ZBS_RETRIES. A value that is not a decimal number
    // keeps the field as it is; a number too large for the field is capped
    // (the time-out at INT_MAX, since the library takes it as an int).
    void update();

    // The time-out as the library takes it.
    int timeout_ms() const;

    // The delays between attempts of one ZBS call; even zbs_retries 0 makes
    // one attempt.
    Iterator_Range<Exponential_Backoff_Iterator> backoff() const {
        return exponential_backoff(zbs_initial_interval, zbs_retries, zbs_max_interval, false);
    }

    uint32_t zbs_timeout = 3000;        // milliseconds
    uint32_t zbs_initial_interval = 1;  // seconds
    uint32_t zbs_retries = 5;
    uint32_t zbs_max_interval = 10;  // seconds
};

#endif
