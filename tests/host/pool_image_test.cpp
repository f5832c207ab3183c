// Image files in the pool: what goes in comes back byte for byte, damage is
// caught, and an image that does not finish leaves nothing behind.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <utility>
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

constexpr uint64_t BLOCK = 262144, MIB = 1024 * 1024;
constexpr char SENTINEL = static_cast<char>(0xA5);
const unsigned char UUID[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// (offset, length) ranges handed over by a read, in order.
using Deliveries = std::vector<std::pair<uint64_t, uint64_t>>;

class ImageTest : public ::testing::Test {
protected:
    // A source volume like an incremental plan: random data, zero stretches,
    // and data in holes between the planned blocks that the image must not carry.
    ImageTest() : bytes_(8 * MIB + 12345, 0), buffer_(BLOCK) {
        std::mt19937 rng(20240607);
        auto fill = [&](uint64_t off, uint64_t len) {
            std::generate_n(bytes_.begin() + off, len, [&] { return static_cast<char>(rng()); });
        };
        fill(0, BLOCK);
        fill(2 * BLOCK + BLOCK / 2, BLOCK / 2);  // the third unit: zero half, data half
        for (uint64_t page = 0; page < 3 * BLOCK; page += 8192)
            fill(2 * MIB + page, 4096);
        fill(4 * MIB + 4096, 8192);
        fill(4 * MIB + 16384, 4096);
        fill(5 * MIB, 4096);  // not planned
        fill(8 * MIB, 12345);
    }

    // Writes the planned blocks to name through the full writer API.
    bool write_image(const std::string& name,
                     const Image_Block_Writer::Progress_Callback& progress = nullptr) {
        Client_IO_Ex io;
        Image_Block_Writer writer(io);
        for (const Block& b : blocks_)
            writer.add_block(b.offset, b.length);
        const bool ok = io.connect(pool_.url(), options_) && io.open(name, Client_IO::MODE_WRITE) &&
                        writer.init(512, BLOCK, 1, 0) &&
                        writer.write_superblock(UUID, UUID, bytes_.size()) &&
                        writer.write_blocks(reader(), progress, buffer_.data(), buffer_.size());
        return done(io, ok);
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
            std::memcpy(buffer_.data(), bytes_.data() + offset, n);
            return static_cast<ssize_t>(n);
        };
    }

    // Reads name back over a target filled with SENTINEL; every range handed
    // over must hold the source's bytes.
    bool read_image(const std::string& name, uint64_t alignment = BLOCK) {
        target_.assign(bytes_.size(), SENTINEL);
        deliveries_.clear();
        Client_IO_Ex io;
        const bool ok = io.connect(pool_.url(), options_) && io.open(name, Client_IO::MODE_READ) &&
                        image_reader_.read_blocks_align(
                            io,
                            [this](char* data, uint64_t length, uint64_t offset) {
                                deliveries_.emplace_back(offset, length);
                                std::memcpy(target_.data() + offset, data, length);
                                return true;
                            },
                            alignment);
        for (const auto& d : deliveries_)
            EXPECT_EQ(0, std::memcmp(&target_[d.first], &bytes_[d.first], d.second))
                << "wrong bytes at " << d.first;
        return done(io, ok);
    }

    bool done(const Client_IO& io, bool ok) {
        error_ = io.error_text();
        errno_ = io.last_errno();
        storage_size_ = io.storage_size();
        original_size_ = io.original_size();
        return ok;
    }

    Pool_Dir pool_;
    Client_IO_Base::Options options_;
    std::vector<char> bytes_, buffer_, target_;
    const std::vector<Block> blocks_ = {
        {0, BLOCK},                   // one whole unit
        {BLOCK, BLOCK},               // all zeros: must come back as zeros
        {2 * BLOCK, BLOCK},           // zero half, data half
        {2 * MIB, 3 * BLOCK + 4096},  // longer than the buffer, crosses units
        {4 * MIB + 4096, 8192},       // two pieces in one unit, with a hole between
        {4 * MIB + 16384, 4096},
        {8 * MIB, 12345},  // the volume's short tail
    };
    Deliveries deliveries_;
    Image_Block_Reader image_reader_;
    std::string error_;
    int errno_ = 0;
    uint64_t storage_size_ = 0, original_size_ = 0;
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

TEST_F(ImageTest, SparseDataComesBackByteExactInAlignedUnits) {
    ASSERT_TRUE(write_image("res/vm/disk.img")) << error_;
    EXPECT_THAT(pool_.files(), ElementsAre("res/vm/disk.img"));
    uint64_t planned = 0;
    for (const Block& b : blocks_)
        planned += b.length;
    EXPECT_EQ(planned, original_size_);
    EXPECT_EQ(file_text(pool_.path("res/vm/disk.img")).size(), storage_size_);
    EXPECT_LT(storage_size_, planned) << "zero runs are not stored";

    ASSERT_TRUE(read_image("res/vm/disk.img")) << error_;
    std::vector<char> expected(bytes_.size(), SENTINEL);
    for (const Block& b : blocks_)
        std::copy_n(bytes_.begin() + b.offset, b.length, expected.begin() + b.offset);
    EXPECT_TRUE(expected == target_) << "only the planned blocks come back, and exact";
    const qorm::Image_Superblock& sb = image_reader_.superblock();
    EXPECT_EQ(512u, sb.sector_size);
    EXPECT_EQ(BLOCK, sb.block_size);
    EXPECT_EQ(0, std::memcmp(UUID, sb.uuid1, 16) | std::memcmp(UUID, sb.uuid2, 16));
    EXPECT_EQ(bytes_.size(), sb.volume_size);
    EXPECT_GT(sb.created, 0);

    // Ranges come in order, each inside one unit of the alignment; whole units
    // come whole, the two pieces with a hole between come apart.
    for (uint64_t unit : {BLOCK, uint64_t(65536)}) {
        ASSERT_TRUE(read_image("res/vm/disk.img", unit)) << error_;
        uint64_t last_end = 0;
        for (const auto& d : deliveries_) {
            EXPECT_GE(d.first, last_end) << "out of order";
            EXPECT_EQ(d.first / unit, (d.first + d.second - 1) / unit) << "crosses " << d.first;
            last_end = d.first + d.second;
        }
    }
    ASSERT_TRUE(read_image("res/vm/disk.img")) << error_;
    EXPECT_EQ(std::make_pair(uint64_t(0), BLOCK), deliveries_.front());
    Deliveries in_unit;
    std::copy_if(deliveries_.begin(), deliveries_.end(), std::back_inserter(in_unit),
                 [](const auto& d) { return d.first / BLOCK == 4 * MIB / BLOCK; });
    EXPECT_THAT(in_unit, ElementsAre(std::make_pair(4 * MIB + 4096, uint64_t(8192)),
                                     std::make_pair(4 * MIB + 16384, uint64_t(4096))));
}

TEST_F(ImageTest, DamagedOrCutImageFailsAndNeverHandsOverWrongBytes) {
    ASSERT_TRUE(write_image("disk.img")) << error_;
    const std::string good = file_text(pool_.path("disk.img"));
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
        put_file(pool_.path("disk.img"), r.bytes);
        EXPECT_FALSE(read_image("disk.img"));
        EXPECT_EQ(EBADMSG, errno_);
        EXPECT_NE(std::string::npos, error_.find(r.message)) << error_;
    }
}

