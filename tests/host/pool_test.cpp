// The storage pool as the host reaches it: pool records and the options they
// give, file I/O that never leaves a partial or overwritten file behind, and
// image files whose damage is caught.
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/client_io.h"
#include "host/crc32c.h"
#include "host/image_block_reader.h"
#include "host/image_block_writer.h"
#include "host/image_format.h"
#include "host/paths.h"
#include "host/pool_service.h"
#include "host/pool_sweep.h"
#include "pool_test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

const std::string POOL = "5d6f0a6e-1111-4c2b-9d7e-000000000001";

// A pool directory, a client connected to it, and the host's pools file.
class PoolTest : public ::testing::Test {
protected:
    PoolTest() { EXPECT_TRUE(io_.connect(pool_.url(), options_)); }

    void write_pools(const std::string& pools_json) {
        const std::string path = pools_file_path();
        ASSERT_EQ(0, make_directories(path.substr(0, path.rfind('/')), 0750));
        put_file(path, "{\"pools\": " + pools_json + "}");
    }

    std::string pool_record(const std::string& extra = "") {
        return "{\"uuid\": \"" + POOL + "\", \"name\": \"local\", \"url\": \"" + pool_.url() +
               "\"" + extra + "}";
    }

    // Stores text as name in one call.
    bool put(const std::string& name, const std::string& text,
             int flags = Client_IO_Ex::PUT_EXCLUSIVE) {
        std::stringstream in(text);
        return io_.put_stream(in, name, flags);
    }

    Pool_Dir pool_;
    Client_IO_Base::Options options_;
    Client_IO_Ex io_;
};

TEST_F(PoolTest, ConnectTakesOnlyLocalDirectoriesAndNoClientSideEncryption) {
    put_file(pool_.path("plain"), "x");
    // url, errno (0: connects)
    const std::pair<std::string, int> rows[] = {{"file://localhost" + pool_.dir(), 0},
                                                {pool_.dir() + "//", 0},
                                                {pool_.url() + "/not-yet", 0},
                                                {"relative/dir", EINVAL},
                                                {"s3://bucket/x", EPROTONOSUPPORT},
                                                {pool_.dir() + "/../escape", EINVAL},
                                                {pool_.dir() + "/missing/deeper", ENOENT},
                                                {pool_.path("plain"), ENOTDIR}};
    for (const auto& [url, err] : rows) {
        SCOPED_TRACE(url);
        Client_IO io;
        EXPECT_EQ(err == 0, io.connect(url, options_)) << io.error_text();
        EXPECT_EQ(err, err == 0 ? 0 : io.last_errno());
        EXPECT_EQ(err == 0, io.connected());
    }
    Client_IO io;
    EXPECT_FALSE(io.connect(static_cast<const char*>(nullptr), options_));
    EXPECT_FALSE(io.open("a", Client_IO::MODE_WRITE));
    EXPECT_EQ(ENOTCONN, io.last_errno());
    ASSERT_TRUE(io.connect(pool_.url() + "/not-yet", options_));
    EXPECT_EQ(pool_.dir() + "/not-yet", io.directory());
    options_.cipher = 1;  // refused rather than store plain text
    EXPECT_FALSE(io.connect(pool_.url(), options_));
    EXPECT_EQ(ENOTSUP, io.last_errno());
}

