// Everything one backup servant request meets, on this machine: a simulated
// CloudTower (the shared fixtures plus a VM "bk-01" with three disks of odd
// sizes), the simulated ZBS library over the same volume store, a backup
// server with its catalog, the job's activity and progress records and a
// storage pool directory.
#ifndef TESTS_SMARTX_SERVANT_BACKUP_WORLD_H
#define TESTS_SMARTX_SERVANT_BACKUP_WORLD_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/client_io.h"
#include "host/image_block_reader.h"
#include "host/job/activity_map.h"
#include "host/json_spirit/json_io.h"
#include "host/pool_test_support.h"
#include "host/servant/json_rpc.h"
#include "host/uuid.h"
#include "sim/backup_server/backup_server.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "smartx/common/param.h"
#include "smartx/common/progress_info.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/servant/backup_servant_handler.h"
#include "support/host_settings.h"
#include "support/temp_root.h"
#include "support/zbs_sim.h"
#include "tools/demo_support/pool_image.h"
#include "tools/demo_support/sim_vm.h"

namespace backup_test {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr uint64_t BLOCK = 256 * KiB;

// The shared CloudTower fixtures.
inline sim_vm::Fixtures fixtures() {
    return sim_vm::Fixtures(std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower");
}

inline Value parse(const std::string& text) {
    Value v;
    std::string why;
    EXPECT_TRUE(json_spirit::read(text, v, &why)) << why;
    return v;
}

inline std::string str(const Value& v, const std::string& key) {
    if (v.type() != json_spirit::obj_type)
        return std::string();
    const std::string* s = json_spirit::object_get_str(v.get_obj(), key);
    return s ? *s : std::string();
}

inline const Value& member(const Value& v, const std::string& key) {
    if (v.type() != json_spirit::obj_type)
        return Value::null;
    const Value* m = json_spirit::object_get_value(v.get_obj(), key);
    return m ? *m : Value::null;
}

inline Object fixture_record(const std::string& kind, const std::string& name) {
    return fixtures().record(kind, name);
}

using sim_vm::ref;

// One disk of the test VM.
using Test_Disk = sim_vm::Disk;

// The reply of one request: a result object, or an error.
struct Reply {
    int rc = -1;         // what handle_object returned
    size_t sent = 0;     // objects the handler sent
    bool error = false;  // the one object is an error
    int error_code = 0;
    std::string error_message;
    Object result;

    int code() const {
        const Value* v = json_spirit::object_get_value(result, "code");
        return v != nullptr && v->type() == json_spirit::int_type ? v->get_int() : -100;
    }
};

// The handler as the host gets it from the module.
inline std::unique_ptr<JSON_RPC_Handler, Gobble_Function> make_handler() {
    Gobble_Function gobble = nullptr;
    JSON_RPC_Handler* h = _make_SmartX_Backup_Servant_Handler(&gobble);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(gobble, &_gobble_SmartX_Backup_Servant_Handler);
    return std::unique_ptr<JSON_RPC_Handler, Gobble_Function>(h, gobble);
}

class Backup_World : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZBS_RETRIES", "1", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        store_ = make_zbs_store(root_.path());
        library_ = install_zbs_sim(ZBS_SIM_PATH, "5.5.1");
        // Held for the whole test: the servant's unload then keeps the
        // library's counters.
        zbs_.reset(new Zbs_Sim_Control(library_));
        zbs_->reset();

        backupd_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(backupd_->start());
        write_host_settings(root_.path(), backupd_->port(), "");

        sim::cloudtower::Options options;
        options.inventory_file =
            std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower/inventory.json";
        options.store_dir = store_;
        tower_.reset(new sim::cloudtower::Server(options));
        std::string why;
        ASSERT_TRUE(tower_->start(&why)) << why;
        add_vm();

        ASSERT_EQ(activity_.open(def_id_, true), 0);
        activity_->state = JOB_STATE_RUNNING;
        uuid_from_string(job_id_, activity_->id);
        uuid_from_string(job_uid_, activity_->uid);
        ASSERT_EQ(progress_.open(def_id_, vm_id_, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0750), 0);
    }

    void TearDown() override {
        Client_IO::clear_faults();
        if (tower_)
            tower_->stop();
        if (backupd_)
            backupd_->stop();
        zbs_->reset();
        zbs_.reset();
        ::unsetenv("ZBS_RETRIES");
        ::unsetenv("ZBS_INITIAL_INTERVAL");
    }

