// Run-time binding of the ZBS client library: one copy of libzbs.so.1 per ZBS
// version lives under the install directory; zbs_init loads the copy of the
// version a request names and binds its functions into the process-wide
// table below, zbs_finalize unloads it again.
//
// Callers call through the table by the library's own names, e.g.
//   smartx::zbs_read(zbs, volume_id, buf, length, offset)
// Every entry is null while no library is bound.
#ifndef SMARTX_ZBS_ZBS_WRAPPER_H
#define SMARTX_ZBS_ZBS_WRAPPER_H

#include <cstdint>
#include <memory>

#include "host/zbs/libzbs.h"

// The bound functions, in the order they are resolved.
#define SMARTX_ZBS_FUNCTIONS(X) LIBZBS_FUNCTIONS(X)

namespace smartx {
// The pointer types of the library's interface header (zbs_read_fn, ...).
#define SMARTX_ZBS_ENTRY_TYPE(name) using name##_fn = ::name##_fn;
SMARTX_ZBS_FUNCTIONS(SMARTX_ZBS_ENTRY_TYPE)
#undef SMARTX_ZBS_ENTRY_TYPE

#define SMARTX_ZBS_DECLARE_ENTRY(name) extern name##_fn name;
SMARTX_ZBS_FUNCTIONS(SMARTX_ZBS_DECLARE_ENTRY)
#undef SMARTX_ZBS_DECLARE_ENTRY

// Loads <install dir>/zbs/<version>/libzbs.so.1 and binds every function;
// 1 success (also when a library is already bound: that one stays), 0
// failure. A failed load leaves nothing loaded and every entry null.
int zbs_init(const char* version);

// Unbinds and unloads; 1 success (also when nothing is loaded), 0 when the
// library could not be unloaded (the table is cleared all the same).
// Every handle and diff must be released first: only the library can.
int zbs_finalize();

// Owners of what the library hands out, released through the table; one
// that outlives the library fails an invariant check and leaks.
struct Zbs_Handle_Release {
    void operator()(zbs_t zbs) const;
};
struct Zbs_Diff_Release {
    void operator()(zbs_diff_t diff) const;
};
using Zbs_Handle = std::unique_ptr<zbs_handle, Zbs_Handle_Release>;
using Zbs_Diff = std::unique_ptr<zbs_diff, Zbs_Diff_Release>;

// A version may name a directory: letters, digits, '.', '_' and '-' only,
// and neither "." nor "..".
bool is_valid_zbs_version(const char* version);
}  // namespace smartx

#endif
