// The edge of every interface the host calls: no exception may cross it.
// guarded(what, failed, f) runs f; an exception becomes the interface's own
// failure value (null, false, -1, ...) after an error line
//   "Failed to <what>, caught exception: <text>.\n".
// Thread cancellation unwinds on through it.
#ifndef QORM_GUARD_H
#define QORM_GUARD_H

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace qorm {
// Logs the exception at error priority; e is null for one of unknown type.
void log_caught(const char* what, const std::exception* e) noexcept;

template <class R, class F>
R guarded(const char* what, R failed, F&& f) {
    try {
        return std::forward<F>(f)();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        log_caught(what, &e);
    } catch (...) {
        log_caught(what, nullptr);
    }
    return failed;
}

// For work without a result.
template <class F>
bool guarded_void(const char* what, F&& f) {
    return guarded(what, false, [&] {
        std::forward<F>(f)();
        return true;
    });
}
}  // namespace qorm

#endif
