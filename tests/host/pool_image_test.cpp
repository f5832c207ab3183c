#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/client_io.h"
#include "host/crc32c.h"
#include "host/image_block_reader.h"
#include "host/image_block_writer.h"
#include "pool_test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint64_t BLOCK = 262144;
constexpr char SENTINEL = static_cast<char>(0xA5);
const unsigned char UUID[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// A source volume with random data, zero stretches and holes between the
// planned blocks, like an incremental plan.
struct Source {
    std::vector<char> bytes;
    std::vector<Block> blocks;

    Source() : bytes(8 * 1024 * 1024 + 12345, 0) {
        std::mt19937 rng(20240607);
        auto random_fill = [&](uint64_t off, uint64_t len) {
            for (uint64_t i = 0; i < len; ++i)
                bytes[off + i] = static_cast<char>(rng() & 0xff);
        };
        auto plan = [&](uint64_t off, uint64_t len) { blocks.push_back(Block{off, len}); };
        random_fill(0, BLOCK);
        plan(0, BLOCK);      // one whole unit
        plan(BLOCK, BLOCK);  // all zeros: must come back as zeros
        random_fill(2 * BLOCK + BLOCK / 2, BLOCK / 2);
        plan(2 * BLOCK, BLOCK);  // zero half, data half
        for (uint64_t page = 0; page < 3 * BLOCK; page += 8192)
            random_fill(2 * 1024 * 1024 + page, 4096);
        plan(2 * 1024 * 1024, 3 * BLOCK + 4096);  // longer than the buffer, crosses units
        random_fill(4 * 1024 * 1024 + 4096, 8192);
        plan(4 * 1024 * 1024 + 4096, 8192);  // two pieces in one unit, with a hole between
        random_fill(4 * 1024 * 1024 + 16384, 4096);
        plan(4 * 1024 * 1024 + 16384, 4096);
        random_fill(8 * 1024 * 1024, 12345);
        plan(8 * 1024 * 1024, 12345);  // the volume's short tail
        // Holes that are not planned hold data the image must not carry.
        random_fill(5 * 1024 * 1024, 4096);
    }

    bool covered(uint64_t pos) const {
        return std::any_of(blocks.begin(), blocks.end(), [pos](const Block& b) {
            return pos >= b.offset && pos < b.offset + b.length;
        });
    }
    uint64_t planned_bytes() const {
        uint64_t n = 0;
        for (const Block& b : blocks)
            n += b.length;
        return n;
    }
};

struct Delivery {
    uint64_t offset;
    uint64_t length;
};

class ImageTest : public ::testing::Test {
protected:
    ImageTest() : buffer_(BLOCK) {}

    // Writes the source's planned blocks to name through the full writer API.
    bool write_image(const std::string& name,
                     const Image_Block_Writer::Progress_Callback& progress = nullptr) {
        Client_IO_Ex io;
        if (!io.connect(pool_.url(), options_) || !io.open(name, Client_IO::MODE_WRITE)) {
            error_ = io.error_text();
            errno_ = io.last_errno();
            return false;
        }
        Image_Block_Writer writer(io);
        for (const Block& b : src_.blocks)
            writer.add_block(b.offset, b.length);
        const bool ok = writer.init(512, BLOCK, 1, 0) &&
                        writer.write_superblock(UUID, UUID, src_.bytes.size()) &&
                        writer.write_blocks(reader(), progress, buffer_.data(), buffer_.size());
        error_ = io.error_text();
        errno_ = io.last_errno();
        storage_size_ = io.storage_size();
        original_size_ = io.original_size();
        return ok;
    }

    // Opens name for writing and starts an image on it.
    void start_image(Client_IO& io, Image_Block_Writer& writer, const std::string& name) {
        ASSERT_TRUE(io.connect(pool_.url(), options_));
        ASSERT_TRUE(io.open(name, Client_IO::MODE_WRITE));
        ASSERT_TRUE(writer.init(512, BLOCK, 1, 0));
        ASSERT_TRUE(writer.write_superblock(UUID, UUID));
    }

    Image_Block_Writer::Read_Callback reader() {
        return [this](uint64_t length, uint64_t offset) -> ssize_t {
            const uint64_t n = std::min<uint64_t>(length, buffer_.size());
            std::memcpy(buffer_.data(), src_.bytes.data() + offset, n);
            return static_cast<ssize_t>(n);
        };
    }

    // Reads name back over a target filled with SENTINEL, recording every range
    // handed over.
    bool read_image(const std::string& name, uint64_t alignment = BLOCK) {
        target_.assign(src_.bytes.size(), SENTINEL);
        deliveries_.clear();
        Client_IO_Ex io;
        if (!io.connect(pool_.url(), options_) || !io.open(name, Client_IO::MODE_READ)) {
            error_ = io.error_text();
            return false;
        }
        const bool ok = image_reader_.read_blocks_align(
            io,
            [this](char* data, uint64_t length, uint64_t offset) {
                deliveries_.push_back(Delivery{offset, length});
                std::memcpy(target_.data() + offset, data, length);
                return true;
            },
            alignment);
        error_ = io.error_text();
        errno_ = io.last_errno();
        storage_size_ = io.storage_size();
        return ok;
    }

    // Everything handed over is the source's bytes.
    void expect_delivered_bytes_correct() {
        for (const Delivery& d : deliveries_)
            ASSERT_EQ(
                0, std::memcmp(target_.data() + d.offset, src_.bytes.data() + d.offset, d.length))
                << "wrong bytes at " << d.offset;
    }

    Pool_Dir pool_;
    Client_IO_Base::Options options_;
    Source src_;
    std::vector<char> buffer_;
    std::vector<char> target_;
    std::vector<Delivery> deliveries_;
    Image_Block_Reader image_reader_;
    std::string error_;
    int errno_ = 0;
    uint64_t storage_size_ = 0;
    uint64_t original_size_ = 0;
};

TEST(Crc32c, KnownValuesAndBothImplementationsAgree) {
    EXPECT_EQ(0xE3069283u, crc32c(0, "123456789", 9));
    EXPECT_EQ(0xE3069283u, crc32c_portable(0, "123456789", 9));
    EXPECT_EQ(0u, crc32c(0, "", 0));
    std::vector<unsigned char> data(1000);
    std::mt19937 rng(7);
    for (auto& c : data)
        c = static_cast<unsigned char>(rng());
    for (size_t start = 0; start < 9; ++start) {
        for (size_t len = 0; len + start <= data.size(); len += 37) {
            const unsigned char* p = data.data() + start;
            const uint32_t whole = crc32c(0, p, len);
            ASSERT_EQ(crc32c_portable(0, p, len), whole) << start << "+" << len;
            ASSERT_EQ(whole, crc32c(crc32c(0, p, len / 2), p + len / 2, len - len / 2));
        }
    }
}

TEST_F(ImageTest, SparseDataComesBackByteExact) {
    ASSERT_TRUE(write_image("res/vm/disk.img")) << error_;
    EXPECT_THAT(pool_.files(), ElementsAre("res/vm/disk.img"));
    EXPECT_EQ(src_.planned_bytes(), original_size_);
    EXPECT_EQ(file_text(pool_.path("res/vm/disk.img")).size(), storage_size_);
    EXPECT_LT(storage_size_, src_.planned_bytes()) << "zero runs are not stored";

    const uint64_t stored = storage_size_;
    ASSERT_TRUE(read_image("res/vm/disk.img")) << error_;
    EXPECT_EQ(stored, storage_size_);
    for (uint64_t pos = 0; pos < src_.bytes.size(); ++pos) {
        if (src_.covered(pos))
            ASSERT_EQ(src_.bytes[pos], target_[pos]) << "at " << pos;
        else
            ASSERT_EQ(SENTINEL, target_[pos]) << "written outside the image's blocks at " << pos;
    }
    const qorm::Image_Superblock& sb = image_reader_.superblock();
    EXPECT_EQ(512u, sb.sector_size);
    EXPECT_EQ(BLOCK, sb.block_size);
    EXPECT_EQ(0, std::memcmp(UUID, sb.uuid1, 16));
    EXPECT_EQ(0, std::memcmp(UUID, sb.uuid2, 16));
    EXPECT_EQ(src_.bytes.size(), sb.volume_size);
    EXPECT_GT(sb.created, 0);
}

TEST_F(ImageTest, RangesHandedOverStayInsideAlignedUnits) {
    ASSERT_TRUE(write_image("disk.img")) << error_;
    ASSERT_TRUE(read_image("disk.img")) << error_;
    uint64_t last_end = 0;
    for (const Delivery& d : deliveries_) {
        EXPECT_GE(d.offset, last_end) << "out of order";
        EXPECT_EQ(d.offset / BLOCK, (d.offset + d.length - 1) / BLOCK)
            << "crosses a unit at " << d.offset;
        last_end = d.offset + d.length;
    }
    // Whole units come whole; the two pieces with a hole between come apart.
    EXPECT_EQ(0u, deliveries_.front().offset);
    EXPECT_EQ(BLOCK, deliveries_.front().length);
    const uint64_t four_mib = 4 * 1024 * 1024;
    std::vector<std::pair<uint64_t, uint64_t>> in_unit;
    for (const Delivery& d : deliveries_)
        if (d.offset / BLOCK == four_mib / BLOCK)
            in_unit.emplace_back(d.offset, d.length);
    EXPECT_THAT(in_unit, ElementsAre(std::make_pair(four_mib + 4096, uint64_t(8192)),
                                     std::make_pair(four_mib + 16384, uint64_t(4096))));

    // A smaller alignment splits the same data finer but the bytes stay exact.
    ASSERT_TRUE(read_image("disk.img", 65536)) << error_;
    for (const Delivery& d : deliveries_)
        EXPECT_EQ(d.offset / 65536, (d.offset + d.length - 1) / 65536);
    expect_delivered_bytes_correct();
}

TEST_F(ImageTest, DamagedOrCutImageFailsAndNeverHandsOverWrongBytes) {
    ASSERT_TRUE(write_image("disk.img")) << error_;
    const std::string path = pool_.path("disk.img");
    const std::string good = file_text(path);
    struct Row {
        std::string what, bytes;
        const char* message;
    };
    std::vector<Row> rows;
    // superblock, first record header, data of the first record, data deep in
    // the file, the end record.
    for (size_t at : {size_t(100), size_t(512 + 9), size_t(512 + 32 + 1000), good.size() / 2,
                      good.size() - 10}) {
        rows.push_back(Row{"flip at " + std::to_string(at), good, "damaged"});
        rows.back().bytes[at] ^= 0x40;
    }
    for (size_t keep : {size_t(100), size_t(512 + 10), size_t(512 + 32 + 5000), good.size() / 2,
                        good.size() - 32, good.size() - 1})
        rows.push_back(Row{"cut to " + std::to_string(keep), good.substr(0, keep), "truncated"});
    rows.push_back(Row{"a byte more", good + "x", "follows the end"});
    rows.push_back(Row{"not an image", std::string(600, 'x'), "not an image"});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        put_file(path, r.bytes);
        EXPECT_FALSE(read_image("disk.img"));
        EXPECT_EQ(EBADMSG, errno_);
        EXPECT_NE(std::string::npos, error_.find(r.message)) << error_;
        expect_delivered_bytes_correct();
    }
}

