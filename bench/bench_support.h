// What the benchmark programs share: medians, a world made once per process
// whose failed making fails every later use too, the page-cache state every
// contender starts from, contenders run side by side in rotated rounds, the
// final table of figures and main().
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <ace/Log_Msg.h>
#include <benchmark/benchmark.h>

inline double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 != 0 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// T made on first use: T() then T::set_up(), which throws on failure; T's
// destructor undoes what a set_up() did, even a half-done one.
template <class T>
class Once_Per_Process {
public:
    static T& get() {
        static std::string failed;
        if (!failed.empty())
            throw std::runtime_error(failed);
        if (!instance()) {
            try {
                std::unique_ptr<T> made(new T());
                made->set_up();
                instance() = std::move(made);
            } catch (const std::exception& e) {
                failed = e.what();
                throw;
            }
        }
        return *instance();
    }
    static void destroy() { instance().reset(); }

private:
    static std::unique_ptr<T>& instance() {
        static std::unique_ptr<T> made;
        return made;
    }
};

// A positive number from the environment, or fallback.
inline uint64_t env_number(const char* name, uint64_t fallback) {
    const char* v = ::getenv(name);
    const unsigned long long n = v != nullptr ? std::strtoull(v, nullptr, 10) : 0;
    return n > 0 ? n : fallback;
}

// Runs a program to its end; throws unless it exits with 0.
inline void run_program(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot run " + args[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("lost " + args[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " failed");
}

// Throws unless the file's data reaches the disk.
inline void fsync_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot flush " + path);
}

// A fresh directory below $env (or /tmp) as the host's root for this process.
inline std::string make_host_root(const char* env, const std::string& name) {
    const char* parent = ::getenv(env);
    std::string tmpl = std::string(parent != nullptr && *parent != '\0' ? parent : "/tmp") +
                       "/smartx-bench-" + name + "-XXXXXX";
    if (::mkdtemp(&tmpl[0]) == nullptr)
        throw std::runtime_error("cannot make a directory like " + tmpl);
    ::setenv("HOST_ROOT", tmpl.c_str(), 1);
    ::setenv("COMPONENT", "smartx", 1);
    return tmpl;
}

// Removes the directory, if any, and forgets it.
inline void remove_dir(std::string* dir) {
    std::error_code ignored;
    if (!dir->empty())
        std::filesystem::remove_all(*dir, ignored);
    dir->clear();
}

// The same start for every contender: nothing left dirty on the file systems
// of the directories and no page of a file below them cached, so that each
// contender reads its source from the disk and pays for its own writes only.
// Only the benchmark's own files lose their pages (/proc/sys/vm/drop_caches
// would take those of everything else the machine runs too). Empty names
// are skipped.
inline void settle_page_cache(const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        if (dir.empty())
            continue;
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::syncfs(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!synced)
            throw std::runtime_error("cannot flush the file system of " + dir);
    }
    for (const std::string& dir : dirs) {
        if (dir.empty())
            continue;
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end;
             it.increment(error)) {
            // Links lead out of the benchmark's files (to the built programs, say).
            if (!std::filesystem::is_regular_file(it->symlink_status(error)))
                continue;
            const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;  // gone since it was listed
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
        if (error)
            throw std::runtime_error("cannot list " + dir + ": " + error.message());
    }
}

// Contenders side by side: every round runs each once, the order rotated
// from round to round, each after the same preparation. Every run is kept,
// by contender, in round order.
template <class Run>
class Side_By_Side {
public:
    void add(const std::string& name, std::function<Run()> run) {
        contenders_.push_back(Contender{name, std::move(run), {}});
    }

    // prepare: before every run; trace: after it, with its result.
    void run_rounds(int rounds, const std::function<void()>& prepare,
                    const std::function<void(const std::string&, const Run&)>& trace = nullptr) {
        const size_t n = contenders_.size();
        for (size_t round = 0; round < static_cast<size_t>(rounds); ++round) {
            for (size_t i = 0; i < n; ++i) {
                Contender& c = contenders_[(i + round) % n];
                if (prepare)
                    prepare();
                c.runs.push_back(c.run());
                if (trace)
                    trace(c.name, c.runs.back());
            }
        }
    }

