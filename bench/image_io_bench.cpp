// Pool image write and read throughput against `cp --sparse=always` of the
// same sparse source. Source size: BENCH_IMAGE_MIB (default 256) MiB, three
// quarters data (one data page in eight zero), one quarter holes.
//
// The four contenders run side by side, BENCH_IMAGE_ROUNDS rounds (default
// 5), the order rotated from round to round; before each run the last
// target is removed, the file system flushed and the scratch files dropped
// from the page cache, so every contender reads its source from the disk.
// Times are medians, ratios the medians of each round's. The scratch
// directory goes under BENCH_IMAGE_DIR (default /tmp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "host/client_io.h"
#include "host/image_block_reader.h"
#include "host/image_block_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t BLOCK = 262144;
constexpr uint64_t PAGE = 4096;
const unsigned char UUID[16] = {0x42};
// The image every read run reads, written once; and the one write runs make.
const char* const READ_IMAGE = "vm/read.img";
const char* const WRITE_IMAGE = "vm/disk.img";

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class Fixture : public Once_Per_Process<Fixture> {
    friend class Once_Per_Process<Fixture>;

public:
    ~Fixture() {
        if (source_fd_ >= 0)
            ::close(source_fd_);
        remove_dir(&dir_);
    }

    uint64_t data_bytes() const { return data_bytes_; }

    // What every run starts from: no target, no written image, nothing dirty
    // and nothing of the scratch files cached.
    void prepare_run() {
        ::unlink(target_.c_str());
        remove_image(WRITE_IMAGE);
        settle_page_cache({dir_});
    }

    double copy_with_cp(bool sync) {
        const Clock::time_point start = Clock::now();
        run_program({"cp", "--sparse=always", source_, target_});
        if (sync)
            fsync_file(target_);
        return seconds_since(start);
    }

    double image_write() {
        const Clock::time_point start = Clock::now();
        if (!write_image(WRITE_IMAGE))
            throw std::runtime_error("image write failed");
        return seconds_since(start);
    }

    // The image read back into a sparse file the size of the source.
    double image_read() {
        const int out = ::open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        if (out < 0 || ::ftruncate(out, static_cast<off_t>(size_)) != 0) {
            if (out >= 0)
                ::close(out);
            throw std::runtime_error("cannot make " + target_);
        }
        const Clock::time_point start = Clock::now();
        Client_IO io;
        Image_Block_Reader reader;
        const bool ok = io.connect(pool(), Client_IO_Base::Options()) &&
                        io.open(READ_IMAGE, Client_IO::MODE_READ) &&
                        reader.read_blocks_align(
                            io,
                            [out](char* data, uint64_t length, uint64_t offset) {
                                return ::pwrite(out, data, length, static_cast<off_t>(offset)) ==
                                       static_cast<ssize_t>(length);
                            },
                            BLOCK);
        const double seconds = seconds_since(start);
        ::close(out);
        if (!ok)
            throw std::runtime_error("image read failed: " + io.error_text());
        return seconds;
    }

private:
    void set_up() {
        dir_ = make_host_root("BENCH_IMAGE_DIR", "image");
        if (::mkdir(pool().c_str(), 0750) != 0)
            throw std::runtime_error("cannot make " + pool());
        size_ = env_number("BENCH_IMAGE_MIB", 256) << 20;
        source_ = dir_ + "/source.raw";
        target_ = dir_ + "/target.raw";
        make_source();
        source_fd_ = ::open(source_.c_str(), O_RDONLY | O_CLOEXEC);
        if (source_fd_ < 0)
            throw std::runtime_error("cannot open " + source_);
        plan_blocks();
        buffer_.resize(BLOCK);
        if (!write_image(READ_IMAGE))
            throw std::runtime_error("image write failed");
    }

    std::string pool() const { return dir_ + "/pool"; }

    void make_source() {
        const int fd = ::open(source_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        if (fd < 0)
            throw std::runtime_error("cannot make " + source_);
        std::vector<uint64_t> page(PAGE / 8);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        bool ok = true;
        for (uint64_t off = 0; ok && off < size_; off += PAGE) {
            if ((off >> 20) % 4 == 3)
                continue;  // one MiB in four is a hole
            const bool zero = (off / PAGE) % 8 == 5;
            for (auto& w : page) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = zero ? 0 : x;
            }
            ok = ::pwrite(fd, page.data(), PAGE, static_cast<off_t>(off)) ==
                 static_cast<ssize_t>(PAGE);
        }
        ok = ok && ::ftruncate(fd, static_cast<off_t>(size_)) == 0 && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok)
            throw std::runtime_error("cannot write " + source_);
    }

    // Like the servant's planner: the data ranges, split into aligned blocks.
    void plan_blocks() {
        off_t pos = 0;
        for (;;) {
            const off_t data = ::lseek(source_fd_, pos, SEEK_DATA);
            if (data < 0)
                break;
            const off_t hole = ::lseek(source_fd_, data, SEEK_HOLE);
            for (uint64_t b = static_cast<uint64_t>(data) / BLOCK * BLOCK;
                 b < static_cast<uint64_t>(hole); b += BLOCK) {
                if (!blocks_.empty() && blocks_.back().offset == b)
                    continue;
                const uint64_t len = b + BLOCK <= size_ ? BLOCK : size_ - b;
                blocks_.push_back(Block{b, len});
                data_bytes_ += len;
            }
            pos = hole;
        }
    }

    bool write_image(const std::string& name) {
        Client_IO_Ex io;
        if (!io.connect(pool(), Client_IO_Base::Options()) || !io.open(name, Client_IO::MODE_WRITE))
            return false;
        Image_Block_Writer writer(io);
        for (const Block& b : blocks_)
            writer.add_block(b.offset, b.length);
        auto read = [this](uint64_t length, uint64_t offset) -> ssize_t {
            const size_t n = length < buffer_.size() ? static_cast<size_t>(length) : buffer_.size();
            return ::pread(source_fd_, buffer_.data(), n, static_cast<off_t>(offset));
        };
        return writer.init(512, BLOCK, 1, 0) && writer.write_superblock(UUID, UUID, size_) &&
               writer.write_blocks(read, nullptr, buffer_.data(), buffer_.size());
    }

    void remove_image(const std::string& name) {
        Client_IO io;
        if (io.connect(pool(), Client_IO_Base::Options()))
            io.remove(name);
    }

    std::string dir_;
    std::string source_;
    std::string target_;
    uint64_t size_ = 0;
    uint64_t data_bytes_ = 0;
    std::vector<Block> blocks_;  // the source's data ranges in aligned 256 KiB pieces
    std::vector<char> buffer_;
    int source_fd_ = -1;
};

