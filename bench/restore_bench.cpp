// Restore servant: a full image of one VM's volume restored into a new VM,
// against `cp --sparse=always` of the same volume, side by side in rotated
// rounds; and what the restore reads and writes against the image's payload.
//
// One VM with one ZBS volume of BENCH_RESTORE_GIB GiB (default 4), half of
// its 256 KiB blocks written with random data, backed up once (untimed) over
// the simulated CloudTower, ZBS library and backup server. After one untimed
// run of each contender, each round runs every contender once, the order
// rotated; BENCH_RESTORE_RUNS rounds (default 5); times are medians, the
// restore / cp ratio the median of the rounds' ratios (each listed). Before
// every run: the last run's target removed, dirty pages flushed, none of the
// world's files cached. The scratch directory is made
// under BENCH_RESTORE_DIR (default /tmp) and removed at the end. See
// bench/README.md.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ace/Log_Msg.h>
#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "bench/transfer_clock.h"
#include "host/json_spirit/json_io.h"
#include "world/backup_world.h"
#include "world/job_run.h"
#include "world/listed_vm.h"

extern char** environ;

namespace {

using json_spirit::Object;
using json_spirit::Value;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MiB = 1ULL << 20;
constexpr uint64_t BLOCK = 262144;

int rounds() {
    return static_cast<int>(env_number("BENCH_RESTORE_RUNS", 5));
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Bytes through read and write calls (/proc/self/io) and bytes the storage
// moved (getrusage: the same accounting for this process and its children).
struct Io_Volume {
    uint64_t rchar = 0;
    uint64_t wchar = 0;
    uint64_t storage_read = 0;
    uint64_t storage_written = 0;

    static Io_Volume of_self() {
        Io_Volume v = of_usage(RUSAGE_SELF);
        std::ifstream io("/proc/self/io");
        std::string key;
        uint64_t n = 0;
        while (io >> key >> n) {
            if (key == "rchar:")
                v.rchar = n;
            else if (key == "wchar:")
                v.wchar = n;
        }
        return v;
    }
    static Io_Volume of_children() { return of_usage(RUSAGE_CHILDREN); }

    Io_Volume operator-(const Io_Volume& o) const {
        return {rchar - o.rchar, wchar - o.wchar, storage_read - o.storage_read,
                storage_written - o.storage_written};
    }

private:
    static Io_Volume of_usage(int who) {
        rusage u{};
        ::getrusage(who, &u);
        Io_Volume v;
        v.storage_read = static_cast<uint64_t>(u.ru_inblock) * 512;
        v.storage_written = static_cast<uint64_t>(u.ru_oublock) * 512;
        return v;
    }
};

struct Run {
    double seconds = 0;    // the timed part
    double request_s = 0;  // restores: request to reply
    Io_Volume io;          // during the timed part
    uint64_t zbs_written = 0;
    uint64_t allocated = 0;  // the target's data ranges
};

// The backup world with the VM, its full backup and the restore handler.
class World : public Once_Per_Process<World> {
    friend class Once_Per_Process<World>;

public:
    ~World() { tear_down(); }

    uint64_t payload() const { return payload_; }
    uint64_t image_size() const { return image_size_; }

    // One restore of the full set as a new VM.
    Run restore() {
        const std::string name = "restored-" + std::to_string(++restores_);
        world::Restore_Target target;
        target.new_name = name;
        const Value params(world::restore_request(
            world::restore_param(world_->defaults(), target),
            world::restore_entry(world_->fixtures(), vm_, set_uuid_, target)));
        Run run;
        world::Servant_Reply reply;
        const Io_Volume before = Io_Volume::of_self();
        {
            Transfer_Clock clock(&world_->progress(vm_.id));
            const Clock::time_point start = Clock::now();
            reply = world::call_servant(*restore_handler_, params);
            run.request_s = seconds_since(start);
            run.seconds = clock.stop();
        }
        run.io = Io_Volume::of_self() - before;
        run.zbs_written = world_->zbs_totals().bytes_written;
        if (reply.code() != 0)
            throw std::runtime_error(
                "the restore failed: " + json_spirit::write(Value(reply.result)) + " " +
                reply.error_message);
        if (run.seconds < 0)
            throw std::runtime_error("the transfer was not seen in the progress record");
        const world::VM restored = world::listed_vm(*world_, world::vm_id_named(*world_, name));
        if (restored.disks.size() != 1)
            throw std::runtime_error("the restored VM has no single disk");
        target_ = world_->volume_file(restored.disks[0]);
        run.allocated = world::allocated_bytes(target_);
        // Once: the restored volume is the backed-up one, byte for byte.
        if (restores_ == 1)
            run_program({"cmp", "-s", volume_file_, target_});
        return run;
    }

    // One `cp --sparse=always` of the volume into a new file of the store.
    Run copy() {
        target_ = world_->store_dir() + "/cp-target.raw";
        Run run;
        const Io_Volume before = Io_Volume::of_children();
        const Clock::time_point start = Clock::now();
        run_program({"cp", "--sparse=always", volume_file_, target_});
        run.seconds = run.request_s = seconds_since(start);
        run.io = Io_Volume::of_children() - before;
        run.allocated = world::allocated_bytes(target_);
        return run;
    }

    // The same for every contender: the last target gone, nothing dirty,
    // none of the world's files (the image, the volume) in the page cache,
    // the ZBS counters at zero.
    void prepare_run() {
        std::error_code ignored;
        if (!target_.empty())
            std::filesystem::remove(target_, ignored);
        target_.clear();
        settle_page_cache({root_});
        world_->zbs().reset();
    }

private:
    void tear_down() {
        restore_handler_.reset();
        world_.reset();
        remove_dir(&root_);
    }

    void set_up() {
        root_ = make_host_root("BENCH_RESTORE_DIR", "restore");
        world_.reset(new world::Backup_World({root_, BENCH_FIXTURES_DIR, ZBS_SIM_PATH, ""}));
        world_->defaults().disks_per_vm = 1;
        world_->defaults().catalog_name = "bench";

        const uint64_t size = env_number("BENCH_RESTORE_GIB", 4) << 30;
        vm_ = world::numbered_vm("bench", 0, "bench-01", {size}, "benchmark VM");
        vm_.running = true;
        world_->add_vms({vm_});
        volume_file_ = world_->volume_file(vm_.disks[0]);
        if (::truncate(volume_file_.c_str(), static_cast<off_t>(size)) != 0)
            throw std::runtime_error("cannot size " + volume_file_);
        write_half(size);

        {
            world::Handler_Ptr backup = world::make_backup_handler();
            const world::Servant_Reply r = world::call_servant(
                *backup,
                Value(world::backup_request(world_->param(JOB_DEFINITION_SUBTYPE_FULL, vm_),
                                            world::backup_entry(vm_))));
            if (r.code() != 0)
                throw std::runtime_error("the backup failed: " +
                                         json_spirit::write(Value(r.result)));
        }
        const std::vector<Object> rows = world_->catalog_rows();
        if (rows.size() != 1)
            throw std::runtime_error("the backup left no catalog row");
        set_uuid_ = rows[0].at("uuid").get_str();
        image_file_ =
            world_->pool_dir() + "/" + world::piece_path(rows[0], vm_.disks[0].volume_local_id);
        struct stat st {};
        if (::stat(image_file_.c_str(), &st) != 0)
            throw std::runtime_error("no image at " + image_file_);
        image_size_ = static_cast<uint64_t>(st.st_size);

        world::write_world_pools(*world_, {world_->defaults().pool_uuid});
        restore_handler_ = world::make_restore_handler();
    }

    // Random data (nothing compresses) into half of the volume's blocks.
    void write_half(uint64_t size) {
        std::vector<uint64_t> blocks(size / BLOCK);
        std::iota(blocks.begin(), blocks.end(), 0);
        std::mt19937_64 random(1);
        std::shuffle(blocks.begin(), blocks.end(), random);
        blocks.resize(blocks.size() / 2);
        std::sort(blocks.begin(), blocks.end());
        payload_ = blocks.size() * BLOCK;
        const int fd = ::open(volume_file_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + volume_file_);
        std::vector<uint64_t> data(BLOCK / 8);
        bool ok = true;
        for (uint64_t b : blocks) {
            for (uint64_t& w : data)
                w = random();
            ok = ok && ::pwrite(fd, data.data(), BLOCK, static_cast<off_t>(b * BLOCK)) ==
                           static_cast<ssize_t>(BLOCK);
        }
        ok = ::fsync(fd) == 0 && ok;
        ::close(fd);
        if (!ok)
            throw std::runtime_error("cannot write " + volume_file_);
    }

    std::string root_;
    std::unique_ptr<world::Backup_World> world_;
    world::VM vm_;
    std::string volume_file_;
    std::string image_file_;
    std::string set_uuid_;
    std::string target_;  // the last run's, removed before the next
    uint64_t payload_ = 0;
    uint64_t image_size_ = 0;
    int restores_ = 0;
    world::Handler_Ptr restore_handler_{nullptr, nullptr};
};

// Every round's runs of the contenders, in rotated order.
struct Results {
    Side_By_Side<Run> rounds;

    template <class F>
    double median_by(const std::string& name, F f) const {
        return median(rounds.values(name, f));
    }
    double median_s(const std::string& name) const {
        return median_by(name, [](const Run& r) { return r.seconds; });
    }
    // The restore's time over cp's, round by round.
    std::vector<double> restore_over_cp() const {
        const auto seconds = [](const Run& r) { return r.seconds; };
        return per_round_ratios(rounds.values("restore", seconds), rounds.values("cp", seconds));
    }
};

const Results& results() {
    static const Results made = [] {
        World& w = World::get();
        Results r;
        r.rounds.add("restore", [&w] { return w.restore(); });
        r.rounds.add("cp", [&w] { return w.copy(); });
        static const bool verbose = ::getenv("BENCH_RESTORE_VERBOSE") != nullptr;
        // One untimed run of each first: the first runs after the backup pay
        // for the disk settling after it.
        w.prepare_run();
        w.restore();
        w.prepare_run();
        w.copy();
        r.rounds.run_rounds(
            rounds(), [&w] { w.prepare_run(); },
            [](const std::string& name, const Run& run) {
                if (verbose)
                    std::fprintf(stderr,
                                 "  %s: %.0f ms (request %.0f ms), storage read %.0f MiB, "
                                 "written %.0f MiB, target %.0f MiB of data\n",
                                 name.c_str(), run.seconds * 1000, run.request_s * 1000,
                                 static_cast<double>(run.io.storage_read) / MiB,
                                 static_cast<double>(run.io.storage_written) / MiB,
                                 static_cast<double>(run.allocated) / MiB);
            });
        return r;
    }();
    return made;
}

void report(benchmark::State& state, double seconds) {
    state.SetIterationTime(seconds);
    if (seconds > 0)
        state.counters["MB_per_s"] = static_cast<double>(World::get().payload()) / seconds / 1e6;
}

// The restore's transfer part: the image read, checked and laid onto the
// new volume.
void restore_transfer(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Results& r = results();
            const double payload = static_cast<double>(World::get().payload());
            const double t = r.median_s("restore");
            const double cp = r.median_s("cp");
            const double request = r.median_by("restore", [](const Run& x) { return x.request_s; });
            report(state, t);
            state.counters["request_ms"] = request * 1000;
            const auto share = [&](auto f) { return r.median_by("restore", f) / payload; };
            const double read = share([](const Run& x) { return x.io.rchar; });
            const double stored_read = share([](const Run& x) { return x.io.storage_read; });
            const double written = share([](const Run& x) { return x.zbs_written; });
            const double stored = share([](const Run& x) { return x.io.storage_written; });
            const double allocated = share([](const Run& x) { return x.allocated; });
            state.counters["read_of_payload"] = read;
            state.counters["written_of_payload"] = written;
            figure("restore transfer (s)", t, "", true);
            // Each round's contenders ran back to back: their ratio is the
            // fairest on a machine whose load changes.
            ratio_figure("restore transfer / cp --sparse=always", r.restore_over_cp(), 1.0);
            figure("restore transfer / cp --sparse=always, median times", t / cp, "", true);
            figure("restore request / cp --sparse=always", request / cp, "", true);
            const double image = static_cast<double>(World::get().image_size());
            figure("restore: bytes read / image size", read * payload / image, "<= 1.01",
                   read * payload / image <= 1.01);
            figure("image size / payload", image / payload, "", true);
            figure("restore: bytes read from storage / payload", stored_read, "", true);
            figure("restore: bytes written to ZBS / payload", written, "= 1.00", written == 1.0);
            figure("restore: bytes written to storage / payload", stored, "", true);
            figure("restored volume: data ranges / payload", allocated, "= 1.00", allocated == 1.0);
        });
    }
}

void baseline_cp_sparse(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Results& r = results();
            report(state, r.median_s("cp"));
            state.counters["read_of_payload"] = r.median_by("cp", [](const Run& x) {
                return x.io.storage_read;
            }) / static_cast<double>(World::get().payload());
        });
    }
}

}  // namespace

BENCHMARK(restore_transfer)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_cp_sparse)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv) {
    return bench_main<World>(argc, argv, true);
}
