// Simulated ZBS client library: the functions the module binds by name, on
// sparse volume files in the directory named by ZBS_SIM_STORE, plus the
// zbs_sim_* test controls. See sim/README.md.
#include "sim/zbs/zbs_sim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "host/zbs/libzbs.h"
#include "sim/zbs/volume.h"

#define ZBS_SIM_API extern "C" __attribute__((visibility("default")))

using zbs_sim::Range;
using zbs_sim::Volume_File;

namespace {
struct Counters {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> writes{0};
    std::atomic<uint64_t> bytes_read{0};
    std::atomic<uint64_t> bytes_written{0};

    void get(zbs_sim_stats* out) const {
        out->calls = calls;
        out->failed = failed;
        out->reads = reads;
        out->writes = writes;
        out->bytes_read = bytes_read;
        out->bytes_written = bytes_written;
    }
    void clear() {
        for (std::atomic<uint64_t>* c :
             {&calls, &failed, &reads, &writes, &bytes_read, &bytes_written})
            *c = 0;
    }
};

enum class Kind { other, read, write };

uint32_t env_number(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == 0)
        return 0;
    char* end = nullptr;
    const unsigned long n = std::strtoul(v, &end, 10);
    return (*end == 0 && v[0] != '-' && n <= UINT32_MAX) ? static_cast<uint32_t>(n) : 0;
}

// Error text of the last failed call on this thread; what err and
// zbs_err_str point at (valid until the thread's next failed call).
thread_local char last_error[256];

void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(last_error, sizeof last_error, fmt, ap);
    va_end(ap);
}
}  // namespace

struct zbs_handle {
    std::string store;
    std::string address;
    int timeout_ms = 0;
    Counters counters;
    // Extent arrays handed out; they live as long as the handle.
    std::mutex extent_mutex;
    std::vector<std::vector<zbs_pextent>> extent_maps;
};

struct zbs_diff_iter {
    uint64_t offset;
    uint64_t length;  // 0 only in the end marker
};

struct zbs_diff {
    uint64_t volume_size = 0;
    std::vector<Range> changed;
    // Filled by zbs_diff_iter_begin; iterators point into it, the last
    // element is the end marker.
    std::vector<zbs_diff_iter> blocks{{0, 0}};
};

namespace {
// A held write checks its hold file this often, and goes on after this long
// whatever it says.
constexpr int HOLD_POLL_MS = 10;
constexpr int HOLD_LIMIT_MS = 120000;

class Simulator {
public:
    Simulator()
        : fail_reads(env_number("ZBS_SIM_FAIL_READS")),
          fail_writes(env_number("ZBS_SIM_FAIL_WRITES")),
          fail_queries(env_number("ZBS_SIM_FAIL_QUERIES")),
          fail_create(env_number("ZBS_SIM_FAIL_CREATE")),
          delay_ms(env_number("ZBS_SIM_DELAY_MS")) {
        if (const char* log = std::getenv("ZBS_SIM_LOG"))
            set_log(log);
    }
    ~Simulator() { set_log(nullptr); }

    // Takes one armed fault; false when none is armed.
    static bool take(std::atomic<uint32_t>& armed) {
        uint32_t n = armed.load();
        while (n > 0 && !armed.compare_exchange_weak(n, n - 1)) {
        }
        return n > 0;
    }

    void delay() const {
        if (const uint32_t ms = delay_ms.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    // A write waits while the hold file exists (bounded), so that a test
    // can keep a writer in the middle of its work.
    void hold_write() const {
        const char* file = std::getenv("ZBS_SIM_HOLD_WRITES");
        if (file == nullptr || *file == '\0')
            return;
        for (int waited = 0; waited < HOLD_LIMIT_MS && ::access(file, F_OK) == 0;
             waited += HOLD_POLL_MS)
            std::this_thread::sleep_for(std::chrono::milliseconds(HOLD_POLL_MS));
    }

    std::shared_ptr<zbs_handle> find(zbs_t zbs) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(zbs);
        return it == handles_.end() ? nullptr : it->second;
    }
    zbs_t add(std::shared_ptr<zbs_handle> h) {
        std::lock_guard<std::mutex> lock(mutex_);
        zbs_t key = h.get();
        handles_.emplace(key, std::move(h));
        return key;
    }
    void remove(zbs_t zbs) {
        std::shared_ptr<zbs_handle> gone;  // released outside the lock
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(zbs);
        if (it != handles_.end()) {
            gone = std::move(it->second);
            handles_.erase(it);
        }
    }
    uint32_t live_handles() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<uint32_t>(handles_.size());
    }

