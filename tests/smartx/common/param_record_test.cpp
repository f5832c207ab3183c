// The job parameter records: defaults, the JSON form, nested failures and
// round trips of random records.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "json_spirit/assign.h"
#include "smartx/common/param.h"
#include "smartx/job/random_text.h"
#include "support/log_capture.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

const Object& member(const Object& o, const char* key) {
    return json_spirit::object_get_object_or_throw(o, key);
}

std::string text_of(const Object& o) {
    return json_spirit::write(Value(o));
}

TEST(Param_Dump, DefaultBackupRecord) {
    Object d = smartx::Backup_Param().dump();
    EXPECT_EQ(0u, d.count("snap_id"));
    EXPECT_EQ(Value(0), d["backup_type"]);
    EXPECT_EQ(Value(262144), d["read_buffer_size"]);
    EXPECT_EQ(Value(true), d["reserve_snapshot"]);
    EXPECT_EQ(Value(false), d["restart_vm"]);
    EXPECT_EQ(Value("auto"), d["snapshot"]);
    EXPECT_EQ(Value("exit"), d["dirty_snapshot_op"]);
    EXPECT_EQ(Value(0), d["storage_reserved_bytes"]);
    const Object& c = member(d, "control");
    EXPECT_EQ(Value("5.5.1"), c.at("zbs_version"));
    EXPECT_EQ(Value("5.0"), c.at("rest_api_version"));
    EXPECT_EQ(Value(262144), c.at("zbs_block_size"));
    EXPECT_EQ(Value(true), c.at("allocated_blocks"));
    EXPECT_EQ(Value(3), c.at("max_seconds_retry"));
    EXPECT_EQ(Value(0), c.at("job_revision"));
    EXPECT_EQ(Value(0), c.at("backupd_port"));
    EXPECT_EQ("{\"max_internal\":3,\"max_retries\":3,\"slot_time\":60}",
              text_of(member(c, "retry")));
    EXPECT_EQ("{\"connect_timeout\":10,\"recv_timeout\":10,\"send_timeout\":10}",
              text_of(member(c, "sock_timeout")));
    EXPECT_EQ("{\"disks_per_vm\":1,\"vms\":2,\"vms_per_host\":2,\"workers_per_disk\":1}",
              text_of(member(c, "parallelism")));
    EXPECT_EQ(6u, member(c, "login_info").size());
    EXPECT_FALSE(member(c, "io_opts").empty());
    EXPECT_EQ(20u, c.size());
    EXPECT_EQ(5u, member(d, "catalog").size());
    EXPECT_EQ(14u, d.size());
}

TEST(Param_Load, DefaultsLoadBackAndSnapIdIsNotCarried) {
    smartx::Backup_Param p;
    p.snap_id = "snap-1";
    p.vm_id = "vm-1";
    smartx::Backup_Param q;
    q.snap_id = "left";
    ASSERT_TRUE(q.load(Value(p.dump())));
    EXPECT_EQ("vm-1", q.vm_id);
    EXPECT_EQ("left", q.snap_id);
    smartx::Backup_Param fresh;
    ASSERT_TRUE(fresh.load(Value(p.dump())));
    EXPECT_TRUE(fresh.snap_id.empty());
}

TEST(Param_Load, MissingPlainMemberFailsBeforeNestedRecords) {
    Object d = smartx::Backup_Param().dump();
    d.erase("snapshot");
    json_spirit::to_object(d["control"]).erase("def_id");  // would fail too, if it were tried
    Log_Capture log;
    smartx::Backup_Param p;
    EXPECT_FALSE(p.load(Value(d)));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(LM_ERROR, log.lines()[0].priority);
    EXPECT_EQ("Failed to load Backup_Param from JSON: 'snapshot' is expected as string\n",
              log.lines()[0].text);
}

TEST(Param_Load, EveryPlainMemberIsRequired) {
    const Object full = smartx::Restore_Param().dump();
    for (const auto& kv : full) {
        if (kv.first == "control")
            continue;
        Object d = full;
        d.erase(kv.first);
        Log_Capture log;
        smartx::Restore_Param p;
        EXPECT_FALSE(p.load(Value(d))) << kv.first;
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(0u, log.lines()[0].text.find("Failed to load Restore_Param from JSON: '" +
                                               kv.first + "'"))
            << log.lines()[0].text;
    }
}

