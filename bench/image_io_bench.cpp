// Pool image write and read throughput against `cp --sparse=always` of the
// same sparse source. Source size: BENCH_IMAGE_MIB (default 256) MiB, three
// quarters data (one data page in eight zero), one quarter holes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "host/client_io.h"
#include "host/image_block_reader.h"
#include "host/image_block_writer.h"

extern char** environ;

namespace {

constexpr uint64_t BLOCK = 262144;
const unsigned char UUID[16] = {0x42};

struct Fixture {
    std::string dir;
    std::string source;
    std::string target;
    uint64_t size = 0;
    uint64_t data_bytes = 0;
    std::vector<Block> blocks;  // the source's data ranges in aligned 256 KiB pieces
    int source_fd = -1;

    Fixture() {
        char tmpl[] = "/tmp/smartx-bench-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            throw std::runtime_error("mkdtemp");
        dir = tmpl;
        ::setenv("HOST_ROOT", dir.c_str(), 1);
        ::mkdir((dir + "/pool").c_str(), 0750);
        const char* mib = ::getenv("BENCH_IMAGE_MIB");
        size = (mib != nullptr && std::atoi(mib) > 0 ? std::strtoull(mib, nullptr, 10) : 256) << 20;
        source = dir + "/source.raw";
        target = dir + "/target.raw";
        make_source();
        source_fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        plan_blocks();
    }
    ~Fixture() {
        ::close(source_fd);
        const std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            return;
    }

    void make_source() {
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        std::vector<uint64_t> page(4096 / 8);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (uint64_t off = 0; off < size; off += 4096) {
            if ((off >> 20) % 4 == 3)
                continue;  // one MiB in four is a hole
            const bool zero = (off / 4096) % 8 == 5;
            for (auto& w : page) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = zero ? 0 : x;
            }
            if (::pwrite(fd, page.data(), 4096, static_cast<off_t>(off)) != 4096)
                throw std::runtime_error("pwrite");
        }
        if (::ftruncate(fd, static_cast<off_t>(size)) != 0)
            throw std::runtime_error("ftruncate");
        ::fsync(fd);
        ::close(fd);
    }

    // Like the servant's planner: the data ranges, split into aligned blocks.
    void plan_blocks() {
        off_t pos = 0;
        for (;;) {
            const off_t data = ::lseek(source_fd, pos, SEEK_DATA);
            if (data < 0)
                break;
            const off_t hole = ::lseek(source_fd, data, SEEK_HOLE);
            for (uint64_t b = static_cast<uint64_t>(data) / BLOCK * BLOCK;
                 b < static_cast<uint64_t>(hole); b += BLOCK) {
                if (!blocks.empty() && blocks.back().offset == b)
                    continue;
                const uint64_t len = b + BLOCK <= size ? BLOCK : size - b;
                blocks.push_back(Block{b, len});
                data_bytes += len;
            }
            pos = hole;
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

bool write_image(Fixture& f, const std::string& name, std::vector<char>& buffer) {
    Client_IO_Ex io;
    if (!io.connect(f.dir + "/pool", Client_IO_Base::Options()) ||
        !io.open(name, Client_IO::MODE_WRITE))
        return false;
    Image_Block_Writer writer(io);
    for (const Block& b : f.blocks)
        writer.add_block(b.offset, b.length);
    auto read = [&](uint64_t length, uint64_t offset) -> ssize_t {
        const size_t n = length < buffer.size() ? static_cast<size_t>(length) : buffer.size();
        return ::pread(f.source_fd, buffer.data(), n, static_cast<off_t>(offset));
    };
    return writer.init(512, BLOCK, 1, 0) && writer.write_superblock(UUID, UUID, f.size) &&
           writer.write_blocks(read, nullptr, buffer.data(), buffer.size());
}

void remove_image(Fixture& f, const std::string& name) {
    Client_IO io;
    if (io.connect(f.dir + "/pool", Client_IO_Base::Options()))
        io.remove(name);
}

void run_cp(const std::string& from, const std::string& to) {
    const char* argv[] = {"cp", "--sparse=always", from.c_str(), to.c_str(), nullptr};
    pid_t pid;
    if (::posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        throw std::runtime_error("cannot run cp");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("cp failed");
}

void copy_with_cp(benchmark::State& state, bool sync) {
    Fixture& f = fixture();
    for (auto _ : state) {
        run_cp(f.source, f.target);
        if (sync) {
            const int fd = ::open(f.target.c_str(), O_RDONLY | O_CLOEXEC);
            ::fsync(fd);
            ::close(fd);
        }
        state.PauseTiming();
        ::unlink(f.target.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.data_bytes));
}

void baseline_cp_sparse(benchmark::State& state) {
    copy_with_cp(state, false);
}
void baseline_cp_sparse_fsync(benchmark::State& state) {
    copy_with_cp(state, true);
}

void image_write(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<char> buffer(BLOCK);
    for (auto _ : state) {
        if (!write_image(f, "vm/disk.img", buffer)) {
            state.SkipWithError("image write failed");
            break;
        }
        state.PauseTiming();
        remove_image(f, "vm/disk.img");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.data_bytes));
}

void image_read(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<char> buffer(BLOCK);
    remove_image(f, "vm/read.img");
    if (!write_image(f, "vm/read.img", buffer)) {
        state.SkipWithError("image write failed");
        return;
    }
    Image_Block_Reader reader;
    for (auto _ : state) {
        state.PauseTiming();
        const int out = ::open(f.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        if (out < 0 || ::ftruncate(out, static_cast<off_t>(f.size)) != 0) {
            state.SkipWithError("cannot make the target");
            break;
        }
        state.ResumeTiming();
        Client_IO io;
        const bool ok = io.connect(f.dir + "/pool", Client_IO_Base::Options()) &&
                        io.open("vm/read.img", Client_IO::MODE_READ) &&
                        reader.read_blocks_align(
                            io,
                            [out](char* data, uint64_t length, uint64_t offset) {
                                return ::pwrite(out, data, length, static_cast<off_t>(offset)) ==
                                       static_cast<ssize_t>(length);
                            },
                            BLOCK);
        ::close(out);
        if (!ok) {
            state.SkipWithError(io.error_text().c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.data_bytes));
}

}  // namespace

BENCHMARK(baseline_cp_sparse)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(baseline_cp_sparse_fsync)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(image_write)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(image_read)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

BENCHMARK_MAIN();