// Every round of every contender, once per process (again after a failure).
const Side_By_Side<double>& rounds() {
    static const Side_By_Side<double> made = [] {
        Fixture& f = Fixture::get();
        Side_By_Side<double> r;
        r.add("cp", [&f] { return f.copy_with_cp(false); });
        r.add("cp_fsync", [&f] { return f.copy_with_cp(true); });
        r.add("image_write", [&f] { return f.image_write(); });
        r.add("image_read", [&f] { return f.image_read(); });
        r.run_rounds(static_cast<int>(env_number("BENCH_IMAGE_ROUNDS", 5)),
                     [&f] { f.prepare_run(); });
        return r;
    }();
    return made;
}

// The contender's median; an image contender's ratio to its baseline.
void report(benchmark::State& state, const char* name, const char* baseline,
            const std::string& what) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Side_By_Side<double>& r = rounds();
            state.SetIterationTime(median(r.runs(name)));
            state.SetBytesProcessed(static_cast<int64_t>(Fixture::get().data_bytes()));
            if (baseline != nullptr)
                ratio_figure(what, per_round_ratios(r.runs(name), r.runs(baseline)), -1);
        });
    }
}

void baseline_cp_sparse(benchmark::State& state) {
    report(state, "cp", nullptr, "");
}
void baseline_cp_sparse_fsync(benchmark::State& state) {
    report(state, "cp_fsync", nullptr, "");
}
void image_write(benchmark::State& state) {
    report(state, "image_write", "cp_fsync", "image write / cp --sparse=always + fsync");
}
void image_read(benchmark::State& state) {
    report(state, "image_read", "cp", "image read / cp --sparse=always");
}

}  // namespace

BENCHMARK(baseline_cp_sparse)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_cp_sparse_fsync)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(image_write)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(image_read)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv) {
    return bench_main<Fixture>(argc, argv, false);
}