TEST(Param_Load, NotAnObjectFails) {
    for (const Value& v : {Value(), Value(1), Value(json_spirit::Array())}) {
        Log_Capture log;
        EXPECT_FALSE(smartx::Backup_Param().load(v));
        EXPECT_FALSE(smartx::Control_Param().load(v));
        EXPECT_FALSE(smartx::Retry_Param().load(v));
        ASSERT_EQ(3u, log.lines().size());
        EXPECT_EQ(0u, log.lines()[1].text.find("Failed to load Control_Param from JSON: "));
    }
}

TEST(Param_Load, LoginInfoIsOptional) {
    smartx::Control_Param c;
    c.login_info.host = "ct";
    Object d = c.dump();
    d.erase("login_info");
    smartx::Control_Param loaded;
    ASSERT_TRUE(loaded.load(Value(d)));
    EXPECT_EQ("", loaded.login_info.host);
    EXPECT_EQ(0, loaded.login_info.port);
}

TEST(Param_Load, NestedFailuresNameTheMemberUpTheChain) {
    Object d = smartx::Backup_Param().dump();
    Object& control = json_spirit::to_object(d["control"]);
    json_spirit::to_object(control["login_info"]).erase("password");
    Log_Capture log;
    smartx::Backup_Param p;
    EXPECT_FALSE(p.load(Value(d)));
    ASSERT_EQ(3u, log.lines().size());
    EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse login info, details: 'password'"));
    EXPECT_EQ("Failed to load json obj login_info.\n", log.lines()[1].text);
    EXPECT_EQ("Failed to load json obj control.\n", log.lines()[2].text);
}

TEST(Param_Load, FirstFailingNestedRecordStopsTheLoad) {
    struct Case {
        const char* member;
        const char* inner_key;
        const char* record_message;
    } cases[] = {
        {"retry", "max_internal", "Failed to load Retry_Param from JSON: 'max_internal'"},
        {"sock_timeout", "send_timeout",
         "Failed to load SOCK_Timeout_Param from JSON: 'send_timeout'"},
        {"parallelism", "vms", "Failed to load Parallelism_Param from JSON: 'vms'"},
    };
    for (const Case& c : cases) {
        Object d = smartx::Control_Param().dump();
        json_spirit::to_object(d[c.member]).erase(c.inner_key);
        json_spirit::to_object(d["login_info"]).erase("host");  // later: never reached
        Log_Capture log;
        EXPECT_FALSE(smartx::Control_Param().load(Value(d)));
        ASSERT_EQ(2u, log.lines().size()) << c.member;
        EXPECT_EQ(0u, log.lines()[0].text.find(c.record_message)) << log.lines()[0].text;
        EXPECT_EQ(std::string("Failed to load json obj ") + c.member + ".\n", log.lines()[1].text);
    }
    // A nested member that is not an object fails the plain read.
    Object d = smartx::Control_Param().dump();
    d["retry"] = 5;
    Log_Capture log;
    EXPECT_FALSE(smartx::Control_Param().load(Value(d)));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(0u, log.lines()[0].text.find("Failed to load Control_Param from JSON: 'retry'"));
}

TEST(Param_Load, MistypedIoOptionsFail) {
    Object d = smartx::Control_Param().dump();
    json_spirit::to_object(d["io_opts"])["sock_timeout"] = "soon";
    Log_Capture log;
    EXPECT_FALSE(smartx::Control_Param().load(Value(d)));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ("Failed to load json obj io_opts.\n", log.lines()[0].text);
    d.erase("io_opts");
    EXPECT_FALSE(smartx::Control_Param().load(Value(d)));
}

TEST(Param_Load, NumbersOutsideTheFieldRangeFail) {
    // A backup server port beyond 16 bits is refused rather than wrapped.
    const char* keys[] = {"backupd_port", "backupd_port", "max_seconds_retry", "job_revision"};
    Value values[] = {Value(65536), Value(-1), Value(-3), Value(2.5)};
    for (size_t i = 0; i < 4; ++i) {
        Object d = smartx::Control_Param().dump();
        d[keys[i]] = values[i];
        Log_Capture log;
        smartx::Control_Param c;
        EXPECT_FALSE(c.load(Value(d))) << keys[i];
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(0u, log.lines()[0].text.find(
                          std::string("Failed to load Control_Param from JSON: '") + keys[i]));
    }
    Object d = smartx::Retry_Param().dump();
    d["slot_time"] = 4294967296L;
    Log_Capture log;
    EXPECT_FALSE(smartx::Retry_Param().load(Value(d)));
}