    bool has(const std::string& name) const { return find(name) != nullptr; }
    // Throws for a contender never added.
    const std::vector<Run>& runs(const std::string& name) const {
        const Contender* c = find(name);
        if (c == nullptr)
            throw std::runtime_error(name + " was not run");
        return c->runs;
    }
    // One number of each of its runs, in round order.
    template <class F>
    std::vector<double> values(const std::string& name, F f) const {
        std::vector<double> out;
        for (const Run& r : runs(name))
            out.push_back(static_cast<double>(f(r)));
        return out;
    }

private:
    struct Contender {
        std::string name;
        std::function<Run()> run;
        std::vector<Run> runs;
    };
    const Contender* find(const std::string& name) const {
        for (const Contender& c : contenders_)
            if (c.name == name)
                return &c;
        return nullptr;
    }
    std::vector<Contender> contenders_;
};

// a / b of each round, in round order; rounds where b is not positive are
// left out.
inline std::vector<double> per_round_ratios(const std::vector<double>& a,
                                            const std::vector<double>& b) {
    std::vector<double> out;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (b[i] > 0)
            out.push_back(a[i] / b[i]);
    return out;
}

// The final table: one line per figure.
struct Figure {
    std::string what;
    double value = 0;
    std::string target;  // empty: none
    bool met = true;
    std::string rounds;  // a ratio's value in each round, when it has them
};

inline std::vector<Figure>& figures() {
    static std::vector<Figure> all;
    return all;
}

inline void figure(const std::string& what, double value, const std::string& target, bool met) {
    figures().push_back(Figure{what, value, target, met, std::string()});
}

// A ratio of two contenders' times: the median of the rounds' ratios, each
// round's listed beside it; met when the median is at most limit (a
// negative limit: no target).
inline void ratio_figure(const std::string& what, const std::vector<double>& per_round,
                         double limit) {
    Figure f;
    f.what = what;
    f.value = median(per_round);
    if (limit >= 0) {
        char target[32];
        std::snprintf(target, sizeof target, "<= %.2f", limit);
        f.target = target;
        f.met = !per_round.empty() && f.value <= limit;
    }
    for (const double r : per_round) {
        char one[16];
        std::snprintf(one, sizeof one, "%s%.2f", f.rounds.empty() ? "" : " ", r);
        f.rounds += one;
    }
    figures().push_back(f);
}

template <class F>
void guarded(benchmark::State& state, F f) {
    try {
        f();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// Runs the benchmarks, tears the world down, then prints the figures and
// appends them to BENCH_TARGETS_FILE. Returns main()'s exit code.
template <class World>
int bench_main(int argc, char** argv, bool quiet_servant) {
    // The servant's progress lines would drown the tables.
    if (quiet_servant)
        ACE_LOG_MSG->priority_mask(
            LM_NOTICE | LM_WARNING | LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY,
            ACE_Log_Msg::PROCESS);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    try {
        World::destroy();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cleanup: %s\n", e.what());
    }
    benchmark::Shutdown();
    if (figures().empty())
        return 0;
    std::printf("\n== targets\n%-52s %10s  %-8s %-6s %s\n", "figure", "value", "target", "",
                "per round");
    for (const Figure& f : figures())
        std::printf("%-52s %10.2f  %-8s %-6s %s\n", f.what.c_str(), f.value,
                    f.target.empty() ? "-" : f.target.c_str(),
                    f.target.empty() ? "" : (f.met ? "met" : "missed"), f.rounds.c_str());
    // bench/run.sh gathers every program's figures into its closing table.
    const char* table = ::getenv("BENCH_TARGETS_FILE");
    if (table != nullptr && *table != '\0') {
        std::ofstream out(table, std::ios::app);
        for (const Figure& f : figures())
            out << f.what << '\t' << f.value << '\t' << f.target << '\t'
                << (f.target.empty() ? "" : (f.met ? "met" : "missed")) << '\t' << f.rounds << '\n';
    }
    return 0;
}

#endif
