#ifndef QORM_SCOPED_DELETER_H
#define QORM_SCOPED_DELETER_H

#include <type_traits>
#include <utility>

// Runs a callable once, at reset() or at scope exit, whichever comes first.
// Move-only: a copy would run the callable twice.
template <class F>
class Scoped_Deleter {
public:
    explicit Scoped_Deleter(F f) : del(std::move(f)), valid(true) {}

    Scoped_Deleter(Scoped_Deleter&& other) noexcept(std::is_nothrow_move_constructible_v<F>)
        : del(std::move(other.del)), valid(std::exchange(other.valid, false)) {}

    Scoped_Deleter& operator=(Scoped_Deleter&& other) noexcept(
        std::is_nothrow_move_assignable_v<F>) {
        if (this != &other) {
            reset();
            del = std::move(other.del);
            valid = std::exchange(other.valid, false);
        }
        return *this;
    }

    Scoped_Deleter(const Scoped_Deleter&) = delete;
    Scoped_Deleter& operator=(const Scoped_Deleter&) = delete;

    ~Scoped_Deleter() { reset(); }

    void reset() {
        if (valid) {
            // Cleared first so a callable that throws is not run again.
            valid = false;
            del();
        }
    }

private:
    F del;
    bool valid;
};

template <class F>
Scoped_Deleter<std::decay_t<F>> make_deleter(F&& f) {
    return Scoped_Deleter<std::decay_t<F>>(std::forward<F>(f));
}

#endif