TEST(Param_Load, ZbsBlockSizeBecomesAWholeNumberOfUnits) {
    struct Case {
        unsigned long in, out;
    } cases[] = {
        {262144, 262144},
        {262145, 262144},
        {524287, 262144},
        {524288, 524288},
        {0, 262144},
        {1, 262144},
        {268435456, 268435456},
        {268435457, 268435456},
        {300000000, 268435456},
        {3 * 262144 + 5, 3 * 262144},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, smartx::normalize_zbs_block_size(c.in)) << c.in;
        Object d = smartx::Control_Param().dump();
        d["zbs_block_size"] = c.in;
        smartx::Control_Param p;
        ASSERT_TRUE(p.load(Value(d)));
        EXPECT_EQ(c.out, p.zbs_block_size) << c.in;
    }
}

// ---- random records ----

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
        c.def_id = text();
        c.host_id = text();
        c.job_revision = number<int64_t>();
        c.resource_uuid = text();
        c.target_device_id = text();
        c.access_key = text();
        c.backupd_host = text();
        c.backupd_port = number<uint16_t>();
        c.backupd_ssl = flag();
        c.max_seconds_retry = number<size_t>();
        c.zbs_version = text();
        c.rest_api_version = text();
        c.allocated_blocks = flag();
        c.zbs_block_size = smartx::ZBS_BLOCK_SIZE_UNIT * (1 + rng_() % 1024);
        c.trans_mode = text();
        c.retry.slot_time = number<uint32_t>();
        c.retry.max_retries = number<uint32_t>();
        c.retry.max_internal = number<uint32_t>();
        c.sock_timeout.connect_timeout = number<int32_t>();
        c.sock_timeout.send_timeout = number<int32_t>();
        c.sock_timeout.recv_timeout = number<int32_t>();
        c.parallelism.disks_per_vm = number<int32_t>();
        c.parallelism.workers_per_disk = number<int32_t>();
        c.parallelism.vms_per_host = number<int32_t>();
        c.parallelism.vms = number<int32_t>();
        c.login_info.host = text();
        c.login_info.port = number<uint16_t>();
        c.login_info.ssl = flag();
        c.login_info.username = text();
        c.login_info.secure_pwd = text();
        c.login_info.secure_token = text();
        c.io_opts.sock_timeout = number<int32_t>();
        c.io_opts.access_key = text();
        c.io_opts.max_seconds_retry = number<uint32_t>();
        c.io_opts.set_extra_option("X-Access-Key", text());
        return c;
    }

    smartx::Backup_Param backup() {
        smartx::Backup_Param p;
        p.backup_type = static_cast<Job_Definition_Subtype>(rng_() % 4);
        p.pool_url = text();
        p.vm_id = text();
        p.vm_name = text();
        p.cluster_id = text();
        p.read_buffer_size = number<int32_t>();
        p.storage_reserved_bytes = number<size_t>();
        p.storage_reserved_percent = number<int32_t>();
        p.restart_vm = flag();
        p.reserve_snapshot = flag();
        p.snapshot = text();
        p.dirty_snapshot_op = text();
        p.control = control();
        p.catalog.name = text();
        p.catalog.host_uuid = text();
        p.catalog.agent = text();
        p.catalog.instance_version = text();
        p.catalog.pool_uuid = text();
        return p;
    }

    smartx::Restore_Param restore() {
        smartx::Restore_Param p;
        p.restore_type = flag() ? JOB_DEFINITION_SUBTYPE_VM : JOB_DEFINITION_SUBTYPE_DISK;
        p.write_buffer_size = number<int32_t>();
        p.start_vm = flag();
        p.original_restore = flag();
        p.retain_id = flag();
        p.retain_vm_version = flag();
        p.restore_nics = flag();
        p.reserve_mac = flag();
        p.restore_cdroms = flag();
        p.restore_tags = flag();
        p.overwrite_bootable = flag();
        p.stop_vm_op = text();
        p.duplicate_vm = text();
        p.control = control();
        return p;
    }

