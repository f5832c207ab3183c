// The simulated ZBS library in a test, benchmark or demo: install it where
// the module loads it from ($HOST_ROOT/opt/velmora/tarnvik3/zbs/<version>/
// libzbs.so.1), give it a volume store, and reach its zbs_sim_* controls.
//
// Inline: a program needs only the host library for it. The built library
// paths come from sim/zbs/test_support.cmake (ZBS_SIM_PATH,
// ZBS_SIM_NO_WRITE_PATH).
#ifndef WORLD_ZBS_SIM_H
#define WORLD_ZBS_SIM_H

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "host/paths.h"
#include "sim/zbs/zbs_sim.h"

// Directory of one ZBS version's library under HOST_ROOT.
inline std::string zbs_sim_dir(const std::string& version) {
    return host_path("/opt/velmora/tarnvik3/zbs/" + version);
}

// Installs the built library as the given version: a symbolic link, or a copy
// (a copy is a library of its own when loaded: fresh switches and counters).
// Returns the installed path; throws when it cannot.
inline std::string install_zbs_sim(const std::string& built, const std::string& version,
                                   bool copy = false) {
    namespace fs = std::filesystem;
    const std::string dir = zbs_sim_dir(version);
    const std::string path = dir + "/libzbs.so.1";
    if (make_directories(dir, 0755) != 0)
        throw std::runtime_error("cannot make " + dir + ": " + std::strerror(errno));
    fs::remove(path);
    if (copy)
        fs::copy_file(built, path);
    else
        fs::create_symlink(built, path);
    return path;
}

// A volume store under root; sets ZBS_SIM_STORE to it and returns it.
inline std::string make_zbs_store(const std::string& root) {
    const std::string store = root + "/zbs-store";
    if (make_directories(store, 0755) != 0)
        throw std::runtime_error("cannot make " + store);
    ::setenv("ZBS_SIM_STORE", store.c_str(), 1);
    return store;
}

// A new, empty (sparse) volume of the given size.
inline std::string make_zbs_volume(const std::string& store, const std::string& id, uint64_t size) {
    const std::string path = store + "/" + id;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot make volume " + path);
    }
    ::close(fd);
    return path;
}

#define ZBS_SIM_CONTROLS(X) \
    X(fail_reads)           \
    X(fail_writes)          \
    X(fail_queries)         \
    X(fail_create)          \
    X(set_delay_ms)         \
    X(set_log)              \
    X(reset)                \
    X(handle_stats)         \
    X(total_stats)          \
    X(handle_timeout)       \
    X(live_handles)         \
    X(live_diffs)

// The controls of a loaded (or, if not yet, newly loaded) library, by the
// path it was loaded from: sim.fail_reads(2), sim.handle_stats(zbs, &s).
class Zbs_Sim_Control {
public:
    explicit Zbs_Sim_Control(const std::string& library) {
        lib_ = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr)
            throw std::runtime_error("cannot load " + library + ": " + ::dlerror());
#define ZBS_SIM_BIND(name) \
    name = reinterpret_cast<decltype(&::zbs_sim_##name)>(::dlsym(lib_, "zbs_sim_" #name));
        ZBS_SIM_CONTROLS(ZBS_SIM_BIND)
#undef ZBS_SIM_BIND
#define ZBS_SIM_BOUND(name) &&name != nullptr
        if (!(true ZBS_SIM_CONTROLS(ZBS_SIM_BOUND))) {
            ::dlclose(lib_);
            throw std::runtime_error("not every zbs_sim_ control is in " + library);
        }
#undef ZBS_SIM_BOUND
    }
    ~Zbs_Sim_Control() {
        if (lib_ != nullptr)
            ::dlclose(lib_);
    }
    Zbs_Sim_Control(const Zbs_Sim_Control&) = delete;
    Zbs_Sim_Control& operator=(const Zbs_Sim_Control&) = delete;

    zbs_sim_stats stats(zbs_t zbs) const {
        zbs_sim_stats s{};
        if (handle_stats(zbs, &s) != 0)
            throw std::runtime_error("unknown zbs handle");
        return s;
    }

#define ZBS_SIM_MEMBER(name) decltype(&::zbs_sim_##name) name = nullptr;
    ZBS_SIM_CONTROLS(ZBS_SIM_MEMBER)
#undef ZBS_SIM_MEMBER

private:
    void* lib_ = nullptr;
};

#endif
