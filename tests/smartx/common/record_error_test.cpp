#include "smartx/common/error.h"

#include "json_spirit/json_spirit_helper.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace json_spirit;
using smartx::Error;

namespace {
Object body() {
    return Object_Maker()("status", 400)("path", "/v2/api/get-vms")("message", "bad where")(
               "props", Object_Maker()("field", "where"))("stack", "at x")("op", "getVms")
        .get_obj();
}
}  // namespace

TEST(ErrorRecord, LoadsEveryKey) {
    Log_Capture log;
    Error e;
    ASSERT_TRUE(e.load(body()));
    EXPECT_EQ(e.status, 400);
    EXPECT_EQ(e.path, "/v2/api/get-vms");
    EXPECT_EQ(e.message, "bad where");
    EXPECT_EQ(e.props.get_obj(), Object_Maker()("field", "where").get_obj());
    EXPECT_EQ(e.stack, "at x");
    EXPECT_EQ(e.op, "getVms");
    EXPECT_FALSE(e.empty());
    EXPECT_TRUE(log.lines().empty());

    Error minimal;
    Object required_only = body();
    required_only.erase("props");
    required_only.erase("stack");
    required_only.erase("op");
    ASSERT_TRUE(minimal.load(required_only));
    EXPECT_TRUE(minimal.props.is_null());
    EXPECT_EQ(minimal.stack, "");
    EXPECT_EQ(minimal.op, "");
}

TEST(ErrorRecord, AFailedLoadLogsAndKeepsWhatWasRead) {
    Log_Capture log;
    Object no_message = body();
    no_message.erase("message");
    Error e;
    EXPECT_FALSE(e.load(no_message));
    // Read in the order props, stack, status, op, path, message.
    EXPECT_EQ(e.status, 400);
    EXPECT_EQ(e.path, "/v2/api/get-vms");
    EXPECT_EQ(e.op, "getVms");

    Object wide_status = body();
    wide_status["status"] = Value(static_cast<long>((int64_t(1) << 32) + 400));
    Error narrowed;
    EXPECT_FALSE(narrowed.load(wide_status));
    EXPECT_EQ(narrowed.status, 0);
    EXPECT_EQ(narrowed.path, "");

    Object text_status = body();
    text_status["status"] = Value("400");
    EXPECT_FALSE(Error().load(text_status));

    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "Failed to parse error, details: 'message' is expected as string.\n",
                  "Failed to parse error, details: 'status' is expected as 32-bit integer.\n",
                  "Failed to parse error, details: 'status' is expected as 32-bit integer.\n"}));
}

TEST(ErrorRecord, EmptyResetAndClear) {
    Error e;
    EXPECT_TRUE(e.empty());
    e.message = "m";
    EXPECT_FALSE(e.empty());
    e = Error();
    e.status = -1;
    EXPECT_FALSE(e.empty());

    Error loaded;
    ASSERT_TRUE(loaded.load(body()));
    loaded.reset(-1, "Failed to send request");
    EXPECT_EQ(loaded.status, -1);
    EXPECT_EQ(loaded.message, "Failed to send request");
    EXPECT_EQ(loaded.path, "/v2/api/get-vms");
    EXPECT_EQ(loaded.stack, "at x");
    EXPECT_EQ(loaded.op, "getVms");
    EXPECT_FALSE(loaded.props.is_null());

    loaded.clear();
    EXPECT_TRUE(loaded.empty());
    EXPECT_EQ(loaded.path, "");
    EXPECT_EQ(loaded.stack, "");
    EXPECT_EQ(loaded.op, "");
    EXPECT_TRUE(loaded.props.is_null());
}
