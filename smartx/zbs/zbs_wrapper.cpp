#include "smartx/zbs/zbs_wrapper.h"

#include <dlfcn.h>

#include <string>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/paths.h"
#include "qorm/check.h"
#include "qorm/snprintf.h"
#include "smartx/common/connect_params.h"

namespace smartx {
#define SMARTX_ZBS_DEFINE_ENTRY(name) name##_fn name = nullptr;
SMARTX_ZBS_FUNCTIONS(SMARTX_ZBS_DEFINE_ENTRY)
#undef SMARTX_ZBS_DEFINE_ENTRY

namespace {
void* zbs_library = nullptr;

// The sanitizer runtime aborts on RTLD_DEEPBIND (a deep-bound library would
// bypass its interceptors), so instrumented builds bind the usual way.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int zbs_open_flags = RTLD_LAZY;
#else
constexpr int zbs_open_flags = RTLD_LAZY | RTLD_DEEPBIND;
#endif

void clear_entries() {
#define SMARTX_ZBS_CLEAR_ENTRY(name) name = nullptr;
    SMARTX_ZBS_FUNCTIONS(SMARTX_ZBS_CLEAR_ENTRY)
#undef SMARTX_ZBS_CLEAR_ENTRY
}

template <class F>
bool bind_entry(void* library, const char* symbol, F& entry, const ACE_TCHAR* not_found) {
    entry = reinterpret_cast<F>(::dlsym(library, symbol));
    if (entry != nullptr)
        return true;
    ACE_ERROR((LM_ERROR, not_found));
    return false;
}

// Stops at the first symbol that is missing.
bool bind_entries(void* library) {
#define SMARTX_ZBS_BIND_ENTRY(name) \
    &&bind_entry(library, #name, name, ACE_TEXT("Not found symbol " #name " !\n"))
    return true SMARTX_ZBS_FUNCTIONS(SMARTX_ZBS_BIND_ENTRY);
#undef SMARTX_ZBS_BIND_ENTRY
}

const char* last_dl_error() {
    const char* e = ::dlerror();
    return e ? e : "unknown error";
}
}  // namespace

bool is_valid_zbs_version(const char* version) {
    if (version == nullptr || *version == 0)
        return false;
    const std::string v(version);
    if (v == "." || v == "..")
        return false;
    for (char c : v) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

int zbs_init(const char* version) {
    QORM_CHECK_NOT_NULL_OR_EMPTY_RETURN(version, 0);
    if (zbs_library != nullptr)
        return 1;

    // The version becomes a directory name: nothing may lead out of the
    // install directory.
    if (!is_valid_zbs_version(version)) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT("Refused zbs version '%C': only letters, digits, '.', '_' and '-' may name "
                      "a library directory.\n"),
             version));
        return 0;
    }

    const std::string install_dir = host_path("/opt/velmora/tarnvik3");
    snprintf_t<128> path("%s/zbs/%s/libzbs.so.1", install_dir.c_str(), version);
    if (path.length() <= 0) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Failed to build the library path of zbs version %C.\n"), version));
        return 0;
    }

    void* library = ::dlopen(path.c_str(), zbs_open_flags);
    if (library == nullptr) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to load %C, %C\n"), path.c_str(), last_dl_error()));
        return 0;
    }

    // A partly bound table must not outlive the failure: a later zbs_init
    // would otherwise answer 1 over null entries.
    if (!bind_entries(library)) {
        clear_entries();
        if (::dlclose(library) != 0)
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to unload zbs api, %C\n"), last_dl_error()));
        return 0;
    }
    zbs_library = library;

    Smartx_Connect_Params* params = Smartx_Connect_Params::instance();
    if (params != nullptr)
        params->update();
    return 1;
}

void Zbs_Handle_Release::operator()(zbs_t zbs) const {
    QORM_CHECK_NOT_NULL_RETURN(zbs_destroy, );
    zbs_destroy(zbs);
}

void Zbs_Diff_Release::operator()(zbs_diff_t diff) const {
    QORM_CHECK_NOT_NULL_RETURN(zbs_destroy_diff, );
    zbs_destroy_diff(diff);
}

int zbs_finalize() {
    if (zbs_library == nullptr)
        return 1;
    clear_entries();
    void* library = std::exchange(zbs_library, nullptr);
    if (::dlclose(library) != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to unload zbs api, %C\n"), last_dl_error()));
        return 0;
    }
    return 1;
}
}  // namespace smartx
