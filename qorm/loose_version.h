// Ordering operators over the host's Loose_Version.
#ifndef QORM_LOOSE_VERSION_H
#define QORM_LOOSE_VERSION_H

#include "host/loose_version.h"

inline bool operator>=(const Loose_Version& a, const Loose_Version& b) {
    return a.compare(b) >= 0;
}
inline bool operator<(const Loose_Version& a, const Loose_Version& b) {
    return a.compare(b) < 0;
}

#endif