TEST_F(PoolTest, NamesMustStayInsideThePool) {
    for (const char* bad : {"", "/etc/passwd", "../x", "a/../../x", "a//b", "a/./b", "a/", "."}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(io_.open(bad, Client_IO::MODE_WRITE));
        EXPECT_EQ(EINVAL, io_.last_errno());
        EXPECT_FALSE(io_.remove(bad));
    }
    EXPECT_FALSE(io_.open(static_cast<const char*>(nullptr), Client_IO::MODE_READ));
    EXPECT_FALSE(io_.open("x", 7));
    EXPECT_EQ(EINVAL, io_.last_errno());
    EXPECT_FALSE(io_.open("vm/missing.img", Client_IO::MODE_READ));
    EXPECT_EQ(ENOENT, io_.last_errno());
    EXPECT_NE(std::string::npos, io_.error_text().find("vm/missing.img"));
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(PoolTest, WrittenFileAppearsOnlyAtCloseAndReadsBack) {
    ASSERT_TRUE(io_.connect(pool_.url() + "/res", options_));
    ASSERT_TRUE(io_.open("vm-1/disk.img", Client_IO::MODE_WRITE)) << io_.error_text();
    ASSERT_TRUE(io_.write("hello ", 6));
    ASSERT_TRUE(io_.write("pool", 4));
    ASSERT_TRUE(io_.flush());
    ASSERT_EQ(1u, pool_.files().size());
    EXPECT_NE("res/vm-1/disk.img", pool_.files()[0]) << "visible before close";
    EXPECT_FALSE(io_.open("other", Client_IO::MODE_WRITE));
    EXPECT_EQ(EBUSY, io_.last_errno());
    ASSERT_TRUE(io_.close()) << io_.error_text();
    EXPECT_THAT(pool_.files(), ElementsAre("res/vm-1/disk.img"));
    EXPECT_EQ(10u, io_.storage_size());
    EXPECT_TRUE(io_.close()) << "closing twice is harmless";
    ASSERT_TRUE(io_.open("vm-1/disk.img", Client_IO::MODE_READ));
    EXPECT_EQ(10u, io_.storage_size());
    char buf[32];
    ASSERT_EQ(10, io_.read(buf, sizeof buf));
    EXPECT_EQ("hello pool", std::string(buf, 10));
    EXPECT_EQ(0, io_.read(buf, sizeof buf));
    EXPECT_TRUE(io_.close());
}

TEST_F(PoolTest, AbandonedIncompleteOrRemovedWritesLeaveNothing) {
    {
        Client_IO io;
        ASSERT_TRUE(io.connect(pool_.url(), options_));
        ASSERT_TRUE(io.open("vm/disk.img", Client_IO::MODE_WRITE));
        ASSERT_TRUE(io.write("partial", 7));
    }
    ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_WRITE));
    io_.set_incomplete(true);
    EXPECT_FALSE(io_.close());
    ASSERT_TRUE(put("a/done.img", "x"));
    EXPECT_TRUE(io_.remove("a/done.img"));
    EXPECT_TRUE(io_.remove("a/done.img"));
    ASSERT_TRUE(io_.open("a/busy.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io_.write("y", 1));
    EXPECT_TRUE(io_.remove("a/busy.img"));
    EXPECT_FALSE(io_.is_open());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

// A killed writer's temporary holds no lock: it goes, a live writer's stays.
TEST_F(PoolTest, TemporariesOfWritersThatAreGoneAreReclaimed) {
    ASSERT_TRUE(io_.open("vm/live.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io_.write("data", 4));
    ASSERT_EQ(pool_.files().size(), 1u);
    const std::string live = pool_.files()[0];
    put_file(pool_.path("vm/.dead.img.part-AbC123"), "data");
    put_file(pool_.path("vm/.old.img.part-XyZ789"), "");
    const struct timeval long_ago[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    for (const std::string& old : {live, std::string("vm/.old.img.part-XyZ789")})
        ASSERT_EQ(::utimes(pool_.path(old).c_str(), long_ago), 0);
    // Made a moment ago: its writer may not have locked it yet.
    put_file(pool_.path("vm/.new.img.part-QwE456"), "");
    put_file(pool_.path("vm/done.img"), "x");
    std::vector<std::string> listed;
    ASSERT_TRUE(list_pool_files(io_, "vm", listed));
    EXPECT_EQ(listed, pool_.files());
    EXPECT_EQ(listed.size(), 5u);

    EXPECT_EQ(reclaim_pool_temporaries(io_, "vm"), 2);
    EXPECT_EQ(reclaim_pool_temporaries(io_, "missing"), 0);
    EXPECT_EQ(reclaim_pool_temporaries(io_, "../vm"), -1);
    ASSERT_TRUE(io_.close());
    EXPECT_EQ(pool_.files(),
              (std::vector<std::string>{"vm/.new.img.part-QwE456", "vm/done.img", "vm/live.img"}));
}

TEST_F(PoolTest, ExistingNameIsNeverOverwrittenUnlessAsked) {
    ASSERT_TRUE(put("vm-1/info.json", "{\"id\": \"vm-1\"}")) << io_.error_text();
    EXPECT_EQ(14u, io_.original_size());
    EXPECT_EQ(14u, io_.storage_size());
    EXPECT_FALSE(io_.open("vm-1/info.json", Client_IO::MODE_WRITE));
    EXPECT_EQ(EEXIST, io_.last_errno());
    EXPECT_FALSE(put("vm-1/info.json", "other", 0)) << "overwrite is off";
    for (bool overwrite : {false, true}) {
        options_.overwrite = overwrite;
        ASSERT_TRUE(io_.connect(pool_.url(), options_));
        EXPECT_FALSE(put("vm-1/info.json", "other"));
        EXPECT_EQ(EEXIST, io_.last_errno());
    }
    EXPECT_EQ("{\"id\": \"vm-1\"}", file_text(pool_.path("vm-1/info.json")));
    EXPECT_TRUE(put("vm-1/info.json", "replaced", 0)) << io_.error_text();
    EXPECT_EQ("replaced", file_text(pool_.path("vm-1/info.json")));

    // A name taken while the file is being written: the close fails and the
    // other file stays.
    ASSERT_TRUE(io_.open("late.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io_.write("mine", 4));
    put_file(pool_.path("late.img"), "theirs");
    EXPECT_FALSE(io_.close());
    EXPECT_EQ(EEXIST, io_.last_errno());
    EXPECT_EQ("theirs", file_text(pool_.path("late.img")));
    EXPECT_THAT(pool_.files(), ElementsAre("late.img", "vm-1/info.json"));
}

TEST_F(PoolTest, FailedWriteFlushOrCloseFailsTheFile) {
    for (const auto& [step, err] :
         {std::make_pair(Client_IO::FAULT_WRITE, ENOSPC),
          std::make_pair(Client_IO::FAULT_FLUSH, EIO), std::make_pair(Client_IO::FAULT_CLOSE, EIO),
          std::make_pair(Client_IO::FAULT_RENAME, EROFS)}) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_WRITE));
        Client_IO::inject_fault(step, err);
        EXPECT_EQ(step != Client_IO::FAULT_WRITE, io_.write("data", 4));
        EXPECT_FALSE(io_.close());
        EXPECT_EQ(err, io_.last_errno());
        EXPECT_NE(std::string::npos, io_.error_text().find("disk.img")) << io_.error_text();
        EXPECT_THAT(pool_.files(), IsEmpty());
        Client_IO::clear_faults();
    }
    Client_IO::inject_fault(Client_IO::FAULT_FLUSH, EIO);
    EXPECT_FALSE(put("info.json", "text"));
    EXPECT_EQ(EIO, io_.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(PoolTest, PiecesOfAnySizeLandInPlaceDirectOrThroughThePageCache) {
    constexpr size_t MB = 1 << 20;
    // Piece sizes; 0 flushes.
    const std::vector<std::vector<size_t>> rows = {
        {1},
        {4095, 0, 2, 0, 4096},
        {MB},
        {3, MB + 4097, 0, MB - 3, 5},
        {MB - 1, 0, 1, 2 * MB + 17},
        {2 * MB + 1, 5 * MB, 0, 3 * MB, 7},  // pieces written behind
    };
    for (const bool refused : {false, true}) {
        for (const auto& pieces : rows) {
            SCOPED_TRACE(::testing::PrintToString(pieces) + (refused ? " refused" : " direct"));
            if (refused)
                Client_IO::inject_fault(Client_IO::FAULT_DIRECT, EINVAL, 1000);
            ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_WRITE));
            std::string all;
            for (const size_t n : pieces) {
                if (n == 0) {
                    ASSERT_TRUE(io_.flush()) << io_.error_text();
                    EXPECT_TRUE(all == file_text(pool_.path(pool_.files()[0])));
                    continue;
                }
                // Bytes that tell where they belong.
                std::string piece(n, '\0');
                for (size_t i = 0, at = all.size(); i < n; ++i, ++at)
                    piece[i] = static_cast<char>(at * 7 + at / 4093);
                ASSERT_TRUE(io_.write(piece.data(), n)) << io_.error_text();
                all += piece;
            }
            ASSERT_TRUE(io_.close()) << io_.error_text();
            EXPECT_EQ(all.size(), io_.storage_size());
            EXPECT_TRUE(all == file_text(pool_.path("disk.img")));
            // Read back in odd sizes, across the pieces read ahead.
            ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_READ));
            std::string back;
            for (size_t i = 0;; ++i) {
                std::string got(std::vector<size_t>{1, 4095, MB + 3, 9 * MB}[i % 4], '\0');
                const ssize_t n = io_.read(&got[0], got.size());
                ASSERT_GE(n, 0) << io_.error_text();
                if (n == 0)
                    break;
                back.append(got, 0, static_cast<size_t>(n));
            }
            EXPECT_TRUE(all == back);
            io_.close();
            ASSERT_TRUE(io_.remove("disk.img"));
            Client_IO::clear_faults();
        }
    }
}

TEST_F(PoolTest, ReadsThePoolRecordForADeviceFromTheHostsOrANamedFile) {
    write_pools(
        "[{\"uuid\": \"other\", \"url\": \"/x\"}, " +
        pool_record(", \"host_uuid\": \"h-1\", \"tenant_access_key\": \"tenant-key\","
                    " \"node_addrs\": {\"n1\": \"10.0.0.1\"}, \"default_s3\": {\"secret\": \"s\"},"
                    " \"devices\": [\"dev-1\", \"dev-2\"], \"cipher\": 0, \"s3_enabled\": false") +
        "]");
    Pool_Info info;
    ASSERT_TRUE(
        get_pool_info(POOL, "dev-2", info, false, 0, nullptr, true, nullptr, nullptr, false));
    EXPECT_EQ(std::make_tuple(POOL, "local", "h-1", pool_.url(), "tenant-key"),
              std::make_tuple(info.uuid, info.name, info.host_uuid, info.url,
                              info.tenant_access_key.str()));
    EXPECT_THAT(info.node_addrs, ElementsAre(Pair("n1", "10.0.0.1")));
    EXPECT_EQ(1u, info.default_s3.size());
    EXPECT_TRUE(info.device_exists);

    // A device the pool does not list is refused, or reported when asked.
    Pool_Info outside;
    std::string error;
    EXPECT_FALSE(get_pool_info(POOL, "dev-9", outside, true, 0, nullptr, true, &error));
    EXPECT_NE(std::string::npos, error.find("dev-9")) << error;
    EXPECT_TRUE(outside.uuid.empty()) << "unchanged on failure";
    ASSERT_TRUE(get_pool_info(POOL, "dev-9", outside, true, 0, nullptr, false));
    EXPECT_FALSE(outside.device_exists);
    EXPECT_FALSE(set_options_by_pool(options_, outside)) << "not from this device";
    const std::string other = pool_.root().file("other-pools.json");
    put_file(other, "{\"pools\": [{\"uuid\": \"" + POOL + "\", \"url\": \"/elsewhere\"}]}");
    EXPECT_TRUE(get_pool_info(POOL, "", info, true, 0, nullptr, true, nullptr, other.c_str()));
    EXPECT_EQ("/elsewhere", info.url);
}

TEST_F(PoolTest, UnknownPoolAndBadFilesFailWithTheReasonAndUnreadableOnesAreRetried) {
    const std::string good = "[" + pool_record() + "]";
    const std::tuple<std::string, std::string, const char*> rows[] = {
        {"", POOL, "pools.json"},  // no file
        {good, "no-such-pool", "no-such-pool"},
        {good, "", ""},
        {"[", POOL, "malformed"},
        {"[{\"uuid\": \"" + POOL + "\", \"url\": 7}]", POOL, "url"},
        {"[{\"uuid\": \"" + POOL + "\"}]", POOL, "no url"}};
    for (const auto& [pools, uuid, reason] : rows) {
        SCOPED_TRACE(pools);
        if (!pools.empty())
            write_pools(pools);
        Pool_Info info;
        std::string error;
        EXPECT_FALSE(get_pool_info(uuid, "", info, true, 0, nullptr, true, &error));
        EXPECT_NE(std::string::npos, error.find(reason)) << error;
        EXPECT_TRUE(info.uuid.empty());
    }
    Pool_Info info;
    EXPECT_TRUE(get_pool_info(POOL, "", info, true, 0, nullptr, true, nullptr, nullptr, true))
        << "a pool without a url when that is allowed";

    // A source that cannot be read is tried again within the retry time.
    ::unlink(pools_file_path().c_str());
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        write_pools("[" + pool_record() + "]");
    });
    const bool ok = get_pool_info(POOL, "", info, true, 30, nullptr, true);
    late.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(pool_.url(), info.url);
}

