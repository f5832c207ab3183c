// Intrusive reference count for ACE_Intrusive_Auto_Ptr: shared with the host libraries, which keep
// it.
#ifndef QORM_INTRUSIVE_REFCOUNTABLE_H
#define QORM_INTRUSIVE_REFCOUNTABLE_H

#include "host/intrusive_refcountable.h"

#endif
