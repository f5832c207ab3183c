// A channel of the host that throws does not take the servant process down:
// the handler answers -32603 when it still can, and returns -1 when not.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/servant/json_rpc.h"
#include "smartx/servant/backup_servant_handler.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

// Throws at the first `failures` sends, keeps what it sends after that.
class Throwing_Channel : public JSON_RPC_Channel {
public:
    explicit Throwing_Channel(int failures) : failures_(failures) {}
    std::vector<JSON_RPC_Object_Ptr> sent;

protected:
    int send_object(const JSON_RPC_Object& obj) override {
        if (failures_ < 0 || failures_-- > 0)
            throw std::runtime_error("channel refused");
        if (obj.type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
            const auto& e = static_cast<const JSON_RPC_Response_Error&>(obj);
            sent.emplace_back(new JSON_RPC_Response_Error(e.code, e.id, e.message, e.data));
        }
        return 0;
    }

private:
    int failures_;
};

TEST(BackupServantEdges, ThrowingChannelIsAnsweredOrRefusedWithoutThrowing) {
    struct Row {
        const char* name;
        int failures;
        int rc;
        size_t answers;  // -32603 errors that went out
    };
    const Row rows[] = {
        {"OnceThenWorks", 1, 0, 1},
        {"Always", -1, -1, 0},
    };
    Temp_Root root;
    Gobble_Function gobble = nullptr;
    std::unique_ptr<JSON_RPC_Handler, Gobble_Function> handler(
        _make_SmartX_Backup_Servant_Handler(&gobble), gobble);
    ASSERT_NE(handler, nullptr);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Log_Capture log;
        auto channel = std::make_shared<Throwing_Channel>(row.failures);
        // No "param": the -32602 answer is the first send.
        JSON_RPC_Object_Ptr request(new JSON_RPC_Request(
            "smartx.servant.backup", json_spirit::Value(json_spirit::Object()), 7));
        int rc = 1;
        EXPECT_NO_THROW(rc = handler->handle_object(channel, request));
        EXPECT_EQ(rc, row.rc);
        ASSERT_EQ(channel->sent.size(), row.answers);
        for (const JSON_RPC_Object_Ptr& o : channel->sent) {
            const auto& e = static_cast<const JSON_RPC_Response_Error&>(*o);
            EXPECT_EQ(e.code, JSON_RPC_INTERNAL_ERROR);
            EXPECT_EQ(e.message, "Internal error.");
            EXPECT_EQ(e.id, json_spirit::Value(7));
        }
        bool logged = false;
        for (const Log_Capture::Line& l : log.lines())
            logged |= l.priority == LM_ERROR &&
                      l.text ==
                          "Failed to handle SmartX backup request, caught exception: "
                          "channel refused.\n";
        EXPECT_TRUE(logged);
    }
}

}  // namespace
