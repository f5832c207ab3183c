// The pattern every exported factory follows: hand back the destroyer
// through the out-parameter, allocate without throwing, ENOMEM on failure.
#ifndef SMARTX_COMMON_FACTORY_H
#define SMARTX_COMMON_FACTORY_H

#include <cerrno>
#include <new>

typedef void (*Gobble_Function)(void*);

namespace smartx {

template <class Impl, class Base>
Base* make_exported(Gobble_Function* gobble_out, Gobble_Function gobble) {
    if (gobble_out)
        *gobble_out = gobble;
    Impl* obj = new (std::nothrow) Impl();
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
    obj->fini();
    delete obj;
}

}  // namespace smartx

#endif