TEST_F(PoolTest, OptionsFollowThePoolOrStayUnchanged) {
    Pool_Info pool;
    pool.uuid = POOL;
    pool.url = pool_.url();
    pool.tenant_access_key = "tenant-key";
    pool.preferred_source_address = "10.1.1.1";
    pool.node_addrs["n1"] = "10.0.0.1";
    const char* head = http_head_string(HTTP_HEAD_ACCESS_KEY, 0);
    Client_IO_Base::Options options;
    options.set_extra_option(head, "host-key");
    options.compression = 1;
    ASSERT_TRUE(set_options_by_pool(options, pool));
    ASSERT_NE(nullptr, options.extra_option(head));
    EXPECT_EQ(
        std::make_tuple(std::string("tenant-key"), std::string("10.1.1.1"), pool.node_addrs, 1, 0),
        std::make_tuple(options.extra_option(head)->str(), options.source_address,
                        options.node_addrs, options.compression, options.cipher));
    pool.server_side_encryption = true;
    pool.cipher = 3;
    options.cipher = 2;
    ASSERT_TRUE(set_options_by_pool(options, pool));
    EXPECT_EQ(0, options.cipher) << "the pool encrypts";
    pool.server_side_encryption = false;
    pool.key = "k";
    ASSERT_TRUE(set_options_by_pool(options, pool));
    EXPECT_EQ(3, options.cipher);
    EXPECT_EQ("k", options.key.str());

    // Client-side encryption without a key, a device not of the pool, no url.
    Client_IO_Base::Options kept;
    kept.source_address = "keep";
    pool.key.clear();
    EXPECT_FALSE(set_options_by_pool(kept, pool));
    pool.cipher = 0;
    pool.device_exists = false;
    EXPECT_FALSE(set_options_by_pool(kept, pool));
    pool.device_exists = true;
    pool.url.clear();
    EXPECT_FALSE(set_options_by_pool(kept, pool));
    EXPECT_EQ("keep", kept.source_address);
}

