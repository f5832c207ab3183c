// The job parameter records: the JSON form, nested failures and round trips
// of random records.
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "json_spirit/assign.h"
#include "smartx/common/param.h"
#include "smartx/job/random_text.h"
#include "support/log_capture.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {
// Sets (or, without a value, removes) the member at a dotted path.
void edit(Object& root, const std::string& path, const std::optional<Value>& value) {
    Object* at = &root;
    std::istringstream in(path);
    std::string part;
    for (std::getline(in, part, '.'); !in.eof(); std::getline(in, part, '.'))
        at = &json_spirit::to_object((*at)[part]);
    if (value)
        (*at)[part] = *value;
    else
        at->erase(part);
}

const char* const CONTROL = "Failed to load json obj control.\n";

// A record's message for one bad key.
std::string fail(const char* record, const char* key, const char* type) {
    return std::string("Failed to load ") + record + " from JSON: '" + key + "' is expected as " +
           type + "\n";
}
}  // namespace

TEST(Param, DefaultsLoadBackAndSnapIdIsNotCarried) {
    smartx::Backup_Param p;
    p.snap_id = "snap-1";
    p.vm_id = "vm-1";
    smartx::Backup_Param q;
    q.snap_id = "left";
    ASSERT_TRUE(q.load(Value(p.dump())));
    EXPECT_EQ(q.vm_id, "vm-1");
    EXPECT_EQ(q.snap_id, "left");

    // Without "login_info" the control keeps an empty login.
    p.control.login_info.host = "ct";
    Object d = p.dump();
    edit(d, "control.login_info", std::nullopt);
    smartx::Backup_Param no_login;
    ASSERT_TRUE(no_login.load(Value(d)));
    EXPECT_EQ(no_login.control.login_info.host, "");
}

TEST(Param, FaultyBackupRecordsFailWithTheirMessages) {
    const struct {
        std::vector<std::pair<const char*, std::optional<Value>>> edits;
        std::vector<std::string> log;
    } rows[] = {
        // Plain members are read before any nested record is tried.
        {{{"snapshot", std::nullopt}, {"control.def_id", std::nullopt}},
         {fail("Backup_Param", "snapshot", "string")}},
        {{{"control", Value(5)}}, {fail("Backup_Param", "control", "object")}},
        {{{"catalog.name", std::nullopt}},
         {fail("Catalog", "name", "string"), "Failed to load json obj catalog.\n"}},
        // Nested failures name the member up the chain; the first one stops the load.
        {{{"control.login_info.password", std::nullopt}},
         {"Failed to parse login info, details: 'password' is expected as string.\n",
          "Failed to load json obj login_info.\n", CONTROL}},
        {{{"control.retry.max_internal", std::nullopt}, {"control.login_info.host", std::nullopt}},
         {fail("Retry_Param", "max_internal", "32-bit unsigned integer"),
          "Failed to load json obj retry.\n", CONTROL}},
        {{{"control.sock_timeout.send_timeout", std::nullopt},
          {"control.login_info.host", std::nullopt}},
         {fail("SOCK_Timeout_Param", "send_timeout", "32-bit integer"),
          "Failed to load json obj sock_timeout.\n", CONTROL}},
        {{{"control.parallelism.disks_per_vm", std::nullopt},
          {"control.login_info.host", std::nullopt}},
         {fail("Parallelism_Param", "disks_per_vm", "32-bit integer"),
          "Failed to load json obj parallelism.\n", CONTROL}},
        {{{"control.retry", Value(5)}}, {fail("Control_Param", "retry", "object"), CONTROL}},
        {{{"control.io_opts.sock_timeout", Value("soon")}},
         {"Failed to load json obj io_opts.\n", CONTROL}},
        {{{"control.io_opts", std::nullopt}},
         {fail("Control_Param", "io_opts", "object"), CONTROL}},
        // Numbers outside the field's range are refused rather than wrapped (each
        // kind of number: the JSON reader tests).
        {{{"control.backupd_port", Value(65536)}},
         {fail("Control_Param", "backupd_port", "16-bit unsigned integer"), CONTROL}},
        {{{"control.job_revision", Value(2.5)}},
         {fail("Control_Param", "job_revision", "integer"), CONTROL}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.edits[0].first);
        Object d = smartx::Backup_Param().dump();
        for (const auto& e : row.edits)
            edit(d, e.first, e.second);
        Log_Capture log;
        smartx::Backup_Param p;
        EXPECT_FALSE(p.load(Value(d)));
        EXPECT_EQ(log.texts(), row.log);
        for (const Log_Capture::Line& line : log.lines())
            EXPECT_EQ(line.priority, LM_ERROR);
    }
}

