// The backup servant as the executor runs it: the host's servant scheduler
// starts the starter program, which loads the module named by the servant
// configuration and hands it the task's request; the reply comes back to the
// scheduler's result callback.
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/servant/servant.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/servant/servant_test_support.h"
#include "smartx/servant/backup_world.h"

namespace backup_test {
namespace {

class Backup_Starter_Test : public Backup_World {
protected:
    void SetUp() override {
        Backup_World::SetUp();
        install_starter();
        write_servant_config(
            Object{{"smartx.servant.backup", Value("SmartX_Backup_Servant_Handler")}},
            SMARTX_MODULE_PATH);
    }

    // Runs one task; the reply its servant sent (null when none came).
    JSON_RPC_Object_Ptr run_servant(const Object& params) {
        Servant_Task_Scheduler scheduler("smartx.servant.backup", 1024);
        JSON_RPC_Object_Ptr reply;
        std::mutex mutex;
        std::vector<std::string> servant_log;
        const auto init = [&](Servant& servant, const Object&) {
            servant.set_log_msg_callback([&](const std::string& line) {
                std::lock_guard<std::mutex> lock(mutex);
                servant_log.push_back(line);
            });
            return servant.reset("starter", servant_config_template(), nullptr, nullptr,
                                 vm_name_.c_str()) == 0;
        };
        const auto result = [&](const JSON_RPC_Object_Ptr& r) {
            std::lock_guard<std::mutex> lock(mutex);
            reply = r;
            if (r.null() || r->type() != JSON_RPC_Object::TYPE_RESPONSE)
                return 1;
            const Value& code = member(static_cast<const JSON_RPC_Response&>(*r).result, "code");
            return code.type() == json_spirit::int_type ? code.get_int() : 1;
        };
        EXPECT_TRUE(scheduler.enqueue_task(params, "node-hz01-01", 0, "backup_vm_" + vm_name_,
                                           vm_id_.c_str()));
        EXPECT_TRUE(scheduler.activate(1, init, result));
        EXPECT_TRUE(scheduler.wait());
        std::lock_guard<std::mutex> lock(mutex);
        if (reply.null()) {
            std::string all;
            for (const std::string& line : servant_log)
                all += line + "\n";
            ADD_FAILURE() << "no reply; the servant logged:\n" << all;
        }
        return reply;
    }
};

TEST_F(Backup_Starter_Test, ServantProcessBacksUpTheVm) {
    fill_disks();
    const std::vector<std::string> expected = disk_contents();
    const JSON_RPC_Object_Ptr reply =
        run_servant(params(param(JOB_DEFINITION_SUBTYPE_FULL), entry()));
    ASSERT_FALSE(reply.null());
    ASSERT_EQ(reply->type(), JSON_RPC_Object::TYPE_RESPONSE);
    const Value& result = static_cast<const JSON_RPC_Response&>(*reply).result;
    EXPECT_EQ(member(result, "code"), Value(0));
    EXPECT_EQ(member(result, "vm_id"), Value(vm_id_));

    const std::vector<Object> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    for (size_t i = 0; i < disks_.size(); ++i)
        EXPECT_EQ(read_image(piece_path(rows[0], disks_[i].volume_local_id), disks_[i].size),
                  expected[i]);
    EXPECT_EQ(progress_->state, 2);
    EXPECT_EQ(member(result, "storage_size").get_uint64(),
              member(Value(rows[0].at("storages").get_array()[0]), "size").get_uint64());
}

TEST_F(Backup_Starter_Test, ServantProcessRefusesARequestWithoutEntry) {
    Object no_entry;
    no_entry["param"] = param(JOB_DEFINITION_SUBTYPE_FULL).dump();
    const JSON_RPC_Object_Ptr reply = run_servant(no_entry);
    ASSERT_FALSE(reply.null());
    ASSERT_EQ(reply->type(), JSON_RPC_Object::TYPE_RESPONSE_ERROR);
    EXPECT_EQ(static_cast<const JSON_RPC_Response_Error&>(*reply).code, -32602);
    EXPECT_TRUE(pool_files().empty());
}

}  // namespace
}  // namespace backup_test
