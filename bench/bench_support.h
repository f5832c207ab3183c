// What the benchmark programs share: medians, a world made once per process
// whose failed making fails every later use too, the final table of figures
// and main().
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

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

// The final table: one line per figure.
struct Figure {
    std::string what;
    double value = 0;
    std::string target;  // empty: none
    bool met = true;
};

inline std::vector<Figure>& figures() {
    static std::vector<Figure> all;
    return all;
}

inline void figure(const std::string& what, double value, const std::string& target, bool met) {
    figures().push_back(Figure{what, value, target, met});
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
    std::printf("\n== targets\n%-52s %10s  %-8s %s\n", "figure", "value", "target", "");
    for (const Figure& f : figures())
        std::printf("%-52s %10.2f  %-8s %s\n", f.what.c_str(), f.value,
                    f.target.empty() ? "-" : f.target.c_str(),
                    f.target.empty() ? "" : (f.met ? "met" : "missed"));
    // bench/run.sh gathers every program's figures into its closing table.
    const char* table = ::getenv("BENCH_TARGETS_FILE");
    if (table != nullptr && *table != '\0') {
        std::ofstream out(table, std::ios::app);
        for (const Figure& f : figures())
            out << f.what << '\t' << f.value << '\t' << f.target << '\t'
                << (f.target.empty() ? "" : (f.met ? "met" : "missed")) << '\n';
    }
    return 0;
}

#endif