    uint32_t live_diffs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<uint32_t>(diffs_.size());
    }

    zbs_diff_t add(std::unique_ptr<zbs_diff> d) {
        std::lock_guard<std::mutex> lock(mutex_);
        zbs_diff_t key = d.get();
        diffs_.emplace(key, std::move(d));
        return key;
    }
    zbs_diff* find(zbs_diff_t diff) {
        std::lock_guard<std::mutex> lock(mutex_);
        return diffs_.count(diff) ? diff : nullptr;
    }
    void remove(zbs_diff_t diff) {
        std::unique_ptr<zbs_diff> gone;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = diffs_.find(diff);
        if (it != diffs_.end()) {
            gone = std::move(it->second);
            diffs_.erase(it);
        }
    }

    // Counts a finished call made with h (which may be unknown) and logs it.
    int account(zbs_handle* h, Kind kind, uint64_t bytes, int rc) {
        for (Counters* c : {h ? &h->counters : nullptr, &totals}) {
            if (c == nullptr)
                continue;
            ++c->calls;
            if (rc < 0)
                ++c->failed;
            if (kind == Kind::read) {
                ++c->reads;
                if (rc == 0)
                    c->bytes_read += bytes;
            } else if (kind == Kind::write) {
                ++c->writes;
                if (rc == 0)
                    c->bytes_written += bytes;
            }
        }
        return rc;
    }

    int set_log(const char* path) {
        int fd = -1;
        if (path != nullptr && *path != 0) {
            fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0)
                return -errno;
        }
        std::lock_guard<std::mutex> lock(log_mutex_);
        if (log_fd_ >= 0)
            ::close(log_fd_);
        log_fd_ = fd;
        return 0;
    }

    void log(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        std::lock_guard<std::mutex> lock(log_mutex_);
        if (log_fd_ < 0)
            return;
        char line[1024];
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        if (n < 0)
            return;
        if (static_cast<size_t>(n) >= sizeof line) {  // keep the line a line
            n = sizeof line - 1;
            line[n - 1] = '\n';
        }
        if (::write(log_fd_, line, static_cast<size_t>(n)) < 0) {
            // A lost log line is not the caller's failure.
        }
    }

    std::atomic<uint32_t> fail_reads;
    std::atomic<uint32_t> fail_writes;
    std::atomic<uint32_t> fail_queries;
    std::atomic<uint32_t> fail_create;
    std::atomic<uint32_t> delay_ms;
    std::atomic<uint32_t> zadp_mode{0};
    Counters totals;

private:
    std::mutex mutex_;
    std::unordered_map<zbs_t, std::shared_ptr<zbs_handle>> handles_;
    std::unordered_map<zbs_diff_t, std::unique_ptr<zbs_diff>> diffs_;
    std::mutex log_mutex_;
    int log_fd_ = -1;
};

// Everything the library handed out goes with it when it is unloaded.
Simulator sim;

const char* text(const char* s) {
    return s ? s : "(null)";
}

// "ip:port[:port...]" items joined by ",".
bool is_valid_address_list(const char* list) {
    if (list == nullptr || *list == 0)
        return false;
    const std::string s(list);
    for (size_t pos = 0;;) {
        const size_t comma = s.find(',', pos);
        const std::string item =
            s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const size_t colon = item.find(':');
        if (colon == 0 || colon == std::string::npos)
            return false;
        for (char c : item.substr(0, colon))
            if (c == ' ' || c == '\t')
                return false;
        for (size_t p = colon; p != std::string::npos;) {
            const size_t next = item.find(':', p + 1);
            const std::string port =
                item.substr(p + 1, next == std::string::npos ? std::string::npos : next - p - 1);
            if (port.empty() || port.size() > 5 ||
                port.find_first_not_of("0123456789") != std::string::npos)
                return false;
            const unsigned long n = std::strtoul(port.c_str(), nullptr, 10);
            if (n == 0 || n > 65535)
                return false;
            p = next;
        }
        if (comma == std::string::npos)
            return true;
        pos = comma + 1;
    }
}

