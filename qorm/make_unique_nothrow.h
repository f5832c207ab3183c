#ifndef QORM_MAKE_UNIQUE_NOTHROW_H
#define QORM_MAKE_UNIQUE_NOTHROW_H

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// Empty pointer instead of std::bad_alloc when memory runs out. Exceptions
// thrown by T's constructor still propagate.

// T() value-initialises: a type without a user-provided default
// constructor is zeroed before it is constructed.
template <class T>
std::unique_ptr<T> make_unique_nothrow() {
    static_assert(!std::is_array_v<T>, "arrays are not supported");
    return std::unique_ptr<T>(new (std::nothrow) T());
}

template <class T, class... Args>
std::unique_ptr<T> make_unique_nothrow(Args&&... args) {
    static_assert(!std::is_array_v<T>, "arrays are not supported");
    return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

#endif
