// The error record CloudTower answers a failed request with.
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

TEST(ErrorRecord, LoadsRequiredAndOptionalKeys) {
    Log_Capture log;
    Error e;
    ASSERT_TRUE(e.load(body()));
    EXPECT_EQ(e.status, 400);
    EXPECT_EQ(e.path, "/v2/api/get-vms");
    EXPECT_EQ(e.message, "bad where");
    EXPECT_EQ(e.props.get_obj(), Object_Maker()("field", "where").get_obj());
    EXPECT_EQ(e.stack, "at x");
    EXPECT_EQ(e.op, "getVms");

    Object required_only = body();
    for (const char* key : {"props", "stack", "op"})
        required_only.erase(key);
    Error minimal;
    ASSERT_TRUE(minimal.load(required_only));
    EXPECT_TRUE(minimal.props.is_null());
    EXPECT_EQ(minimal.op, "");
    EXPECT_TRUE(log.lines().empty());
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

    Object wide_status = body();
    wide_status["status"] = Value(static_cast<long>((int64_t(1) << 32) + 400));
    Error narrowed;
    EXPECT_FALSE(narrowed.load(wide_status));
    EXPECT_EQ(narrowed.status, 0);
    wide_status["status"] = Value("400");
    EXPECT_FALSE(Error().load(wide_status));

    const std::string status =
        "Failed to parse error, details: 'status' is expected as 32-bit "
        "integer.\n";
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Failed to parse error, details: 'message' is expected as string.\n",
                               status, status}));
}

TEST(ErrorRecord, ResetKeepsTheContextAndClearEmpties) {
    Error e;
    EXPECT_TRUE(e.empty());
    e.status = -1;
    EXPECT_FALSE(e.empty());

    ASSERT_TRUE(e.load(body()));
    e.reset(-1, "Failed to send request");
    EXPECT_EQ(e.status, -1);
    EXPECT_EQ(e.message, "Failed to send request");
    EXPECT_EQ(e.path, "/v2/api/get-vms");
    EXPECT_FALSE(e.props.is_null());

    e.clear();
    EXPECT_TRUE(e.empty());
    EXPECT_TRUE(e.path.empty() && e.stack.empty() && e.op.empty());
    EXPECT_TRUE(e.props.is_null());
}