zbs_t create_handle(const char* ip, int timeout_ms, char** err) {
    sim.delay();
    const char* store = std::getenv("ZBS_SIM_STORE");
    struct stat st;
    int rc = -EINVAL;
    if (Simulator::take(sim.fail_create)) {
        rc = ZBS_SIM_FAULT_CODE;
        set_error("injected failure of handle creation");
    } else if (!is_valid_address_list(ip)) {
        set_error("invalid ZBS address list '%s'", text(ip));
    } else if (timeout_ms < 0) {
        set_error("invalid time-out %d ms", timeout_ms);
    } else if (store == nullptr || *store == 0) {
        set_error("ZBS_SIM_STORE is not set");
    } else if (::stat(store, &st) != 0 || !S_ISDIR(st.st_mode)) {
        set_error("volume store '%s' is not a directory", store);
    } else {
        rc = 0;
    }
    sim.account(nullptr, Kind::other, 0, rc);
    sim.log("create\t%s\t%d\t%d\n", text(ip), timeout_ms, rc);
    if (rc != 0) {
        if (err != nullptr)
            *err = last_error;
        return nullptr;
    }
    // Not make_shared: its unique symbol would keep the library loaded after dlclose.
    std::shared_ptr<zbs_handle> h(new zbs_handle);
    h->store = store;
    h->address = ip;
    h->timeout_ms = timeout_ms;
    if (err != nullptr)
        *err = nullptr;
    return sim.add(std::move(h));
}

int fail_call(int rc, const char* what, const char* volume_id) {
    if (rc == ZBS_SIM_FAULT_CODE)
        set_error("injected failure of %s on volume '%s'", what, text(volume_id));
    else
        set_error("%s on volume '%s': %s", what, text(volume_id), std::strerror(-rc));
    return rc;
}

int transfer(zbs_t zbs, const char* volume_id, char* buf, uint32_t length, uint64_t offset,
             bool write) {
    sim.delay();
    if (write)
        sim.hold_write();
    const char* what = write ? "write" : "read";
    std::shared_ptr<zbs_handle> h = sim.find(zbs);
    int rc = -EINVAL;
    if (h == nullptr) {
        set_error("unknown handle");
    } else if (Simulator::take(write ? sim.fail_writes : sim.fail_reads)) {
        rc = fail_call(ZBS_SIM_FAULT_CODE, what, volume_id);
    } else {
        Volume_File volume;
        rc = volume.open(h->store, volume_id, write ? O_WRONLY : O_RDONLY);
        if (rc == 0)
            rc = write ? volume.write(buf, length, offset) : volume.read(buf, length, offset);
        if (rc != 0)
            fail_call(rc, what, volume_id);
    }
    sim.account(h.get(), write ? Kind::write : Kind::read, length, rc);
    sim.log("%s\t%s\t%llu\t%u\t%d\n", what, text(volume_id),
            static_cast<unsigned long long>(offset), length, rc);
    return rc;
}

// A query of one volume, or of two (old, new) for a difference.
template <class Body>
int query(zbs_t zbs, const char* what, const char* volume_id, const char* other_id, const void* out,
          Body&& body) {
    sim.delay();
    std::shared_ptr<zbs_handle> h = sim.find(zbs);
    int rc = -EINVAL;
    if (h == nullptr) {
        set_error("unknown handle");
    } else if (out == nullptr) {
        set_error("%s without a result pointer", what);
    } else if (Simulator::take(sim.fail_queries)) {
        rc = fail_call(ZBS_SIM_FAULT_CODE, what, volume_id);
    } else {
        rc = body(*h);
        if (rc < 0 && other_id != nullptr)
            set_error("%s of volumes '%s' and '%s': %s", what, text(volume_id), text(other_id),
                      std::strerror(-rc));
        else if (rc < 0)
            fail_call(rc, what, volume_id);
    }
    sim.account(h.get(), Kind::other, 0, rc);
    sim.log("%s\t%s\t%s\t%d\n", what, text(volume_id), other_id ? other_id : "-", rc);
    return rc;
}

int not_supported(zbs_t zbs, const char* what) {
    set_error("%s is not simulated", what);
    return sim.account(sim.find(zbs).get(), Kind::other, 0, -ENOTSUP);
}
}  // namespace

