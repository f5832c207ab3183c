#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/client_io.h"
#include "host/image_block_reader.h"
#include "host/image_block_writer.h"
#include "host/paths.h"
#include "host/pool_service.h"
#include "pool_test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

const std::string POOL = "5d6f0a6e-1111-4c2b-9d7e-000000000001";

class PoolServiceTest : public ::testing::Test {
protected:
    void write_pools(const std::string& pools_json) {
        const std::string path = pools_file_path();
        ASSERT_EQ(0, make_directories(path.substr(0, path.rfind('/')), 0750));
        put_file(path, "{\"pools\": " + pools_json + "}");
    }

    std::string pool_record(const std::string& extra = "") {
        return "{\"uuid\": \"" + POOL + "\", \"name\": \"local\", \"url\": \"" + pool_.url() +
               "\"" + extra + "}";
    }

    Pool_Dir pool_;
};

TEST_F(PoolServiceTest, ReadsThePoolRecordFromTheHostsOrANamedFile) {
    write_pools(
        "[{\"uuid\": \"other\", \"url\": \"/x\"}, " +
        pool_record(", \"host_uuid\": \"h-1\", \"tenant_access_key\": \"tenant-key\","
                    " \"node_addrs\": {\"n1\": \"10.0.0.1\"}, \"default_s3\": {\"secret\": \"s\"},"
                    " \"devices\": [\"dev-1\", \"dev-2\"], \"cipher\": 0, \"s3_enabled\": false") +
        "]");
    Pool_Info info;
    ASSERT_TRUE(
        get_pool_info(POOL, "dev-2", info, false, 0, nullptr, true, nullptr, nullptr, false));
    EXPECT_EQ(POOL, info.uuid);
    EXPECT_EQ("local", info.name);
    EXPECT_EQ("h-1", info.host_uuid);
    EXPECT_EQ(pool_.url(), info.url);
    EXPECT_EQ("tenant-key", std::string(info.tenant_access_key.c_str()));
    EXPECT_THAT(info.node_addrs, ElementsAre(Pair("n1", "10.0.0.1")));
    EXPECT_EQ(1u, info.default_s3.size());
    EXPECT_TRUE(info.device_exists);

    const std::string other = pool_.root().file("other-pools.json");
    put_file(other, "{\"pools\": [{\"uuid\": \"" + POOL + "\", \"url\": \"/elsewhere\"}]}");
    EXPECT_TRUE(get_pool_info(POOL, "", info, true, 0, nullptr, true, nullptr, other.c_str()));
    EXPECT_EQ("/elsewhere", info.url);
}

TEST_F(PoolServiceTest, DeviceOutsideThePoolIsRefusedOrReported) {
    write_pools("[" + pool_record(", \"devices\": [\"dev-1\"]") + "]");
    Pool_Info info;
    std::string error;
    EXPECT_FALSE(get_pool_info(POOL, "dev-9", info, true, 0, nullptr, true, &error));
    EXPECT_NE(std::string::npos, error.find("dev-9")) << error;
    EXPECT_TRUE(info.uuid.empty()) << "unchanged on failure";
    ASSERT_TRUE(get_pool_info(POOL, "dev-9", info, true, 0, nullptr, false));
    EXPECT_FALSE(info.device_exists);
    Client_IO_Base::Options options;
    EXPECT_FALSE(set_options_by_pool(options, info)) << "not from this device";
    ASSERT_TRUE(get_pool_info(POOL, "", info));
    EXPECT_TRUE(info.device_exists);
}

TEST_F(PoolServiceTest, UnknownPoolAndBadFilesFailWithTheReason) {
    struct Row {
        const char* pools;  // null: no file
        std::string uuid;
        const char* error;
    };
    const std::string no_url = "[{\"uuid\": \"" + POOL + "\"}]";
    const std::string url_7 = "[{\"uuid\": \"" + POOL + "\", \"url\": 7}]";
    const std::string good = "[" + pool_record() + "]";
    const Row rows[] = {
        {nullptr, POOL, "pools.json"}, {good.c_str(), "no-such-pool", "no-such-pool"},
        {good.c_str(), "", ""},        {"[", POOL, "malformed"},
        {url_7.c_str(), POOL, "url"},  {no_url.c_str(), POOL, "no url"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.pools ? r.pools : "no file");
        if (r.pools)
            write_pools(r.pools);
        Pool_Info info;
        std::string error;
        EXPECT_FALSE(get_pool_info(r.uuid, "", info, true, 0, nullptr, true, &error));
        EXPECT_NE(std::string::npos, error.find(r.error)) << error;
        EXPECT_TRUE(info.uuid.empty());
    }
    Pool_Info info;
    EXPECT_TRUE(get_pool_info(POOL, "", info, true, 0, nullptr, true, nullptr, nullptr, true))
        << "a pool without a url when that is allowed";
}

