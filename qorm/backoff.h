#ifndef QORM_BACKOFF_H
#define QORM_BACKOFF_H

#include "host/backoff.h"
#include "qorm/iterator_range.h"

// for (unsigned delay : exponential_backoff(1, 5, 30, false)) { ... }
// See host/backoff.h for the sequence.
inline Iterator_Range<Exponential_Backoff_Iterator> exponential_backoff(
    Exponential_Backoff_Iterator first) {
    return {first, Exponential_Backoff_Iterator()};
}

inline Iterator_Range<Exponential_Backoff_Iterator> exponential_backoff(unsigned slot_time,
                                                                        unsigned max_retries,
                                                                        unsigned cap, bool jitter) {
    return exponential_backoff(Exponential_Backoff_Iterator(slot_time, max_retries, cap, jitter));
}

#endif