    // bk-01 in cluster-hz-01, on node-hz01-01, in folder "production" with
    // label "env": disks of 1 MiB + 4.5 KiB, 700 KiB and 2 MiB + 98 KiB, and
    // a CD-ROM.
    void add_vm() {
        cluster_id_ = fixture_record("clusters", "cluster-hz-01").at("id").get_str();
        const sim_vm::VM vm = sim_vm::numbered_vm(
            "bk", 0, vm_name_, {MiB + 4608, 700 * KiB, 2 * MiB + 100352}, "Backup test VM");
        ASSERT_EQ(vm.id, vm_id_);
        disks_ = vm.disks;
        std::string why;
        for (const auto& kind : sim_vm::vm_records(fixtures(), {vm}))
            ASSERT_TRUE(tower_->put_records(kind.first, kind.second, &why))
                << kind.first << ": " << why;
    }

    static Object fixture_ref(const std::string& kind, const std::string& name) {
        return fixtures().reference(kind, name);
    }

    std::string volume_file(size_t disk) const {
        return tower_->volume_path(disks_[disk].zbs_volume_id);
    }

    void write_disk(size_t disk, uint64_t offset, const std::string& data) {
        const int fd = ::open(volume_file(disk).c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(data.size()));
        ::close(fd);
    }

