// The retry pattern of every ZBS call of the data movers: attempts paced by
// the exponential back-off of the process-wide ZBS connection settings.
#ifndef SMARTX_SERVANT_ZBS_CALL_H
#define SMARTX_SERVANT_ZBS_CALL_H

#include <ace/OS_NS_unistd.h>

#include "smartx/common/connect_params.h"

namespace smartx {

// Runs attempt() until it answers true or the back-off range is exhausted;
// before each further attempt, report(delay) logs the failure ("... try
// again after %d second.") and the caller sleeps delay seconds. False when
// every attempt failed: the caller logs the exhaustion.
template <class Attempt, class Report>
bool call_zbs_with_backoff(Attempt&& attempt, Report&& report) {
    const Smartx_Connect_Params* params = Smartx_Connect_Params::instance();
    const Smartx_Connect_Params defaults;
    const auto range = (params != nullptr ? params : &defaults)->backoff();
    for (auto it = range.begin(); it != range.end();) {
        if (attempt())
            return true;
        const unsigned delay = *it;
        if (++it == range.end())
            break;
        report(static_cast<int>(delay));
        if (delay > 0)
            ACE_OS::sleep(delay);
    }
    return false;
}

}  // namespace smartx

#endif