constexpr uint64_t BLOCK = 262144, MIB = 1024 * 1024;
constexpr char SENTINEL = static_cast<char>(0xA5);
const unsigned char UUID[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// (offset, length) ranges handed over by a read, in order.
using Deliveries = std::vector<std::pair<uint64_t, uint64_t>>;

class ImageTest : public PoolTest {
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

    // Writes the planned blocks to name through the full writer API, with io_,
    // the reads running ahead; with a disk id, in version 2.
    bool write_image(const std::string& name,
                     const Image_Block_Writer::Progress_Callback& progress = nullptr,
                     const std::string& disk_id = std::string()) {
        Image_Block_Writer writer(io_);
        for (const Block& b : blocks_)
            writer.add_block(b.offset, b.length);
        return io_.open(name, Client_IO::MODE_WRITE) && writer.init(512, BLOCK, 1, 0) &&
               writer.write_superblock(UUID, UUID, bytes_.size(), disk_id) &&
               writer.write_blocks_ahead(
                   [this](char* buffer, uint64_t length, uint64_t offset) -> ssize_t {
                       const uint64_t n = std::min<uint64_t>(length, BLOCK);
                       std::memcpy(buffer, bytes_.data() + offset, n);
                       return static_cast<ssize_t>(n);
                   },
                   progress, BLOCK, 3);
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

    // Reads name back with io_ over a target filled with SENTINEL, reading
    // depth_ units ahead; every range handed over must hold the source's
    // bytes and come on this thread.
    bool read_image(const std::string& name, uint64_t alignment = BLOCK) {
        target_.assign(bytes_.size(), SENTINEL);
        deliveries_.clear();
        io_.close();  // the last read's file
        image_reader_.read_ahead(depth_);
        const std::thread::id caller = std::this_thread::get_id();
        const bool ok = io_.open(name, Client_IO::MODE_READ) &&
                        image_reader_.read_blocks_align(
                            io_,
                            [&](char* data, uint64_t length, uint64_t offset) {
                                EXPECT_EQ(caller, std::this_thread::get_id());
                                deliveries_.emplace_back(offset, length);
                                std::memcpy(target_.data() + offset, data, length);
                                return true;
                            },
                            alignment);
        for (const auto& d : deliveries_)
            EXPECT_EQ(0, std::memcmp(&target_[d.first], &bytes_[d.first], d.second))
                << "wrong bytes at " << d.first;
        return ok;
    }

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
    unsigned depth_ = 0;  // units read ahead: 0 on the caller's thread
};

// Reads on the caller's thread, and on a second one running ahead.
const unsigned DEPTHS[] = {0, 3};

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
    ASSERT_TRUE(write_image("res/vm/disk.img")) << io_.error_text();
    EXPECT_THAT(pool_.files(), ElementsAre("res/vm/disk.img"));
    uint64_t planned = 0;
    for (const Block& b : blocks_)
        planned += b.length;
    EXPECT_EQ(planned, io_.original_size());
    EXPECT_EQ(file_text(pool_.path("res/vm/disk.img")).size(), io_.storage_size());
    EXPECT_LT(io_.storage_size(), planned) << "zero runs are not stored";
    for (unsigned depth : DEPTHS) {
        SCOPED_TRACE(depth);
        depth_ = depth;
        ASSERT_TRUE(read_image("res/vm/disk.img")) << io_.error_text();
        std::vector<char> expected(bytes_.size(), SENTINEL);
        for (const Block& b : blocks_)
            std::copy_n(bytes_.begin() + b.offset, b.length, expected.begin() + b.offset);
        EXPECT_TRUE(expected == target_) << "only the planned blocks come back, and exact";
        const qorm::Image_Superblock& sb = image_reader_.superblock();
        EXPECT_EQ(std::make_tuple(512u, BLOCK, uint64_t(bytes_.size()), 0, true),
                  std::make_tuple(sb.sector_size, sb.block_size, sb.volume_size,
                                  std::memcmp(UUID, sb.uuid1, 16) | std::memcmp(UUID, sb.uuid2, 16),
                                  sb.created > 0));

        // Ranges come in order, each inside one unit of the alignment; whole units
        // come whole, the two pieces with a hole between come apart.
        for (uint64_t unit : {BLOCK, uint64_t(65536)}) {
            ASSERT_TRUE(read_image("res/vm/disk.img", unit)) << io_.error_text();
            uint64_t last_end = 0;
            for (const auto& d : deliveries_) {
                EXPECT_GE(d.first, last_end) << "out of order";
                EXPECT_EQ(d.first / unit, (d.first + d.second - 1) / unit) << "crosses " << d.first;
                last_end = d.first + d.second;
            }
        }
        ASSERT_TRUE(read_image("res/vm/disk.img")) << io_.error_text();
        EXPECT_EQ(std::make_pair(uint64_t(0), BLOCK), deliveries_.front());
        Deliveries in_unit;
        std::copy_if(deliveries_.begin(), deliveries_.end(), std::back_inserter(in_unit),
                     [](const auto& d) { return d.first / BLOCK == 4 * MIB / BLOCK; });
        EXPECT_THAT(in_unit, ElementsAre(std::make_pair(4 * MIB + 4096, uint64_t(8192)),
                                         std::make_pair(4 * MIB + 16384, uint64_t(4096))));
    }
}

TEST_F(ImageTest, LargeBlocksComeBackWithTheirHeaders) {
    for (const uint64_t block : {2 * BLOCK, 4 * BLOCK}) {
        SCOPED_TRACE(block);
        std::mt19937 rng(static_cast<unsigned>(block));
        std::generate(bytes_.begin(), bytes_.end(), [&] { return static_cast<char>(rng()); });
        Image_Block_Writer writer(io_);
        writer.add_block(0, block);
        writer.add_block(2 * block, block);
        writer.add_block(3 * block, block / 2);
        std::vector<char> buffer(block);
        const std::string name = "disk-" + std::to_string(block) + ".img";
        io_.close();  // the last read's file
        ASSERT_TRUE(io_.open(name, Client_IO::MODE_WRITE));
        ASSERT_TRUE(writer.init(512, static_cast<uint32_t>(block), 1, 0));
        ASSERT_TRUE(writer.write_superblock(UUID, UUID, bytes_.size()));
        ASSERT_TRUE(writer.write_blocks(
            [&](uint64_t length, uint64_t offset) -> ssize_t {
                std::memcpy(buffer.data(), bytes_.data() + offset, length);
                return static_cast<ssize_t>(length);
            },
            nullptr, buffer.data(), buffer.size()))
            << io_.error_text();
        ASSERT_TRUE(read_image(name, block)) << io_.error_text();
        EXPECT_EQ(Deliveries({{0, block}, {2 * block, block}, {3 * block, block / 2}}),
                  deliveries_);
    }
}

TEST_F(ImageTest, DamagedOrCutImageFailsAndNeverHandsOverWrongBytes) {
    ASSERT_TRUE(write_image("disk.img")) << io_.error_text();
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
    // A superblock that says the volume ends before the last record.
    qorm::Image_Superblock sb;
    ASSERT_TRUE(image_format::decode_superblock(reinterpret_cast<const unsigned char*>(&good[0]),
                                                sb, nullptr));
    sb.volume_size = 8 * MIB;
    std::string short_volume = good;
    image_format::encode_superblock(sb, reinterpret_cast<unsigned char*>(&short_volume[0]));
    rows.push_back(Row{"a volume shorter than its data", short_volume, "past the volume's end"});
    for (unsigned depth : DEPTHS) {
        depth_ = depth;
        for (const Row& r : rows) {
            SCOPED_TRACE(r.what + ", reading ahead " + std::to_string(depth));
            put_file(pool_.path("disk.img"), r.bytes);
            EXPECT_FALSE(read_image("disk.img"));
            EXPECT_EQ(EBADMSG, io_.last_errno());
            EXPECT_NE(std::string::npos, io_.error_text().find(r.message)) << io_.error_text();
        }
    }
}

TEST_F(ImageTest, ASuperblockSaysWhoseImageItIsAndAReadExpectingAnotherHandsOverNothing) {
    ASSERT_TRUE(write_image("v2.img", nullptr, "disk-a")) << io_.error_text();
    ASSERT_TRUE(io_.close() && write_image("v1.img")) << io_.error_text();
    ASSERT_TRUE(io_.close() && io_.open("empty.img", Client_IO::MODE_WRITE) && io_.close());
    const unsigned char OTHER[16] = {9};
    const auto identity = [](const unsigned char* set, const char* disk, uint64_t size) {
        qorm::Image_Identity id;
        std::memcpy(id.set_uuid, set, 16);
        id.disk_id = disk;
        id.volume_size = size;
        return id;
    };
    const uint64_t size = bytes_.size();
    // What a read that expects nothing hands over: every row that reads gives it.
    ASSERT_TRUE(read_image("v2.img")) << io_.error_text();
    const Deliveries whole = deliveries_;
    struct Row {
        const char* file;
        qorm::Image_Identity expected;
        const char* failure;  // null: it reads
    };
    const Row rows[] = {
        {"v2.img", identity(UUID, "disk-a", size), nullptr},
        {"v2.img", identity(OTHER, "disk-a", size), "belongs to backup set"},
        {"v2.img", identity(UUID, "disk-b", size), "is of disk disk-a, not of disk disk-b"},
        {"v2.img", identity(UUID, "disk-a", size + 512), "bytes, not of"},
        // Version 1 carries no disk: the set and the size still count.
        {"v1.img", identity(UUID, "disk-b", size), nullptr},
        {"v1.img", identity(OTHER, "disk-b", size), "belongs to backup set"},
        {"v1.img", identity(UUID, "disk-b", size - 1), "bytes, not of"},
        {"empty.img", identity(UUID, "disk-a", size), "image is empty"},
    };
    for (unsigned depth : DEPTHS) {
        depth_ = depth;
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.file) + " as disk " + r.expected.disk_id +
                         ", reading ahead " + std::to_string(depth));
            image_reader_.expect(r.expected);
            EXPECT_EQ(r.failure == nullptr, read_image(r.file));
            if (r.failure != nullptr) {
                EXPECT_EQ(EBADMSG, io_.last_errno());
                EXPECT_NE(std::string::npos, io_.error_text().find(r.failure)) << io_.error_text();
                EXPECT_THAT(deliveries_, IsEmpty());
            } else {
                EXPECT_EQ(whole, deliveries_);
            }
            // The superblock alone gives the same verdict.
            io_.close();
            ASSERT_TRUE(io_.open(r.file, Client_IO::MODE_READ));
            EXPECT_EQ(r.failure == nullptr, image_reader_.check_superblock(io_))
                << io_.error_text();
        }
    }
    // Version 2 only where the writer was given the disk.
    for (const char* file : {"v1.img", "v2.img"}) {
        Image_Block_Reader plain;
        io_.close();
        ASSERT_TRUE(io_.open(file, Client_IO::MODE_READ) && plain.check_superblock(io_));
        EXPECT_EQ(file == std::string("v1.img") ? std::make_tuple(1u, std::string())
                                                : std::make_tuple(2u, std::string("disk-a")),
                  std::make_tuple(plain.superblock().version, plain.superblock().disk_id));
    }
}

