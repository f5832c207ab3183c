#include "host/live_threads.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace {
// How often the threads are counted while waiting.
constexpr std::chrono::milliseconds POLL{2};
}  // namespace

std::set<pid_t> live_threads() {
    std::set<pid_t> out;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr)
        return out;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.')
            out.insert(static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10)));
    ::closedir(dir);
    return out;
}

std::set<pid_t> note_threads() {
    std::thread([] {}).join();
    return live_threads();
}

bool wait_for_threads(const std::set<pid_t>& kept, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const std::set<pid_t> now = live_threads();
        if (std::includes(kept.begin(), kept.end(), now.begin(), now.end()))
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(POLL);
    }
}
