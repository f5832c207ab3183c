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

class Client_IO_Test : public ::testing::Test {
protected:
    bool write_file(Client_IO& io, const std::string& name, const std::string& text) {
        return io.open(name, Client_IO::MODE_WRITE) && io.write(text.data(), text.size()) &&
               io.close();
    }

    Pool_Dir pool_;
    Client_IO_Base::Options options_;
};

TEST_F(Client_IO_Test, ConnectAcceptsFileUrlsAndPlainPaths) {
    Client_IO io;
    for (const std::string& url : {pool_.url(), "file://localhost" + pool_.dir(),
                                   pool_.dir() + "//", pool_.url() + "/not-yet"}) {
        EXPECT_TRUE(io.connect(url, options_)) << url << ": " << io.error_text();
    }
    EXPECT_EQ(pool_.dir() + "/not-yet", io.directory());
}

TEST_F(Client_IO_Test, ConnectRefusesWhatIsNotALocalDirectory) {
    Client_IO io;
    EXPECT_FALSE(io.connect("relative/dir", options_));
    EXPECT_EQ(EINVAL, io.last_errno());
    EXPECT_FALSE(io.connect("s3://bucket/x", options_));
    EXPECT_EQ(EPROTONOSUPPORT, io.last_errno());
    EXPECT_FALSE(io.connect(pool_.dir() + "/../escape", options_));
    EXPECT_FALSE(io.connect(pool_.dir() + "/missing/deeper", options_));
    EXPECT_EQ(ENOENT, io.last_errno());
    EXPECT_FALSE(io.connect(static_cast<const char*>(nullptr), options_));
    put_file(pool_.path("plain"), "x");
    EXPECT_FALSE(io.connect(pool_.path("plain"), options_));
    EXPECT_EQ(ENOTDIR, io.last_errno());
    EXPECT_FALSE(io.connected());
}

TEST_F(Client_IO_Test, ConnectRefusesClientSideEncryptionRatherThanStorePlaintext) {
    options_.cipher = 1;
    Client_IO io;
    EXPECT_FALSE(io.connect(pool_.url(), options_));
    EXPECT_EQ(ENOTSUP, io.last_errno());
}

TEST_F(Client_IO_Test, NamesMustStayInsideThePool) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    for (const char* bad : {"", "/etc/passwd", "../x", "a/../../x", "a//b", "a/./b", "a/", "."}) {
        EXPECT_FALSE(io.open(bad, Client_IO::MODE_WRITE)) << bad;
        EXPECT_EQ(EINVAL, io.last_errno()) << bad;
        EXPECT_FALSE(io.remove(bad)) << bad;
    }
    EXPECT_FALSE(io.open(static_cast<const char*>(nullptr), Client_IO::MODE_READ));
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(Client_IO_Test, OpenBeforeConnectFails) {
    Client_IO io;
    EXPECT_FALSE(io.open("a", Client_IO::MODE_WRITE));
    EXPECT_EQ(ENOTCONN, io.last_errno());
}

TEST_F(Client_IO_Test, WrittenFileAppearsOnlyAtCloseAndReadsBack) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url() + "/res", options_));
    ASSERT_TRUE(io.open("vm-1/disk.img", Client_IO::MODE_WRITE)) << io.error_text();
    ASSERT_TRUE(io.write("hello ", 6));
    ASSERT_TRUE(io.write("pool", 4));
    ASSERT_TRUE(io.flush());
    EXPECT_EQ(1u, pool_.files().size());
    EXPECT_NE("res/vm-1/disk.img", pool_.files()[0]) << "visible before close";
    EXPECT_FALSE(io.open("other", Client_IO::MODE_WRITE));
    EXPECT_EQ(EBUSY, io.last_errno());
    ASSERT_TRUE(io.close()) << io.error_text();
    EXPECT_THAT(pool_.files(), ElementsAre("res/vm-1/disk.img"));
    EXPECT_EQ(10u, io.storage_size());
    EXPECT_TRUE(io.close()) << "closing twice is harmless";

    ASSERT_TRUE(io.open("vm-1/disk.img", Client_IO::MODE_READ));
    EXPECT_EQ(10u, io.storage_size());
    char buf[32];
    ASSERT_EQ(10, io.read(buf, sizeof buf));
    EXPECT_EQ("hello pool", std::string(buf, 10));
    EXPECT_EQ(0, io.read(buf, sizeof buf));
    EXPECT_TRUE(io.close());
}