private:
    std::mt19937_64 rng_;
};

void expect_same_control(const smartx::Control_Param& a, const smartx::Control_Param& b) {
    EXPECT_EQ(a.job_revision, b.job_revision);
    EXPECT_EQ(a.backupd_port, b.backupd_port);
    EXPECT_EQ(a.max_seconds_retry, b.max_seconds_retry);
    EXPECT_EQ(a.zbs_block_size, b.zbs_block_size);
    EXPECT_EQ(a.def_id, b.def_id);
    EXPECT_EQ(a.retry.max_internal, b.retry.max_internal);
    EXPECT_EQ(a.parallelism.vms, b.parallelism.vms);
    EXPECT_EQ(a.login_info.secure_pwd, b.login_info.secure_pwd);
    EXPECT_EQ(a.login_info.secure_token, b.login_info.secure_token);
    EXPECT_EQ(a.io_opts.access_key, b.io_opts.access_key);
    EXPECT_EQ(a.io_opts.sock_timeout, b.io_opts.sock_timeout);
}

// Dump, load (directly and through the JSON text), dump again: the same record.
template <class Param>
Param round_trip(const Param& p, bool through_text) {
    Value v(p.dump());
    if (through_text) {
        Value read;
        EXPECT_TRUE(json_spirit::read(json_spirit::write(v), read));
        v = read;
    }
    Param back;
    EXPECT_TRUE(back.load(v));
    EXPECT_EQ(json_spirit::write(Value(p.dump())), json_spirit::write(Value(back.dump())));
    return back;
}

TEST(Param_Property, RandomRecordsRoundTrip) {
    Random_Params gen(20240601);
    for (int i = 0; i < 150; ++i) {
        smartx::Backup_Param b = gen.backup();
        for (bool through_text : {false, true}) {
            smartx::Backup_Param back = round_trip(b, through_text);
            EXPECT_EQ(b.backup_type, back.backup_type);
            EXPECT_EQ(b.storage_reserved_bytes, back.storage_reserved_bytes);
            EXPECT_EQ(b.snapshot, back.snapshot);
            EXPECT_EQ(b.catalog.pool_uuid, back.catalog.pool_uuid);
            expect_same_control(b.control, back.control);
        }
        smartx::Restore_Param r = gen.restore();
        for (bool through_text : {false, true}) {
            smartx::Restore_Param back = round_trip(r, through_text);
            EXPECT_EQ(r.restore_type, back.restore_type);
            EXPECT_EQ(r.write_buffer_size, back.write_buffer_size);
            EXPECT_EQ(r.restore_cdroms, back.restore_cdroms);
            EXPECT_EQ(r.duplicate_vm, back.duplicate_vm);
            expect_same_control(r.control, back.control);
        }
        if (HasFailure())
            break;
    }
}

// Failures are logged, never with a secret in the text.
TEST(Param_Property, MutatedTextsLoadOrFailCleanly) {
    Random_Params gen(99);
    std::mt19937 rng(5);
    Log_Capture log;
    int loaded = 0, failed = 0;
    for (int i = 0; i < 1500; ++i) {
        smartx::Backup_Param b = gen.backup();
        smartx::Restore_Param r = gen.restore();
        smartx::Control_Param& c = i % 2 ? b.control : r.control;
        c.login_info.secure_pwd = "pa55-plain";
        c.login_info.secure_token = "token-plain";
        std::string text =
            mutate_json_text(json_spirit::write(Value(i % 2 ? b.dump() : r.dump())), rng);
        Value v;
        if (!json_spirit::read(text, v))
            continue;
        bool ok = i % 2 ? smartx::Backup_Param().load(v) : smartx::Restore_Param().load(v);
        ++(ok ? loaded : failed);
        for (const auto& line : log.lines()) {
            EXPECT_EQ(std::string::npos, line.text.find("pa55")) << line.text;
            EXPECT_EQ(std::string::npos, line.text.find("token-plain")) << line.text;
        }
        log.clear();
        if (HasFailure())
            break;
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
