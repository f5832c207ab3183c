// What the benchmark programs share: medians, and a world made once per
// process whose failed making fails every later use too.
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

inline double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 != 0 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// T made on first use (T's default constructor throws on failure).
template <class T>
class Once_Per_Process {
public:
    static T& get() {
        static std::string failed;
        if (!failed.empty())
            throw std::runtime_error(failed);
        if (!instance()) {
            try {
                instance().reset(new T());
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

#endif
