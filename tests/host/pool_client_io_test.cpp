#include <cerrno>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/client_io.h"
#include "pool_test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ClientIoTest : public ::testing::Test {
protected:
    ClientIoTest() { EXPECT_TRUE(io_.connect(pool_.url(), options_)); }

    Pool_Dir pool_;
    Client_IO_Base::Options options_;
    Client_IO_Ex io_;
};

TEST_F(ClientIoTest, ConnectTakesOnlyLocalDirectoriesAndNoClientSideEncryption) {
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

TEST_F(ClientIoTest, NamesMustStayInsideThePool) {
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

TEST_F(ClientIoTest, WrittenFileAppearsOnlyAtCloseAndReadsBack) {
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

TEST_F(ClientIoTest, AbandonedIncompleteOrRemovedWritesLeaveNothing) {
    {
        Client_IO io;
        ASSERT_TRUE(io.connect(pool_.url(), options_));
        ASSERT_TRUE(io.open("vm/disk.img", Client_IO::MODE_WRITE));
        ASSERT_TRUE(io.write("partial", 7));
    }
    ASSERT_TRUE(io_.open("disk.img", Client_IO::MODE_WRITE));
    io_.set_incomplete(true);
    EXPECT_FALSE(io_.close());

    std::stringstream done("x");
    ASSERT_TRUE(io_.put_stream(done, "a/done.img", Client_IO_Ex::PUT_EXCLUSIVE));
    EXPECT_TRUE(io_.remove("a/done.img"));
    EXPECT_TRUE(io_.remove("a/done.img"));
    ASSERT_TRUE(io_.open("a/busy.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io_.write("y", 1));
    EXPECT_TRUE(io_.remove("a/busy.img"));
    EXPECT_FALSE(io_.is_open());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(ClientIoTest, ExistingNameIsNeverOverwritten) {
    std::stringstream first("first");
    ASSERT_TRUE(io_.put_stream(first, "disk.img", Client_IO_Ex::PUT_EXCLUSIVE));
    EXPECT_FALSE(io_.open("disk.img", Client_IO::MODE_WRITE));
    EXPECT_EQ(EEXIST, io_.last_errno());

    // A name taken while the file is being written: the close fails and the
    // other file stays.
    ASSERT_TRUE(io_.open("late.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io_.write("mine", 4));
    put_file(pool_.path("late.img"), "theirs");
    EXPECT_FALSE(io_.close());
    EXPECT_EQ(EEXIST, io_.last_errno());
    EXPECT_EQ("first", file_text(pool_.path("disk.img")));
    EXPECT_EQ("theirs", file_text(pool_.path("late.img")));
    EXPECT_THAT(pool_.files(), ElementsAre("disk.img", "late.img"));
}

TEST_F(ClientIoTest, FailedWriteFlushOrCloseFailsTheFile) {
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
    std::stringstream info("text");
    EXPECT_FALSE(io_.put_stream(info, "info.json", Client_IO_Ex::PUT_EXCLUSIVE));
    EXPECT_EQ(EIO, io_.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(ClientIoTest, PutStreamReplacesOnlyWhenOverwriteIsOnAndNotExclusive) {
    std::stringstream info("{\"id\": \"vm-1\"}");
    ASSERT_TRUE(io_.put_stream(info, "vm-1/info.json", Client_IO_Ex::PUT_EXCLUSIVE))
        << io_.error_text();
    EXPECT_EQ("{\"id\": \"vm-1\"}", file_text(pool_.path("vm-1/info.json")));
    EXPECT_EQ(14u, io_.original_size());
    EXPECT_EQ(14u, io_.storage_size());

    for (bool overwrite : {false, true}) {
        options_.overwrite = overwrite;
        ASSERT_TRUE(io_.connect(pool_.url(), options_));
        std::stringstream again("other");
        EXPECT_FALSE(io_.put_stream(again, "vm-1/info.json", Client_IO_Ex::PUT_EXCLUSIVE));
        EXPECT_EQ(EEXIST, io_.last_errno());
    }
    std::stringstream replace("replaced");
    EXPECT_TRUE(io_.put_stream(replace, "vm-1/info.json", 0)) << io_.error_text();
    EXPECT_EQ("replaced", file_text(pool_.path("vm-1/info.json")));
    options_.overwrite = false;
    ASSERT_TRUE(io_.connect(pool_.url(), options_));
    std::stringstream no_flag("other");
    EXPECT_FALSE(io_.put_stream(no_flag, "vm-1/info.json", 0)) << "overwrite is off";
    EXPECT_EQ("replaced", file_text(pool_.path("vm-1/info.json")));
    EXPECT_THAT(pool_.files(), ElementsAre("vm-1/info.json"));
}

}  // namespace
