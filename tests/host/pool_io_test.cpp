// The storage pool as the host reaches it: pool records, the options they
// give, and file I/O that never leaves a partial or overwritten file behind.
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
    const std::pair<std::string, int> rows[] = {
        // url, errno (0: connects)
        {"file://localhost" + pool_.dir(), 0},
        {pool_.dir() + "//", 0},
        {pool_.url() + "/not-yet", 0},
        {"relative/dir", EINVAL},
        {"s3://bucket/x", EPROTONOSUPPORT},
        {pool_.dir() + "/../escape", EINVAL},
        {pool_.dir() + "/missing/deeper", ENOENT},
        {pool_.path("plain"), ENOTDIR},
    };
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
    struct Row {
        Client_IO::Fault_Step step;
        int err;
    };
    for (const Row& r : {Row{Client_IO::FAULT_WRITE, ENOSPC}, Row{Client_IO::FAULT_FLUSH, EIO},
                         Row{Client_IO::FAULT_CLOSE, EIO}, Row{Client_IO::FAULT_RENAME, EROFS}}) {
        SCOPED_TRACE(r.step);
        ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_WRITE));
        Client_IO::inject_fault(r.step, r.err);
        EXPECT_EQ(r.step != Client_IO::FAULT_WRITE, io_.write("data", 4));
        EXPECT_FALSE(io_.close());
        EXPECT_EQ(r.err, io_.last_errno());
        EXPECT_NE(std::string::npos, io_.error_text().find("disk.img")) << io_.error_text();
        EXPECT_THAT(pool_.files(), IsEmpty());
        Client_IO::clear_faults();
    }
    Client_IO::inject_fault(Client_IO::FAULT_FLUSH, EIO);
    EXPECT_FALSE(put("info.json", "text"));
    EXPECT_EQ(EIO, io_.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(PoolTest, ReadsThePoolRecordFromTheHostsOrANamedFile) {
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

TEST_F(PoolTest, DeviceOutsideThePoolIsRefusedOrReported) {
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

TEST_F(PoolTest, UnknownPoolAndBadFilesFailWithTheReason) {
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

TEST_F(PoolTest, UnreadableSourceIsTriedAgainWithinTheRetryTime) {
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

}  // namespace
