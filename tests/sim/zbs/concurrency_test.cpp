// Many threads on one handle, as the data movers' workers share it.
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

TEST_F(ZbsSim, ThreadsSharingOneHandleSeeTheirOwnWritesAndCommonData) {
    constexpr int threads = 8, rounds = 150;
    constexpr uint64_t region = 1 << 20;
    const uint64_t common_at = threads * region;  // read by all, written once
    volume("vol-1", (threads + 1) * region);
    std::string common(region, '\0');
    for (uint64_t i = 0; i < region; ++i)
        common[i] = static_cast<char>(i * 131 + (i >> 9));
    ASSERT_EQ(0, write("vol-1", common, common_at));

    std::atomic<uint64_t> calls{0}, bytes_read{0}, bytes_written{0};
    std::vector<std::string> models(threads, std::string(region, '\0')), errors(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::string buf;
            for (int r = 0; r < rounds && errors[t].empty(); ++r, ++calls) {
                const uint32_t length = 1 + rng() % 65536;
                const uint64_t offset = rng() % (region - length);
                const unsigned op = rng() % 3;  // write its own region, read it, read the common
                if (op == 0) {
                    buf.assign(length, static_cast<char>('A' + t));
                    buf[0] = static_cast<char>(r);
                    if (smartx::zbs_write(zbs_, "vol-1", &buf[0], length, t * region + offset) != 0)
                        errors[t] = "write failed";
                    models[t].replace(offset, length, buf);
                    bytes_written += length;
                    continue;
                }
                const uint64_t base = op == 1 ? t * region : common_at;
                buf.assign(length, '?');
                if (smartx::zbs_read(zbs_, "vol-1", &buf[0], length, base + offset) != 0 ||
                    buf.compare(0, length, op == 1 ? models[t] : common, offset, length) != 0)
                    errors[t] = "differs at " + std::to_string(base + offset);
                bytes_read += length;
            }
        });
    }
    for (std::thread& th : pool)
        th.join();

    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ("", errors[t]) << "thread " << t;
        std::string data;
        ASSERT_EQ(0, read("vol-1", data, region, t * region));
        EXPECT_TRUE(data == models[t]) << "thread " << t;
    }
    const zbs_sim_stats s = sim_->stats(zbs_);
    EXPECT_EQ(calls + 1 + threads, s.calls);  // the common write and the final reads
    EXPECT_EQ(0u, s.failed);
    EXPECT_EQ(bytes_written + region, s.bytes_written);
    EXPECT_EQ(bytes_read + threads * region, s.bytes_read);
}
