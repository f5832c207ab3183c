// The backup world of the servant tests (world/backup_world.h) under a fresh
// HOST_ROOT, with the VM "bk-01": three disks of odd sizes and a CD-ROM. The
// request bodies CloudTower got are kept for one check at the end
// (sent_requests).
#ifndef TESTS_SMARTX_SERVANT_FIXTURE_H
#define TESTS_SMARTX_SERVANT_FIXTURE_H

#include <unistd.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/client_io.h"
#include "host/json_spirit/json_io.h"
#include "support/temp_root.h"
#include "world/backup_world.h"
#include "world/job_run.h"
#include "world/listed_vm.h"
#include "world/pool_image.h"

namespace backup_test {

using namespace world;
constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr uint64_t BLOCK = 256 * KiB;
using Alerts = std::vector<std::pair<unsigned, unsigned>>;

// {"path", "body"} of every POST CloudTower got in the tests of this process.
inline Array& sent_requests() {
    static Array all;
    return all;
}

class BackupWorld : public ::testing::Test {
protected:
    void SetUp() override {
        // Quick retries of ZBS calls.
        ::setenv("ZBS_RETRIES", "1", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        Client_IO::clear_faults();
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        vm_ = numbered_vm("bk", 0, "bk-01", {MiB + 4608, 700 * KiB, 2 * MiB + 100352},
                          "Backup test VM");
        world_->add_vms({vm_});
        handler_ = make_backup_handler();
    }

    void TearDown() override {
        handler_.reset();
        restore_handler_.reset();
        if (world_)
            for (const sim::cloudtower::Logged_Request& r : world_->tower().requests())
                if (r.method == "POST")
                    sent_requests().push_back(
                        Object{{"path", Value(r.path)}, {"body", Value(r.body)}});
        world_.reset();
        Client_IO::clear_faults();
        ::unsetenv("ZBS_RETRIES");
        ::unsetenv("ZBS_INITIAL_INTERVAL");
    }

    // A request param with one quick retry.
    smartx::Backup_Param param(Job_Definition_Subtype type) const {
        smartx::Backup_Param p = world_->param(type, vm_);
        p.control.retry.max_retries = 1;
        p.control.retry.max_internal = 0;
        return p;
    }
    Servant_Reply backup(const smartx::Backup_Param& p, const std::vector<size_t>& only = {}) {
        return call_servant(*handler_, Value(backup_request(p, backup_entry(vm_, only))));
    }
    Servant_Reply backup(Job_Definition_Subtype type) { return backup(param(type)); }

    void write_disk(size_t disk, uint64_t offset, const std::string& data) {
        world_->write_disk(vm_.disks[disk], offset, data);
    }
    void fill_disks() { world_->fill_disks(vm_); }
    std::vector<std::string> disk_contents() const { return world_->disk_contents(vm_); }

    std::vector<Object> rows() const { return world_->catalog_rows(); }
    std::vector<std::string> restore(const std::vector<Object>& chain) const {
        return world_->restore(vm_, chain);
    }
    std::string piece(const Object& row, size_t disk) const {
        return piece_path(row, vm_.disks[disk].volume_local_id);
    }
    // Restores the VM from the catalog set into the target, in this process.
    Servant_Reply restore_vm(const std::string& set_uuid, const Restore_Target& target,
                             const std::vector<size_t>& only = {}) {
        if (!restore_handler_) {
            write_world_pools(*world_, {world_->defaults().pool_uuid});
            restore_handler_ = make_restore_handler();
        }
        return call_servant(
            *restore_handler_,
            Value(restore_request(restore_param(world_->defaults(), target),
                                  restore_entry(world_->fixtures(), vm_, set_uuid, target, only))));
    }
    // Files of the volume store: one per volume and snapshot.
    std::vector<std::string> store_files() const { return world::pool_files(world_->store_dir()); }

    std::vector<std::string> snapshots() const { return world_->vm_snapshot_ids(vm_.id); }
    std::vector<std::string> pool_files() const { return world_->pool_files(); }
    uint64_t zbs_read() const { return world_->zbs_totals().bytes_read; }
    smartx::VM_Progress_Info& progress() { return world_->progress(vm_.id); }
    // Runs action on another thread once the transfer has read something
    // (bounded: a transfer that never starts cannot hang the test).
    std::thread once_reading(std::function<void()> action) {
        return std::thread([this, action] {
            for (int i = 0; i < 5000 && progress().processed_bytes == 0; ++i)
                ::usleep(1000);
            action();
        });
    }

    // Waits for the clock's next second.
    static void next_second() {
        const time_t now = ::time(nullptr);
        while (::time(nullptr) == now)
            ::usleep(10000);
    }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    VM vm_;
    Handler_Ptr handler_{nullptr, nullptr};
    Handler_Ptr restore_handler_{nullptr, nullptr};
};

}  // namespace backup_test

#endif
