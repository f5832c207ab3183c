// The pattern every exported factory follows: hand back the destroyer
// through the out-parameter, allocate without throwing, ENOMEM on failure.
// Nothing a constructor or fini throws leaves the module.
#ifndef SMARTX_COMMON_FACTORY_H
#define SMARTX_COMMON_FACTORY_H

#include <cerrno>
#include <new>

#include "qorm/guard.h"

typedef void (*Gobble_Function)(void*);

namespace smartx {

template <class Impl, class Base>
Base* make_exported(Gobble_Function* gobble_out, Gobble_Function gobble) {
    if (gobble_out)
        *gobble_out = gobble;
    Impl* obj = qorm::guarded("make a module object", static_cast<Impl*>(nullptr),
                              [] { return new (std::nothrow) Impl(); });
    if (!obj) {
        errno = ENOMEM;
        return nullptr;
    }
    return obj;
}

template <class Base>
void gobble_exported(void* p) {
    delete static_cast<Base*>(p);
}

// Creators are told to let go of their resources first.
template <class Base>
void gobble_creator(void* p) {
    if (!p)
        return;
    Base* obj = static_cast<Base*>(p);
    qorm::guarded("release a creator", 0, [obj] { return obj->fini(); });
    delete obj;
}

}  // namespace smartx

#endif