TEST_F(ImageTest, RecordsOfAnImageWithoutItsSizeStayInsideTheSizeExpected) {
    // The size the reader expects (8 MiB); the superblocks below state none.
    const uint64_t size = 8 * MIB;
    const uint64_t TIB = MIB * MIB;
    struct Record {
        uint64_t offset, length;
        bool zero;
    };
    struct Row {
        const char* name;
        uint32_t block_size;
        uint64_t stated_size;  // in the superblock
        std::vector<Record> records;
        bool expect;           // the read expects the identity of size bytes
        uint32_t block_limit;  // 0: none
        const char* failure;   // null: it reads
        bool superblock_fails;
    };
    const Row rows[] = {
        {"records inside",
         BLOCK,
         0,
         {{0, BLOCK, false}, {4 * MIB, 4096, true}},
         true,
         0,
         nullptr,
         false},
        {"a zero record at 1 TiB",
         BLOCK,
         0,
         {{TIB, 4096, true}},
         true,
         0,
         "past the volume's end",
         false},
        {"a data record just past the end",
         BLOCK,
         0,
         {{size, 4096, false}},
         true,
         0,
         "past the volume's end",
         false},
        {"a record across the end",
         BLOCK,
         0,
         {{size - 512, 4096, false}},
         true,
         0,
         "past the volume's end",
         false},
        {"a record past the end after good ones",
         BLOCK,
         0,
         {{0, BLOCK, false}, {BLOCK, 4096, true}, {TIB, 4096, true}},
         true,
         0,
         "past the volume's end",
         false},
        // Nothing bounds an image whose reader knows no size either.
        {"a zero record at 1 TiB, no size expected",
         BLOCK,
         0,
         {{TIB, 4096, true}},
         false,
         0,
         nullptr,
         false},
        {"blocks larger than the read takes",
         2 * BLOCK,
         size,
         {{0, 2 * BLOCK, false}},
         true,
         BLOCK,
         "larger than",
         true},
        {"blocks as large as the read takes",
         BLOCK,
         size,
         {{0, BLOCK, false}},
         true,
         BLOCK,
         nullptr,
         false},
    };
    qorm::Image_Identity identity;
    std::memcpy(identity.set_uuid, UUID, 16);
    identity.disk_id = "disk-a";
    identity.volume_size = size;
    for (const Row& r : rows) {
        std::map<uint64_t, std::string> held;  // offset -> bytes, as written
        {
            Image_Block_Writer writer(io_);
            io_.close();  // the last read's file
            ASSERT_TRUE(io_.open(std::string(r.name) + ".img", Client_IO::MODE_WRITE));
            ASSERT_TRUE(writer.init(512, r.block_size, 1, 0) &&
                        writer.write_superblock(UUID, UUID, r.stated_size, "disk-a"));
            for (const Record& rec : r.records) {
                std::string bytes(rec.length, '\0');
                if (!rec.zero)
                    std::copy_n(bytes_.begin(), rec.length, bytes.begin());
                ASSERT_TRUE(writer.write_data(rec.offset, bytes.data(), bytes.size()))
                    << io_.error_text();
                held[rec.offset] = bytes;
            }
            ASSERT_TRUE(writer.finish()) << io_.error_text();
        }
        for (unsigned depth : DEPTHS) {
            SCOPED_TRACE(std::string(r.name) + ", reading ahead " + std::to_string(depth));
            Image_Block_Reader reader;
            if (r.expect)
                reader.expect(identity);
            reader.limit_block_size(r.block_limit);
            reader.read_ahead(depth);
            io_.close();
            ASSERT_TRUE(io_.open(std::string(r.name) + ".img", Client_IO::MODE_READ));
            EXPECT_EQ(r.superblock_fails, !reader.check_superblock(io_)) << io_.error_text();
            io_.close();
            ASSERT_TRUE(io_.open(std::string(r.name) + ".img", Client_IO::MODE_READ));
            uint64_t handed = 0;
            const bool read = reader.read_blocks_align(
                io_,
                [&](char* data, uint64_t length, uint64_t offset) {
                    auto in = held.upper_bound(offset);
                    EXPECT_NE(in, held.begin()) << "nothing written at " << offset;
                    if (in == held.begin())
                        return false;
                    --in;
                    const uint64_t at = offset - in->first;
                    EXPECT_LE(at + length, in->second.size()) << offset;
                    EXPECT_EQ(0, in->second.compare(at, length, data, length)) << offset;
                    EXPECT_TRUE(!r.expect || offset + length <= size) << offset;
                    handed += length;
                    return true;
                },
                BLOCK);
            EXPECT_EQ(r.failure == nullptr, read) << io_.error_text();
            if (r.failure == nullptr) {
                uint64_t all = 0;
                for (const auto& h : held)
                    all += h.second.size();
                EXPECT_EQ(all, handed);
            } else {
                EXPECT_EQ(EBADMSG, io_.last_errno());
                EXPECT_NE(std::string::npos, io_.error_text().find(r.failure)) << io_.error_text();
            }
        }
    }
}

