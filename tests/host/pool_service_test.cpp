#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/cgi_response.h"
#include "host/client_io.h"
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
    EXPECT_EQ(std::make_tuple(POOL, "local", "h-1", pool_.url(), "tenant-key"),
              std::make_tuple(info.uuid, info.name, info.host_uuid, info.url,
                              info.tenant_access_key.str()));
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
    const std::string good = "[" + pool_record() + "]";
    const std::tuple<std::string, std::string, const char*> rows[] = {
        {"", POOL, "pools.json"},  // no file
        {good, "no-such-pool", "no-such-pool"},
        {good, "", ""},
        {"[", POOL, "malformed"},
        {"[{\"uuid\": \"" + POOL + "\", \"url\": 7}]", POOL, "url"},
        {"[{\"uuid\": \"" + POOL + "\"}]", POOL, "no url"},
    };
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

// The servants' road: pool record -> options -> a file under the resource
// directory -> read back through the pool's own address.
TEST_F(PoolServiceTest, FileRoundTripThroughThePoolRecord) {
    write_pools("[" + pool_record() + "]");
    Pool_Info pool;
    ASSERT_TRUE(get_pool_info(POOL, "", pool));
    Client_IO_Base::Options options;
    ASSERT_TRUE(set_options_by_pool(options, pool));
    Client_IO_Ex io;
    ASSERT_TRUE(io.connect(pool.url + "/resource-1", options)) << io.error_text();
    std::stringstream data("disk data");
    ASSERT_TRUE(io.put_stream(data, "vm-1/disk-a", Client_IO_Ex::PUT_EXCLUSIVE)) << io.error_text();
    ASSERT_TRUE(io.connect(pool.url, options));
    ASSERT_TRUE(io.open("resource-1/vm-1/disk-a", Client_IO::MODE_READ)) << io.error_text();
    char buf[32];
    EXPECT_EQ("disk data", std::string(buf, io.read(buf, sizeof buf)));
}

}  // namespace