TEST_F(ImageTest, EmptyFileIsAnImageWithoutData) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    ASSERT_TRUE(io.open("vm/not_exists_disk.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io.close()) << io.error_text();
    EXPECT_EQ(0u, io.storage_size());
    ASSERT_TRUE(read_image("vm/not_exists_disk.img")) << error_;
    EXPECT_THAT(deliveries_, IsEmpty());
}

TEST_F(ImageTest, WriterDestroyedBeforeTheEndLeavesNoFile) {
    {
        Client_IO io;
        Image_Block_Writer writer(io);
        ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "disk.img"));
        ASSERT_TRUE(writer.write_data(0, src_.bytes.data(), BLOCK));
    }
    EXPECT_THAT(pool_.files(), IsEmpty());

    // Even when the I/O is closed after the writer is gone.
    Client_IO io;
    {
        Image_Block_Writer writer(io);
        ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "disk.img"));
    }
    EXPECT_FALSE(io.close());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(ImageTest, StoppedOrFailedSourceLeavesNoFile) {
    int calls = 0;
    EXPECT_FALSE(write_image("stopped.img", [&calls](uint64_t) { return ++calls < 3; }));
    EXPECT_EQ(ECANCELED, errno_);
    EXPECT_THAT(pool_.files(), IsEmpty());

    Client_IO io;
    Image_Block_Writer writer(io);
    writer.add_block(0, BLOCK);
    ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "bad-source.img"));
    EXPECT_FALSE(writer.write_blocks([](uint64_t, uint64_t) -> ssize_t { return -1; }, nullptr,
                                     buffer_.data(), buffer_.size()));
    EXPECT_NE(std::string::npos, io.error_text().find("offset 0")) << io.error_text();
    EXPECT_FALSE(writer.finish()) << "a failed writer stays failed";
    EXPECT_FALSE(io.is_open()) << "the writer discarded the file";
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(ImageTest, FailedPoolWriteOrATakenNameFailsTheImage) {
    for (Client_IO::Fault_Step step : {Client_IO::FAULT_WRITE, Client_IO::FAULT_FLUSH,
                                       Client_IO::FAULT_CLOSE, Client_IO::FAULT_RENAME}) {
        SCOPED_TRACE(step);
        Client_IO::inject_fault(step, EIO);
        EXPECT_FALSE(write_image("disk.img"));
        EXPECT_EQ(EIO, errno_);
        EXPECT_THAT(pool_.files(), IsEmpty());
        Client_IO::clear_faults();
    }
    put_file(pool_.path("disk.img"), "older image");
    EXPECT_FALSE(write_image("disk.img"));
    EXPECT_EQ(EEXIST, errno_);
    EXPECT_EQ("older image", file_text(pool_.path("disk.img")));
}

