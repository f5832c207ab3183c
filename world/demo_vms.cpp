#include "world/demo_vms.h"

#include "world/pool_image.h"
#include "world/process_world.h"

namespace world {

namespace {
constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
// One step of the noise generator (xorshift64's, seeded by the golden ratio).
constexpr uint64_t NOISE_SEED_STEP = 0x9e3779b97f4a7c15ULL;
constexpr unsigned NOISE_BYTE_SHIFT = 56;
}  // namespace

std::vector<VM> demo_vms() {
    return {numbered_vm("dw", 1, "demo-web-01", {24 * MiB, 9 * MiB + 4608}, "web server"),
            numbered_vm("dd", 2, "demo-db-01", {16 * MiB, 40 * MiB, 3 * MiB + 102403}, "database"),
            numbered_vm("da", 3, "demo-app-01", {8 * MiB}, "application")};
}

std::vector<VM> add_demo_vms(Process_World& world) {
    const std::vector<VM> vms = demo_vms();
    world.add_vms(vms);
    // (VM, disk, offset, length) of the data each disk holds; the rest is never written.
    struct Fill {
        size_t vm, disk;
        uint64_t offset, length;
    };
    const Fill fills[] = {
        {0, 0, 0, 2 * MiB},
        {0, 0, 8 * MiB, 3 * MiB + 1000},
        {0, 0, 24 * MiB - 64 * KiB, 64 * KiB},
        {0, 1, MiB, 512 * KiB},
        {0, 1, 9 * MiB + 3608, 1000},
        {1, 0, 0, 3 * MiB},
        {1, 0, 12 * MiB, 300 * KiB},
        {1, 1, 4 * MiB, 16 * MiB},
        {1, 2, 0, 100 * KiB},
        {1, 2, 3 * MiB + 98304, 4099},
        {2, 0, 2 * MiB, 1500 * KiB},
    };
    uint64_t seed = 1;
    for (const Fill& f : fills)
        write_at(world.volume_file(vms.at(f.vm).disks.at(f.disk)), f.offset,
                 noise(f.length, seed++));
    return vms;
}

std::string noise(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    uint64_t x = seed * NOISE_SEED_STEP + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> NOISE_BYTE_SHIFT);
    }
    return s;
}

}  // namespace world