TEST(Param, EveryPlainRestoreMemberIsRequired) {
    const Object full = smartx::Restore_Param().dump();
    for (const auto& kv : full) {
        Object d = full;
        d.erase(kv.first);
        Log_Capture log;
        EXPECT_FALSE(smartx::Restore_Param().load(Value(d))) << kv.first;
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(
            log.lines()[0].text.rfind(
                "Failed to load Restore_Param from JSON: '" + kv.first + "' is expected as ", 0),
            0u)
            << log.lines()[0].text;
    }
    for (const Value& v : {Value(), Value(1), Value(json_spirit::Array())}) {
        Log_Capture log;
        EXPECT_FALSE(smartx::Restore_Param().load(v));
        EXPECT_FALSE(smartx::Backup_Param().load(v));
        EXPECT_FALSE(smartx::Control_Param().load(v));
        EXPECT_FALSE(smartx::Retry_Param().load(v));
        ASSERT_EQ(log.lines().size(), 4u);
        EXPECT_EQ(log.lines()[2].text.rfind("Failed to load Control_Param from JSON: ", 0), 0u);
    }
}

// Values a servant must not take are kept as read and named by
// out_of_range(); the limits themselves pass.
TEST(Param, OutOfRangeNamesTheFirstMemberOutsideItsBounds) {
    using P = smartx::Backup_Param;
    const struct {
        void (*set)(P&);
        const char* message;
    } rows[] = {
        {[](P& p) { p.backup_type = JOB_DEFINITION_SUBTYPE_FULL; }, ""},
        {[](P& p) { p.backup_type = JOB_DEFINITION_SUBTYPE_NONE; },
         "backup_type 0 is out of range (1..3)"},
        {[](P& p) { p.control.parallelism.disks_per_vm = 64; }, ""},
        {[](P& p) { p.control.parallelism.workers_per_disk = 0; },
         "workers_per_disk 0 is out of range (1..64)"},
        {[](P& p) { p.control.zbs_block_size = 268435456; }, ""},
        {[](P& p) { p.control.zbs_block_size = 262145; },
         "zbs_block_size 262145 is out of range (262144..268435456 in steps of 262144)"},
        {[](P& p) { p.control.zbs_block_size = size_t(1) << 62; },
         "zbs_block_size 4611686018427387904 is out of range (262144..268435456 in steps of "
         "262144)"},
        {[](P& p) { p.read_buffer_size = -1; },
         "read_buffer_size -1 is out of range (262144..67108864)"},
        {[](P& p) { p.storage_reserved_percent = 101; },
         "storage_reserved_percent 101 is out of range (0..100)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        P p;
        p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
        row.set(p);
        P back;
        ASSERT_TRUE(back.load(Value(p.dump())));
        EXPECT_EQ(back.out_of_range(), row.message);
    }
}

namespace {
// Records with every field random: a field that dump or load drops shows up
// as a difference after the round trip.
class Random_Params {
public:
    explicit Random_Params(unsigned seed) : rng_(seed) {}

    std::string text() { return random_text(rng_, "abcXYZ019 -_./\"\\\t", 11); }
    bool flag() { return rng_() % 2 != 0; }
    template <class T>
    T number() {
        return static_cast<T>(std::uniform_int_distribution<uint64_t>()(rng_));
    }

    smartx::Control_Param control() {
        smartx::Control_Param c;
        for (std::string* s : {&c.def_id, &c.host_id, &c.resource_uuid, &c.target_device_id,
                               &c.backupd_host, &c.zbs_version, &c.rest_api_version, &c.trans_mode,
                               &c.login_info.host, &c.login_info.username})
            *s = text();
        c.access_key = text();
        for (bool* b : {&c.backupd_ssl, &c.allocated_blocks, &c.login_info.ssl})
            *b = flag();
        for (int32_t* n : {&c.sock_timeout.connect_timeout, &c.sock_timeout.send_timeout,
                           &c.sock_timeout.recv_timeout, &c.parallelism.disks_per_vm,
                           &c.parallelism.workers_per_disk, &c.parallelism.vms_per_host,
                           &c.parallelism.vms, &c.io_opts.sock_timeout})
            *n = number<int32_t>();
        for (uint32_t* n : {&c.retry.slot_time, &c.retry.max_retries, &c.retry.max_internal})
            *n = number<uint32_t>();
        c.job_revision = number<int64_t>();
        c.backupd_port = number<uint16_t>();
        c.max_seconds_retry = number<size_t>();
        c.zbs_block_size = smartx::ZBS_BLOCK_SIZE_UNIT * (1 + rng_() % 1024);
        c.login_info.port = number<uint16_t>();
        c.login_info.secure_pwd = text();
        c.login_info.secure_token = text();
        c.io_opts.access_key = text();
        c.io_opts.max_seconds_retry = number<uint32_t>();
        c.io_opts.set_extra_option("X-Access-Key", text());
        return c;
    }

    smartx::Backup_Param backup() {
        smartx::Backup_Param p;
        for (std::string* s : {&p.pool_url, &p.vm_id, &p.vm_name, &p.cluster_id, &p.snapshot,
                               &p.dirty_snapshot_op, &p.catalog.name, &p.catalog.host_uuid,
                               &p.catalog.agent, &p.catalog.instance_version, &p.catalog.pool_uuid})
            *s = text();
        p.backup_type = static_cast<Job_Definition_Subtype>(rng_() % 4);
        p.read_buffer_size = number<int32_t>();
        p.storage_reserved_bytes = number<size_t>();
        p.storage_reserved_percent = number<int32_t>();
        p.restart_vm = flag();
        p.reserve_snapshot = flag();
        p.control = control();
        return p;
    }

    smartx::Restore_Param restore() {
        smartx::Restore_Param p;
        for (bool* b :
             {&p.start_vm, &p.original_restore, &p.retain_id, &p.retain_vm_version, &p.restore_nics,
              &p.reserve_mac, &p.restore_cdroms, &p.restore_tags, &p.overwrite_bootable})
            *b = flag();
        p.restore_type = flag() ? JOB_DEFINITION_SUBTYPE_VM : JOB_DEFINITION_SUBTYPE_DISK;
        p.write_buffer_size = number<int32_t>();
        p.stop_vm_op = text();
        p.duplicate_vm = text();
        p.control = control();
        return p;
    }

private:
    std::mt19937_64 rng_;
};

// Dump, load (directly or through the JSON text), dump again: the same text.
template <class Param>
void expect_round_trip(const Param& p) {
    const std::string text = json_spirit::write(Value(p.dump()));
    Value read;
    ASSERT_TRUE(json_spirit::read(text, read));
    for (const Value& v : {Value(p.dump()), read}) {
        Param back;
        EXPECT_TRUE(back.load(v));
        EXPECT_EQ(json_spirit::write(Value(back.dump())), text);
    }
}
}  // namespace

TEST(ParamProperty, RandomRecordsRoundTripAndMutatedTextsFailCleanly) {
    Random_Params gen(20240601);
    std::mt19937 rng(5);
    Log_Capture log;
    int loaded = 0, failed = 0;
    for (int i = 0; i < 750 && !HasFailure(); ++i) {
        smartx::Backup_Param b = gen.backup();
        smartx::Restore_Param r = gen.restore();
        if (i < 150) {
            expect_round_trip(b);
            expect_round_trip(r);
        }
        // A mutated text loads or fails; no logged line shows a secret.
        for (smartx::Control_Param* c : {&b.control, &r.control}) {
            c->login_info.secure_pwd = "pa55-plain";
            c->login_info.secure_token = "token-plain";
        }
        Value v;
        if (json_spirit::read(mutate_json_text(json_spirit::write(Value(b.dump())), rng), v))
            ++(smartx::Backup_Param().load(v) ? loaded : failed);
        if (json_spirit::read(mutate_json_text(json_spirit::write(Value(r.dump())), rng), v))
            ++(smartx::Restore_Param().load(v) ? loaded : failed);
        for (const auto& line : log.lines()) {
            EXPECT_EQ(line.text.find("pa55"), std::string::npos) << line.text;
            EXPECT_EQ(line.text.find("token-plain"), std::string::npos) << line.text;
        }
        log.clear();
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(failed, 0);
}