TEST_F(ImageTest, WriterRefusesBadSettingsAndDisorder) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    struct Geometry {
        uint32_t sector, block, checksum, compression;
    };
    for (const Geometry& g :
         {Geometry{0, BLOCK, 1, 0}, Geometry{500, BLOCK, 1, 0}, Geometry{512, 1000, 1, 0},
          Geometry{512, BLOCK, 0, 0}, Geometry{512, BLOCK, 1, 1}}) {
        ASSERT_TRUE(io.open("g.img", Client_IO::MODE_WRITE));
        Image_Block_Writer writer(io);
        EXPECT_FALSE(writer.init(g.sector, g.block, g.checksum, g.compression));
        EXPECT_EQ(EINVAL, io.last_errno());
        EXPECT_FALSE(io.is_open()) << "a failed writer discards its file";
    }
    Image_Block_Writer writer(io);
    writer.add_block(BLOCK, BLOCK);
    writer.add_block(0, BLOCK);
    ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "order.img"));
    EXPECT_FALSE(writer.write_blocks(reader(), nullptr, buffer_.data(), buffer_.size()));
    EXPECT_EQ(EINVAL, io.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(ImageTest, ReceiverThatStopsFailsTheRead) {
    ASSERT_TRUE(write_image("disk.img")) << error_;
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    ASSERT_TRUE(io.open("disk.img", Client_IO::MODE_READ));
    int calls = 0;
    EXPECT_FALSE(image_reader_.read_blocks_align(
        io, [&calls](char*, uint64_t, uint64_t) { return ++calls < 2; }, BLOCK));
    EXPECT_EQ(2, calls);
    EXPECT_EQ(ECANCELED, io.last_errno());
}

}  // namespace