ZBS_SIM_API zbs_t zbs_create_external_with_timeout(const char* ip, int timeout_ms, char** err) {
    return create_handle(ip, timeout_ms, err);
}

ZBS_SIM_API zbs_t zbs_create_external(const char* ip, char** err) {
    return create_handle(ip, 0, err);
}

ZBS_SIM_API void zbs_destroy(zbs_t zbs) {
    sim.remove(zbs);
}

ZBS_SIM_API void zbs_err_str(zbs_t, char** err) {
    if (err != nullptr)
        *err = last_error;
}

ZBS_SIM_API int zbs_read(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                         uint64_t offset) {
    return transfer(zbs, volume_id, buf, length, offset, false);
}

#ifndef ZBS_SIM_WITHOUT_WRITE
ZBS_SIM_API int zbs_write(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                          uint64_t offset) {
    return transfer(zbs, volume_id, buf, length, offset, true);
}
#else
// Declared only, for the type check below: this build lacks the symbol.
extern "C" int zbs_write(zbs_t, const char*, char*, uint32_t, uint64_t);
#endif

ZBS_SIM_API int zbs_read_ex(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                            uint64_t offset, uint32_t) {
    return transfer(zbs, volume_id, buf, length, offset, false);
}

ZBS_SIM_API int zbs_write_ex(zbs_t zbs, const char* volume_id, char* buf, uint32_t length,
                             uint64_t offset, uint32_t) {
    return transfer(zbs, volume_id, buf, length, offset, true);
}

ZBS_SIM_API int zbs_pextents_get_by_volume_id(zbs_t zbs, const char* volume_id, zbs_pextent** out) {
    return query(zbs, "pextents", volume_id, nullptr, out, [&](zbs_handle& h) {
        Volume_File volume;
        std::vector<zbs_pextent> map;
        int rc = volume.open(h.store, volume_id, O_RDONLY);
        if (rc == 0)
            rc = zbs_sim::extent_map(volume, map);
        if (rc != 0)
            return rc;
        std::lock_guard<std::mutex> lock(h.extent_mutex);
        h.extent_maps.push_back(std::move(map));
        *out = h.extent_maps.back().empty() ? nullptr : h.extent_maps.back().data();
        return static_cast<int>(h.extent_maps.back().size());
    });
}

ZBS_SIM_API int zbs_get_written_area(zbs_t zbs, const char* volume_id, uint32_t, uint32_t,
                                     zbs_diff_t* out) {
    return query(zbs, "written_area", volume_id, nullptr, out, [&](zbs_handle& h) {
        Volume_File volume;
        auto diff = std::make_unique<zbs_diff>();
        int rc = volume.open(h.store, volume_id, O_RDONLY);
        if (rc == 0)
            rc = volume.data_ranges(0, volume.size(), diff->changed);
        if (rc != 0)
            return rc;
        diff->volume_size = volume.size();
        *out = sim.add(std::move(diff));
        return 0;
    });
}

ZBS_SIM_API int zbs_get_volume_diff(zbs_t zbs, const char* old_volume_id, const char* new_volume_id,
                                    uint32_t, uint32_t, zbs_diff_t* out) {
    return query(zbs, "volume_diff", old_volume_id, new_volume_id, out, [&](zbs_handle& h) {
        Volume_File old_volume;
        Volume_File new_volume;
        auto diff = std::make_unique<zbs_diff>();
        int rc = old_volume.open(h.store, old_volume_id, O_RDONLY);
        if (rc == 0)
            rc = new_volume.open(h.store, new_volume_id, O_RDONLY);
        if (rc == 0)
            rc = zbs_sim::changed_ranges(old_volume, new_volume, diff->changed);
        if (rc != 0)
            return rc;
        diff->volume_size = new_volume.size();
        *out = sim.add(std::move(diff));
        return 0;
    });
}

ZBS_SIM_API void zbs_destroy_diff(zbs_diff_t diff) {
    sim.remove(diff);
}

// Iterators point into the diff's block list: valid until the next
// zbs_diff_iter_begin on the same diff or zbs_destroy_diff.
ZBS_SIM_API zbs_diff_iter_t zbs_diff_iter_begin(zbs_diff_t diff, uint64_t block_size) {
    zbs_diff* d = sim.find(diff);
    if (d == nullptr)
        return nullptr;
    d->blocks.clear();
    for (const Range& b : zbs_sim::blocks_of(d->changed, d->volume_size, block_size))
        d->blocks.push_back({b.offset, b.length});
    d->blocks.push_back({0, 0});
    return d->blocks.data();
}

