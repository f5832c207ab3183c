// The error record CloudTower answers a failed request with.
#include "smartx/common/error.h"

#include "json_spirit/json_spirit_helper.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
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

const char* const STATUS =
    "Failed to parse error, details: 'status' is expected as 32-bit integer.\n";
}  // namespace

TEST(ErrorRecord, LoadsKeysInOrderAndKeepsWhatWasRead) {
    // Read in the order props, stack, status, op, path, message.
    const struct {
        const char* key;
        std::optional<Value> value;  // none: the key is removed
        const char* log;             // null: the load succeeds
        const char* loaded;          // "status path message stack op"
    } rows[] = {
        {"op", Value("getVms"), nullptr, "400 /v2/api/get-vms bad where at x getVms"},
        {"props", std::nullopt, nullptr, "400 /v2/api/get-vms bad where at x getVms"},
        {"stack", std::nullopt, nullptr, "400 /v2/api/get-vms bad where  getVms"},
        {"op", std::nullopt, nullptr, "400 /v2/api/get-vms bad where at x "},
        {"message", std::nullopt,
         "Failed to parse error, details: 'message' is expected as string.\n",
         "400 /v2/api/get-vms  at x getVms"},
        {"status", Value((int64_t(1) << 32) + 400), STATUS, "0   at x "},
        {"status", Value("400"), STATUS, "0   at x "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + (row.value ? " changed" : " removed"));
        Object obj = body();
        if (row.value)
            obj[row.key] = *row.value;
        else
            obj.erase(row.key);
        Log_Capture log;
        Error e;
        EXPECT_EQ(e.load(obj), row.log == nullptr);
        EXPECT_EQ(log.texts(),
                  row.log ? std::vector<std::string>{row.log} : std::vector<std::string>());
        EXPECT_EQ(
            std::to_string(e.status) + " " + e.path + " " + e.message + " " + e.stack + " " + e.op,
            row.loaded);
        EXPECT_EQ(e.props.is_null(), !obj.count("props"));
    }
}

TEST(ErrorRecord, EmptyResetAndClear) {
    Error e;
    e.message = "m";
    EXPECT_FALSE(e.empty());
    e = Error();
    e.status = -1;
    EXPECT_FALSE(e.empty());  // a status alone is an error

    // Reset sets the status and message only; the rest is what the server sent.
    ASSERT_TRUE(e.load(body()));
    e.reset(-1, "Failed to send request");
    EXPECT_EQ(e.status, -1);
    EXPECT_EQ(e.message, "Failed to send request");
    EXPECT_EQ(e.path, "/v2/api/get-vms");
    EXPECT_FALSE(e.props.is_null());
    e.clear();
    EXPECT_TRUE(e.empty());
    EXPECT_TRUE(e.path.empty() && e.stack.empty() && e.op.empty() && e.props.is_null());
}