    // Text of n bytes that differs from block to block.
    static std::string pattern(size_t n, char seed) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i)
            s[i] = static_cast<char>(seed + (i * 7 + i / 4096) % 61);
        return s;
    }

    // Data scattered over every disk, the last bytes included.
    void fill_disks() {
        for (size_t i = 0; i < disks_.size(); ++i) {
            const uint64_t size = disks_[i].size;
            write_disk(i, 0, pattern(8192, static_cast<char>('A' + i)));
            write_disk(i, size / 2, pattern(5000, static_cast<char>('a' + i)));
            write_disk(i, size - 777, pattern(777, static_cast<char>('0' + i)));
        }
    }

    std::string disk_content(size_t disk) const {
        std::ifstream in(volume_file(disk), std::ios::binary);
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return s;
    }

    std::vector<std::string> disk_contents() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < disks_.size(); ++i)
            out.push_back(disk_content(i));
        return out;
    }

    smartx::Backup_Param param(Job_Definition_Subtype type) const {
        smartx::Backup_Param p;
        p.backup_type = type;
        p.pool_url = "file://" + pool_dir_;
        p.vm_id = vm_id_;
        p.vm_name = vm_name_;
        p.cluster_id = cluster_id_;
        smartx::Control_Param& c = p.control;
        c.def_id = def_id_;
        c.host_id = "host-backup-01";
        c.job_revision = 3;
        c.resource_uuid = resource_uuid_;
        c.backupd_host = "127.0.0.1";
        c.backupd_port = static_cast<uint16_t>(backupd_->port());
        c.login_info.host = "127.0.0.1";
        c.login_info.port = static_cast<uint16_t>(tower_->port());
        c.login_info.username = "admin";
        c.login_info.secure_pwd = "admin123";
        c.retry.max_retries = 1;
        c.retry.max_internal = 0;
        c.parallelism.disks_per_vm = 2;
        p.catalog.name = "nightly";
        p.catalog.host_uuid = "host-uuid-1";
        p.catalog.agent = "smartx";
        p.catalog.instance_version = "4.1.0";
        p.catalog.pool_uuid = "pool-uuid-1";
        return p;
    }

    smartx::Backup_Source_Entry entry(std::vector<size_t> only = {}) const {
        smartx::Backup_Source_Entry e;
        e.id = vm_id_;
        e.name = vm_name_;
        e.type = "VirtualMachine";
        for (size_t i : only) {
            smartx::Backup_Source_Entry::Disk_Volume v;
            v.disk_id = disks_[i].disk_id;
            v.volume_id = disks_[i].volume_id;
            v.volume_name = disks_[i].name;
            v.volume_local_id = disks_[i].volume_local_id;
            e.volumes.push_back(v);
        }
        return e;
    }

    static Object params(const smartx::Backup_Param& p, const smartx::Backup_Source_Entry& e) {
        Object o;
        o["param"] = p.dump();
        o["entry"] = e.dump();
        return o;
    }

    static Reply send(JSON_RPC_Handler& handler, const Value& params) {
        auto channel = std::make_shared<JSON_RPC_Memory_Channel>();
        JSON_RPC_Object_Ptr request(
            new JSON_RPC_Request("smartx.servant.backup", params, Value(7)));
        Reply reply;
        reply.rc = handler.handle_object(channel, request);
        const std::vector<JSON_RPC_Object_Ptr> sent = channel->sent();
        reply.sent = sent.size();
        if (sent.size() != 1)
            return reply;
        EXPECT_EQ(sent[0]->id, Value(7));
        if (sent[0]->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
            const auto& e = static_cast<const JSON_RPC_Response_Error&>(*sent[0]);
            reply.error = true;
            reply.error_code = e.code;
            reply.error_message = e.message;
        } else if (sent[0]->type() == JSON_RPC_Object::TYPE_RESPONSE) {
            const auto& r = static_cast<const JSON_RPC_Response&>(*sent[0]);
            if (r.result.type() == json_spirit::obj_type)
                reply.result = r.result.get_obj();
        }
        return reply;
    }

    Reply backup(JSON_RPC_Handler& handler, const smartx::Backup_Param& p) {
        return send(handler, Value(params(p, entry())));
    }

    // Files are named by the second a backup starts in, and an existing name is
    // never taken again: two backups of one level start in different seconds.
    static void next_second() {
        const time_t now = ::time(nullptr);
        while (::time(nullptr) == now)
            ::usleep(10000);
    }

    std::vector<std::string> pool_files() const {
        std::vector<std::string> out = pool_.files();
        std::sort(out.begin(), out.end());
        return out;
    }

    // The data an image hands over, laid onto base (zeros by default).
    std::string read_image(const std::string& file, uint64_t size,
                           std::string base = std::string()) const {
        if (base.empty())
            base.assign(size, '\0');
        std::string why;
        const bool read = read_pool_image(
            "file://" + pool_dir_, file,
            [&](char* data, uint64_t length, uint64_t offset) {
                if (offset + length > size)
                    return false;
                std::memcpy(&base[offset], data, length);
                return true;
            },
            BLOCK, &why);
        EXPECT_TRUE(read) << file << ": " << why;
        return base;
    }

    // Every disk read back from the images of a chain of rows, oldest first.
    std::vector<std::string> restore(const std::vector<Object>& chain) const {
        std::vector<std::string> out;
        for (const Test_Disk& d : disks_) {
            std::string data(d.size, '\0');
            for (const Object& row : chain) {
                const std::string path = piece_path(row, d.volume_local_id);
                EXPECT_FALSE(path.empty()) << d.name;
                if (path.find("/not_exists_") == std::string::npos)
                    data = read_image(path, d.size, data);
            }
            out.push_back(data);
        }
        return out;
    }

    zbs_sim_stats zbs_totals() const {
        zbs_sim_stats s{};
        zbs_->total_stats(&s);
        return s;
    }

    std::vector<Object> catalog_rows() const { return backupd_->catalog_rows("smartx"); }

    // Ids of the VM snapshots CloudTower holds for bk-01.
    std::vector<std::string> vm_snapshot_ids() const {
        std::vector<std::string> out;
        for (const Value& s : tower_->records("vm_snapshots"))
            if (str(member(s, "vm"), "id") == vm_id_)
                out.push_back(str(s, "id"));
        return out;
    }

    // (level, code) of every alert the backup server got.
    std::vector<std::pair<unsigned, unsigned>> alerts() const {
        std::vector<std::pair<unsigned, unsigned>> out;
        for (const Value& a : backupd_->alerts()) {
            const uint64_t code = member(a, "code").get_uint64();
            out.emplace_back(static_cast<unsigned>(code >> 60),
                             static_cast<unsigned>(code & 0xffff));
        }
        return out;
    }

    // The pieces of a catalog row whose object is a volume, by volume local id.
    static std::vector<Object> volume_pieces(const Object& row) {
        std::vector<Object> out;
        for (const Value& p : row.at("pieces").get_array())
            if (str(p, "object") != "vm_info")
                out.push_back(p.get_obj());
        return out;
    }

    static std::string piece_path(const Object& row, const std::string& volume_local_id) {
        for (const Object& p : volume_pieces(row))
            if (str(member(Value(p), "extended_attrs"), "vm_volume_local_id") == volume_local_id)
                return p.at("path").get_str();
        return std::string();
    }

    // The test's HOST_ROOT, with the storage pool directory in it.
    Pool_Dir pool_;
    const Temp_Root& root_ = pool_.root();
    const std::string& pool_dir_ = pool_.dir();
    std::string store_;
    std::string library_;
    std::unique_ptr<Zbs_Sim_Control> zbs_;
    std::unique_ptr<sim::Backup_Server> backupd_;
    std::unique_ptr<sim::cloudtower::Server> tower_;
    Job_Activity_Map activity_;
    smartx::VM_Progress_Handle progress_;

    const std::string def_id_ = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000d1";
    const std::string job_id_ = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000a1";
    const std::string job_uid_ = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000b1";
    const std::string resource_uuid_ = "0f0e0d0c-0b0a-4090-8070-605040302010";
    const std::string vm_id_ = "cl0bkvm000000000000000001";
    const std::string vm_name_ = "bk-01";
    std::string cluster_id_;
    std::vector<Test_Disk> disks_;
};

}  // namespace backup_test

#endif