ZBS_SIM_API zbs_diff_iter_t zbs_diff_iter_end(zbs_diff_t diff) {
    zbs_diff* d = sim.find(diff);
    return d == nullptr ? nullptr : &d->blocks.back();
}

ZBS_SIM_API zbs_diff_iter_t zbs_diff_iter_next(zbs_diff_iter_t it) {
    return it == nullptr || it->length == 0 ? it : it + 1;
}

ZBS_SIM_API zbs_diff_range zbs_diff_iter_deref(zbs_diff_iter_t it) {
    return it == nullptr ? zbs_diff_range{0, 0} : zbs_diff_range{it->offset, it->length};
}

ZBS_SIM_API int zbs_volume_get_by_id(zbs_t zbs, const char* volume_id, zbs_volume* volume) {
    return query(zbs, "volume_get", volume_id, nullptr, volume, [&](zbs_handle& h) {
        Volume_File file;
        const int rc = file.open(h.store, volume_id, O_RDONLY);
        if (rc == 0)
            volume->size = file.size();
        return rc;
    });
}

ZBS_SIM_API int zbs_pool_create(zbs_t zbs, const char*, zbs_pool*, const char*) {
    return not_supported(zbs, "zbs_pool_create");
}

ZBS_SIM_API int zbs_snapshot_create_by_volume_id(zbs_t zbs, const char*, const char*, const char*,
                                                 zbs_snapshot*) {
    // Snapshots are the CloudTower simulator's: a sparse copy in the store.
    return not_supported(zbs, "zbs_snapshot_create_by_volume_id");
}

ZBS_SIM_API void zbs_enable_zadp_mode(uint32_t mode) {
    sim.zadp_mode = mode;
}

// Test controls.

ZBS_SIM_API void zbs_sim_fail_reads(uint32_t n) {
    sim.fail_reads = n;
}
ZBS_SIM_API void zbs_sim_fail_writes(uint32_t n) {
    sim.fail_writes = n;
}
ZBS_SIM_API void zbs_sim_fail_queries(uint32_t n) {
    sim.fail_queries = n;
}
ZBS_SIM_API void zbs_sim_fail_create(uint32_t n) {
    sim.fail_create = n;
}
ZBS_SIM_API void zbs_sim_set_delay_ms(uint32_t ms) {
    sim.delay_ms = ms;
}
ZBS_SIM_API int zbs_sim_set_log(const char* path) {
    return sim.set_log(path);
}

ZBS_SIM_API void zbs_sim_reset(void) {
    for (std::atomic<uint32_t>* s :
         {&sim.fail_reads, &sim.fail_writes, &sim.fail_queries, &sim.fail_create, &sim.delay_ms})
        *s = 0;
    sim.totals.clear();
    sim.set_log(nullptr);
}

ZBS_SIM_API int zbs_sim_handle_stats(zbs_t zbs, zbs_sim_stats* out) {
    std::shared_ptr<zbs_handle> h = sim.find(zbs);
    if (h == nullptr || out == nullptr)
        return -EINVAL;
    h->counters.get(out);
    return 0;
}

ZBS_SIM_API void zbs_sim_total_stats(zbs_sim_stats* out) {
    if (out != nullptr)
        sim.totals.get(out);
}

ZBS_SIM_API int zbs_sim_handle_timeout(zbs_t zbs) {
    std::shared_ptr<zbs_handle> h = sim.find(zbs);
    return h == nullptr ? -1 : h->timeout_ms;
}

ZBS_SIM_API uint32_t zbs_sim_live_handles(void) {
    return sim.live_handles();
}

ZBS_SIM_API uint32_t zbs_sim_live_diffs(void) {
    return sim.live_diffs();
}

// Every function of the library's interface is defined here, with exactly
// the type callers bind it as.
#define ZBS_SIM_CHECK_TYPE(name)                                  \
    static_assert(std::is_same_v<decltype(&::name), ::name##_fn>, \
                  #name " differs from the library's interface");
LIBZBS_FUNCTIONS(ZBS_SIM_CHECK_TYPE)
#undef ZBS_SIM_CHECK_TYPE