TEST_F(ImageTest, EmptyFileIsAnImageWithoutDataAndAReceiverMayStopTheRead) {
    ASSERT_TRUE(io_.open("vm/not_exists_disk.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io_.close()) << io_.error_text();
    EXPECT_EQ(0u, io_.storage_size());
    ASSERT_TRUE(read_image("vm/not_exists_disk.img")) << io_.error_text();
    EXPECT_THAT(deliveries_, IsEmpty());
    ASSERT_TRUE(io_.close() && write_image("disk.img")) << io_.error_text();
    for (unsigned depth : DEPTHS) {
        SCOPED_TRACE(depth);
        io_.close();
        ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_READ));
        image_reader_.read_ahead(depth);
        int calls = 0;
        EXPECT_FALSE(image_reader_.read_blocks_align(
            io_, [&calls](char*, uint64_t, uint64_t) { return ++calls < 2; }, BLOCK));
        EXPECT_EQ(2, calls);
        EXPECT_EQ(ECANCELED, io_.last_errno());
        EXPECT_NE(std::string::npos, io_.error_text().find("offset " + std::to_string(BLOCK)))
            << io_.error_text();
        // What the receiver throws reaches the caller, the reading stopped.
        io_.close();
        ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_READ));
        EXPECT_THROW(image_reader_.read_blocks_align(
                         io_,
                         [](char*, uint64_t, uint64_t) -> bool {
                             throw std::runtime_error("receiver failed");
                         },
                         BLOCK),
                     std::runtime_error);
    }
    ASSERT_TRUE(read_image("disk.img")) << "the reader reads again";
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
    EXPECT_EQ(ECANCELED, io_.last_errno());
    Image_Block_Writer writer(io);
    writer.add_block(0, BLOCK);
    ASSERT_NO_FATAL_FAILURE(start_image(io, writer, "bad-source.img"));
    EXPECT_FALSE(writer.write_blocks([](uint64_t, uint64_t) -> ssize_t { return -1; }, nullptr,
                                     buffer_.data(), buffer_.size()));
    EXPECT_NE(std::string::npos, io.error_text().find("offset 0")) << io.error_text();
    EXPECT_FALSE(writer.finish()) << "a failed writer stays failed";
    EXPECT_FALSE(io.is_open()) << "the writer discarded the file";
    Image_Block_Writer ahead(io);
    for (uint64_t at = 0; at < 8 * MIB; at += BLOCK)
        ahead.add_block(at, BLOCK);
    ASSERT_NO_FATAL_FAILURE(start_image(io, ahead, "bad-source-later.img"));
    int reads = 0;
    EXPECT_FALSE(ahead.write_blocks_ahead(
        [&reads](char*, uint64_t length, uint64_t) {
            return ++reads < 6 ? static_cast<ssize_t>(length) : -1;
        },
        nullptr, BLOCK, 3));
    EXPECT_NE(std::string::npos, io.error_text().find("offset " + std::to_string(5 * BLOCK)))
        << io.error_text();
    EXPECT_FALSE(io.is_open()) << "the writer discarded the file";
    Client_IO::inject_fault(Client_IO::FAULT_RENAME, EIO);  // the last step of a finish
    EXPECT_FALSE(write_image("disk.img"));
    EXPECT_EQ(EIO, io_.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(ImageTest, WriterRefusesBadSettingsAndDisorder) {
    Client_IO& io = io_;
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
    {
        Image_Block_Writer long_id(io);
        ASSERT_TRUE(io.open("long-id.img", Client_IO::MODE_WRITE));
        ASSERT_TRUE(long_id.init(512, BLOCK, 1, 0));
        EXPECT_FALSE(long_id.write_superblock(UUID, UUID, BLOCK,
                                              std::string(image_format::MAX_DISK_ID + 1, 'd')));
        EXPECT_EQ(EINVAL, io.last_errno());
    }
    Image_Block_Writer past_end(io);
    ASSERT_TRUE(io.open("past-end.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(past_end.init(512, BLOCK, 1, 0) && past_end.write_superblock(UUID, UUID, BLOCK));
    EXPECT_FALSE(past_end.write_data(BLOCK - 1, bytes_.data(), 2));
    EXPECT_EQ(EINVAL, io.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

}  // namespace