TEST_F(PoolServiceTest, UnreadableSourceIsTriedAgainWithinTheRetryTime) {
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        write_pools("[" + pool_record() + "]");
    });
    Pool_Info info;
    std::string error;
    const bool ok = get_pool_info(POOL, "", info, true, 30, nullptr, true, &error);
    late.join();
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(POOL, info.uuid);
}

TEST_F(PoolServiceTest, OptionsFollowThePoolOrStayUnchanged) {
    Pool_Info pool;
    pool.uuid = POOL;
    pool.url = pool_.url();
    pool.tenant_access_key = "tenant-key";
    pool.preferred_source_address = "10.1.1.1";
    pool.node_addrs["n1"] = "10.0.0.1";
    Client_IO_Base::Options options;
    options.set_extra_option(http_head_string(HTTP_HEAD_ACCESS_KEY, 0), "host-key");
    options.compression = 1;
    ASSERT_TRUE(set_options_by_pool(options, pool));
    const secure_string* key = options.extra_option(http_head_string(HTTP_HEAD_ACCESS_KEY, 0));
    ASSERT_NE(nullptr, key);
    EXPECT_EQ("tenant-key", std::string(key->c_str()));
    EXPECT_EQ("10.1.1.1", options.source_address);
    EXPECT_EQ(pool.node_addrs, options.node_addrs);
    EXPECT_EQ(1, options.compression);
    EXPECT_EQ(0, options.cipher);

    pool.server_side_encryption = true;
    pool.cipher = 3;
    options.cipher = 2;
    ASSERT_TRUE(set_options_by_pool(options, pool));
    EXPECT_EQ(0, options.cipher) << "the pool encrypts";

    pool.server_side_encryption = false;
    pool.key = "k";
    pool.iv = "iv";
    ASSERT_TRUE(set_options_by_pool(options, pool));
    EXPECT_EQ(3, options.cipher);
    EXPECT_EQ("k", std::string(options.key.c_str()));

    // Client-side encryption without a key, a device not of the pool, no url.
    Client_IO_Base::Options kept;
    kept.source_address = "keep";
    pool.key.clear();
    pool.cipher = 2;
    EXPECT_FALSE(set_options_by_pool(kept, pool));
    pool.cipher = 0;
    pool.device_exists = false;
    EXPECT_FALSE(set_options_by_pool(kept, pool));
    pool.device_exists = true;
    pool.url.clear();
    EXPECT_FALSE(set_options_by_pool(kept, pool));
    EXPECT_EQ("keep", kept.source_address);
    EXPECT_EQ(0, kept.cipher);
}

// The servants' road: pool record -> options -> an image under the resource
// directory -> read back through the pool's own address.
TEST_F(PoolServiceTest, ImageRoundTripThroughThePoolRecord) {
    write_pools("[" + pool_record() + "]");
    Pool_Info pool;
    ASSERT_TRUE(get_pool_info(POOL, "", pool));
    Client_IO_Base::Options options;
    ASSERT_TRUE(set_options_by_pool(options, pool));

    std::vector<char> data(262144, 'z');
    Client_IO_Ex out;
    ASSERT_TRUE(out.connect(pool.url + "/resource-1", options)) << out.error_text();
    ASSERT_TRUE(out.open("vm-1/disk-a", Client_IO::MODE_WRITE)) << out.error_text();
    Image_Block_Writer writer(out);
    writer.add_block(262144, 262144);
    const unsigned char uuid[16] = {9};
    ASSERT_TRUE(writer.init(512, 262144, 1, 0));
    ASSERT_TRUE(writer.write_superblock(uuid, uuid));
    ASSERT_TRUE(
        writer.write_blocks([](uint64_t length, uint64_t) { return static_cast<ssize_t>(length); },
                            nullptr, data.data(), data.size()))
        << out.error_text();

    Client_IO_Ex in;
    ASSERT_TRUE(in.connect(pool.url, options));
    ASSERT_TRUE(in.open("resource-1/vm-1/disk-a", Client_IO::MODE_READ)) << in.error_text();
    std::string got;
    uint64_t at = 0;
    ASSERT_TRUE(Image_Block_Reader().read_blocks_align(
        in,
        [&](char* d, uint64_t length, uint64_t offset) {
            got.append(d, length);
            at = offset;
            return true;
        },
        262144))
        << in.error_text();
    EXPECT_EQ(262144u, at);
    EXPECT_EQ(std::string(262144, 'z'), got);
}

}  // namespace
