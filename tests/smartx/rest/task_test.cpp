// Mutations that answer tasks, and the wait for a task to end.
#include "rest_test_support.h"
#include "smartx/common/item.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_volume.h"

namespace rest_test {
namespace {

using smartx::Message;

const std::string TASKS_CALL = "POST /v2/api/get-tasks";

class Task_Test : public Rest_Test {
protected:
    void SetUp() override {
        Rest_Test::SetUp();
        log_in();
    }

    static smartx::Query_Params where_id(const std::string& id) {
        smartx::Query_Params params;
        params.where("id", id);
        return params;
    }

    bool start_stopped_vm(smartx::Error* error) {
        return client_.send_async_task_request_with_params<smartx::VM>(
            where_id(fixture_id("vms", "test-01")), Message::START_VM, error);
    }

    smartx::Error error_;
};

TEST_F(Task_Test, SucceedsAfterPolls) {
    server_->set_task_timing({1, 1});
    ASSERT_TRUE(start_stopped_vm(&error_)) << error_.message;
    EXPECT_TRUE(error_.empty());
    // Pending, executing, then the end.
    EXPECT_EQ(3u, count_calls(TASKS_CALL));
    Object vm;
    ASSERT_TRUE(server_->record("vms", fixture_id("vms", "test-01"), vm));
    EXPECT_EQ("RUNNING", vm.at("status").get_str());
}

TEST_F(Task_Test, FailedTaskGivesItsMessage) {
    server_->fail_tasks("start-vm", "Simulated start failure");
    EXPECT_FALSE(start_stopped_vm(&error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("Simulated start failure", error_.message);

    Log_Capture log;
    EXPECT_FALSE(start_stopped_vm(nullptr));
    EXPECT_EQ(
        std::vector<std::string>{"Failed to wait task finish, details: Simulated start failure.\n"},
        log.texts());
    EXPECT_TRUE(client_.error_.empty());
}

TEST_F(Task_Test, UnknownTaskIsNotFound) {
    EXPECT_FALSE(client_.wait_task_finish("no-such-task", &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("not found.", error_.message);
    EXPECT_EQ(1u, count_calls(TASKS_CALL));
}

TEST_F(Task_Test, EmptyAnswersFailWithoutPolling) {
    // Parameters that match nothing start no task.
    EXPECT_FALSE(client_.send_async_task_request_with_params<smartx::VM>(
        where_id("no-such-vm"), Message::START_VM, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("not found.", error_.message);

    server_->answer_raw("create-vm-volume", 200, "[]", "application/json");
    smartx::VM_Volume_Setting setting;
    setting.name = "v";
    smartx::Async_Task<smartx::VM_Volume> task;
    error_.clear();
    EXPECT_FALSE(client_.send_async_task_request_with_setting(setting, Message::CREATE_VM_VOLUME,
                                                              task, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("Failed to send async task request.", error_.message);

    Log_Capture log;
    EXPECT_FALSE(client_.send_async_task_request_with_setting(setting, Message::CREATE_VM_VOLUME,
                                                              task, nullptr));
    EXPECT_EQ(std::vector<std::string>{"Failed to send async task request.\n"}, log.texts());
    EXPECT_EQ(0u, count_calls(TASKS_CALL));
}

TEST_F(Task_Test, SettingIsSentAsAListAndItsTaskAwaited) {
    server_->set_task_timing({0, 1});
    smartx::VM_Volume_Setting setting;
    setting.name = "rest-test-volume";
    setting.size = 1 << 30;
    setting.cluster_id = fixture_id("clusters", "cluster-hz-01");
    setting.elf_storage_policy = "REPLICA_2_THIN_PROVISION";
    smartx::Async_Task<smartx::VM_Volume> task;
    ASSERT_TRUE(client_.send_async_task_request_with_setting(setting, Message::CREATE_VM_VOLUME,
                                                             task, &error_))
        << error_.message;
    EXPECT_FALSE(task.task_id.empty());
    ASSERT_FALSE(task.data.id.empty());
    EXPECT_EQ(Value(Array{Value(setting.dump())}), bodies().at(0));
    EXPECT_EQ(2u, count_calls(TASKS_CALL));
    Object volume;
    EXPECT_TRUE(server_->record("vm_volumes", task.data.id, volume));
}

}  // namespace
}  // namespace rest_test
