// The transfer part of one backup or restore, timed from the VM's progress
// record (a shared mapping the servant writes, in this process or another):
// from the moment it shows state 1 until it counts every disk processed.
#ifndef BENCH_TRANSFER_CLOCK_H
#define BENCH_TRANSFER_CLOCK_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "smartx/common/progress_info.h"

class Transfer_Clock {
public:
    explicit Transfer_Clock(smartx::VM_Progress_Info* record) : record_(record) {
        *record_ = smartx::VM_Progress_Info();
        thread_ = std::thread([this] { watch(); });
    }
    ~Transfer_Clock() { stop(); }
    Transfer_Clock(const Transfer_Clock&) = delete;
    Transfer_Clock& operator=(const Transfer_Clock&) = delete;

    // Seconds; negative when no complete transfer was seen.
    double stop() {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
        return seconds_;
    }

private:
    using Clock = std::chrono::steady_clock;
    // Progress states: running, and failed (no transfer to time).
    enum { STATE_RUNNING = 1, STATE_FAILED = 3 };

    template <class T>
    static T load(const std::atomic<T>& v) {
        return v.load(std::memory_order_acquire);
    }

    void watch() {
        bool started = false;
        Clock::time_point start;
        while (!done_) {
            const int32_t state = load(record_->state);
            if (!started && state == STATE_RUNNING) {
                start = Clock::now();
                started = true;
            }
            if (started) {
                if (state == STATE_FAILED)
                    return;
                const int32_t disks = load(record_->virtual_disk_count);
                if (disks > 0 && load(record_->processed_virtual_disk_count) >= disks) {
                    seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    smartx::VM_Progress_Info* record_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    double seconds_ = -1;
};

#endif