TEST_F(Client_IO_Test, AbandonedWriteLeavesNothing) {
    {
        Client_IO io;
        ASSERT_TRUE(io.connect(pool_.url(), options_));
        ASSERT_TRUE(io.open("vm/disk.img", Client_IO::MODE_WRITE));
        ASSERT_TRUE(io.write("partial", 7));
    }
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(Client_IO_Test, ExistingNameIsNeverOverwritten) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    ASSERT_TRUE(write_file(io, "disk.img", "first"));
    EXPECT_FALSE(io.open("disk.img", Client_IO::MODE_WRITE));
    EXPECT_EQ(EEXIST, io.last_errno());

    // A name taken while the file is being written: the close fails and the
    // other file stays.
    ASSERT_TRUE(io.open("late.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io.write("mine", 4));
    put_file(pool_.path("late.img"), "theirs");
    EXPECT_FALSE(io.close());
    EXPECT_EQ(EEXIST, io.last_errno());
    EXPECT_EQ("first", file_text(pool_.path("disk.img")));
    EXPECT_EQ("theirs", file_text(pool_.path("late.img")));
    EXPECT_THAT(pool_.files(), ::testing::UnorderedElementsAre("disk.img", "late.img"));
}

TEST_F(Client_IO_Test, FailedWriteFlushOrCloseFailsTheFile) {
    struct Case {
        Client_IO::Fault_Step step;
        int err;
    };
    for (const Case& c :
         {Case{Client_IO::FAULT_WRITE, ENOSPC}, Case{Client_IO::FAULT_FLUSH, EIO},
          Case{Client_IO::FAULT_CLOSE, EIO}, Case{Client_IO::FAULT_RENAME, EROFS}}) {
        SCOPED_TRACE(c.step);
        Client_IO io;
        ASSERT_TRUE(io.connect(pool_.url(), options_));
        ASSERT_TRUE(io.open("disk.img", Client_IO::MODE_WRITE));
        Client_IO::inject_fault(c.step, c.err);
        const bool wrote = io.write("data", 4);
        EXPECT_EQ(c.step != Client_IO::FAULT_WRITE, wrote);
        EXPECT_FALSE(io.close());
        EXPECT_EQ(c.err, io.last_errno());
        EXPECT_NE(std::string::npos, io.error_text().find("disk.img")) << io.error_text();
        EXPECT_THAT(pool_.files(), IsEmpty());
        Client_IO::clear_faults();
    }
}

TEST_F(Client_IO_Test, IncompleteMarkDiscardsOnClose) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    ASSERT_TRUE(io.open("disk.img", Client_IO::MODE_WRITE));
    io.set_incomplete(true);
    EXPECT_FALSE(io.close());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(Client_IO_Test, RemoveIsIdempotentAndDiscardsAFileBeingWritten) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    ASSERT_TRUE(write_file(io, "a/done.img", "x"));
    EXPECT_TRUE(io.remove("a/done.img"));
    EXPECT_TRUE(io.remove("a/done.img"));
    ASSERT_TRUE(io.open("a/busy.img", Client_IO::MODE_WRITE));
    ASSERT_TRUE(io.write("y", 1));
    EXPECT_TRUE(io.remove("a/busy.img"));
    EXPECT_FALSE(io.is_open());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

TEST_F(Client_IO_Test, ReadingAMissingFileSaysWhich) {
    Client_IO io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    EXPECT_FALSE(io.open("vm/missing.img", Client_IO::MODE_READ));
    EXPECT_EQ(ENOENT, io.last_errno());
    EXPECT_NE(std::string::npos, io.error_text().find("vm/missing.img"));
    EXPECT_FALSE(io.open("x", 7));
    EXPECT_EQ(EINVAL, io.last_errno());
}

TEST_F(Client_IO_Test, PutStreamStoresTheStreamAndRespectsExistingNames) {
    Client_IO_Ex io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    std::stringstream info("{\"id\": \"vm-1\"}");
    ASSERT_TRUE(io.put_stream(info, "vm-1/info.json", Client_IO_Ex::PUT_EXCLUSIVE))
        << io.error_text();
    EXPECT_EQ("{\"id\": \"vm-1\"}", file_text(pool_.path("vm-1/info.json")));
    EXPECT_EQ(14u, io.original_size());
    EXPECT_EQ(14u, io.storage_size());

    std::stringstream again("other");
    EXPECT_FALSE(io.put_stream(again, "vm-1/info.json", Client_IO_Ex::PUT_EXCLUSIVE));
    EXPECT_EQ(EEXIST, io.last_errno());
    std::stringstream no_flag("other");
    EXPECT_FALSE(io.put_stream(no_flag, "vm-1/info.json", 0)) << "overwrite is off";
    EXPECT_EQ("{\"id\": \"vm-1\"}", file_text(pool_.path("vm-1/info.json")));

    options_.overwrite = true;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    std::stringstream excl("other");
    EXPECT_FALSE(io.put_stream(excl, "vm-1/info.json", Client_IO_Ex::PUT_EXCLUSIVE));
    std::stringstream replace("replaced");
    EXPECT_TRUE(io.put_stream(replace, "vm-1/info.json", 0)) << io.error_text();
    EXPECT_EQ("replaced", file_text(pool_.path("vm-1/info.json")));
    EXPECT_THAT(pool_.files(), ElementsAre("vm-1/info.json"));
}

TEST_F(Client_IO_Test, PutStreamThatFailsLeavesNothing) {
    Client_IO_Ex io;
    ASSERT_TRUE(io.connect(pool_.url(), options_));
    Client_IO::inject_fault(Client_IO::FAULT_FLUSH, EIO);
    std::stringstream info("text");
    EXPECT_FALSE(io.put_stream(info, "info.json", Client_IO_Ex::PUT_EXCLUSIVE));
    EXPECT_EQ(EIO, io.last_errno());
    EXPECT_THAT(pool_.files(), IsEmpty());
}

}  // namespace