TEST_F(ImageTest, EmptyFileIsAnImageWithoutDataAndAReceiverMayStopTheRead) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    ASSERT_TRUE(io.open("vm/not_exists_disk.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io.close()) << io.error_text();
    EXPECT_EQ(0u, io.storage_size());
    ASSERT_TRUE(read_image("vm/not_exists_disk.img")) << error_;
    EXPECT_THAT(deliveries_, IsEmpty());

    ASSERT_TRUE(write_image("disk.img")) << error_;
    ASSERT_TRUE(io.open("disk.img", Client_IO::MODE_READ));
    int calls = 0;
    EXPECT_FALSE(image_reader_.read_blocks_align(
        io, [&calls](char*, uint64_t, uint64_t) { return ++calls < 2; }, BLOCK));
    EXPECT_EQ(2, calls);
    EXPECT_EQ(ECANCELED, io.last_errno());
}

TEST_F(ImageTest, AnImageThatDoesNotFinishLeavesNoFile) {
    {
        Client_IO io;
        Image_Block_Writer writer(io);
        ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "destroyed.img"));
        ASSERT_TRUE(writer.write_data(0, bytes_.data(), BLOCK));
    }
    Client_IO io;
    {
        Image_Block_Writer writer(io);
        ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "closed-later.img"));
    }
    EXPECT_FALSE(io.close());

    int calls = 0;
    EXPECT_FALSE(write_image("stopped.img", [&calls](uint64_t) { return ++calls < 3; }));
    EXPECT_EQ(ECANCELED, errno_);

    Image_Block_Writer writer(io);
    writer.add_block(0, BLOCK);
    ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "bad-source.img"));
    EXPECT_FALSE(writer.write_blocks([](uint64_t, uint64_t) -> ssize_t { return -1; }, nullptr,
                                     buffer_.data(), buffer_.size()));
    EXPECT_NE(std::string::npos, io.error_text().find("offset 0")) << io.error_text();
    EXPECT_FALSE(writer.finish()) << "a failed writer stays failed";
    EXPECT_FALSE(io.is_open()) << "the writer discarded the file";

    for (Client_IO::Fault_Step step : {Client_IO::FAULT_WRITE, Client_IO::FAULT_FLUSH,
                                       Client_IO::FAULT_CLOSE, Client_IO::FAULT_RENAME}) {
        Client_IO::inject_fault(step, EIO);
        EXPECT_FALSE(write_image("disk.img")) << step;
        EXPECT_EQ(EIO, errno_) << step;
        Client_IO::clear_faults();
    }
    EXPECT_THAT(pool_.files(), IsEmpty());

    put_file(pool_.path("disk.img"), "older image");
    EXPECT_FALSE(write_image("disk.img"));
    EXPECT_EQ(EEXIST, errno_);
    EXPECT_EQ("older image", file_text(pool_.path("disk.img"))) << "never overwritten";
}

TEST_F(ImageTest, WriterRefusesBadSettingsAndDisorder) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    const uint32_t bad[][4] = {
        {0, BLOCK, 1, 0},   {500, BLOCK, 1, 0}, {512, 1000, 1, 0},
        {512, BLOCK, 0, 0}, {512, BLOCK, 1, 1},  // sector, block, checksum, compression
    };
    for (const auto& g : bad) {
        ASSERT_TRUE(io.open("g.img", Client_IO::MODE_WRITE));
        Image_Block_Writer writer(io);
        EXPECT_FALSE(writer.init(g[0], g[1], g[2], g[3]));
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

}  // namespace
