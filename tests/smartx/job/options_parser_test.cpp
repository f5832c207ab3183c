// The backup and restore options parsers: which keys they keep, how numbers
// are read and clamped, the exclusion list, and random and mutated texts.
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "smartx/job/backup_options_parser.h"
#include "smartx/job/job_object_text.h"
#include "smartx/job/job_value.h"
#include "smartx/job/random_text.h"
#include "smartx/job/restore_options_parser.h"
#include "support/log_capture.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

struct Parsed {
    bool ok = false;
    Value value;  // the options object's value
};

template <class Parser, class Options>
Parsed parse_with(const std::string& text) {
    Parser parser;
    Parsed p;
    p.ok = parser.parse(text);
    auto result = parser.result();
    if (result.get() != nullptr)
        p.value = static_cast<Options*>(result.get())->value();
    return p;
}

Parsed parse_backup(const std::string& text) {
    return parse_with<smartx::Backup_Options_Parser, smartx::Backup_Options>(text);
}
Parsed parse_restore(const std::string& text) {
    return parse_with<smartx::Restore_Options_Parser, smartx::Restore_Options>(text);
}

Value read_json(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

// ---- the clamp matrix ----

struct Number_Key {
    const char* key;
    bool unsigned64;
    uint64_t low, high;
    bool in_backup, in_restore;
};

const Number_Key number_keys[] = {
    {"channels", false, 1, 64, true, true},
    {"compression_level", false, 1, 32, true, false},
    {"parallel_vms", false, 1, 64, true, true},
    {"parallel_vms_per_host", false, 1, 64, true, true},
    {"parallel_disks_per_vm", false, 1, 5, true, true},
    {"read_buffer_size", true, 262144, 67108864, true, false},
    {"write_buffer_size", true, 262144, 67108864, false, true},
    {"storage_reserved_percent", false, 0, 100, true, false},
    {"storage_reserved_bytes", true, 0, UINT64_MAX, true, false},
};

Value number_value(const Number_Key& k, uint64_t v) {
    return k.unsigned64 ? Value(static_cast<unsigned long>(v)) : Value(static_cast<int>(v));
}

// (input text, expected stored number) for one key.
std::vector<std::pair<std::string, uint64_t>> matrix(const Number_Key& k) {
    const uint64_t int_max = std::numeric_limits<int>::max();
    const uint64_t top = k.unsigned64 ? UINT64_MAX : int_max;
    auto clamp = [&](uint64_t v) { return std::min(std::max(v, k.low), k.high); };
    std::vector<std::pair<std::string, uint64_t>> m = {
        {std::to_string(k.low), k.low},
        {std::to_string(k.high), k.high},
        {std::to_string((k.low + k.high) / 2), (k.low + k.high) / 2},
        {std::to_string(k.low) + ".9", k.low},
        {std::to_string(k.low + 1) + ".99", clamp(k.low + 1)},
        {"-5", k.low},
        {"-0.5", k.low},
        {"0", k.low},
        {"3e2", clamp(3)},
        {"1E9", clamp(1)},
        {"99999999999999999999999", clamp(top)},
        {"-99999999999999999999999", k.low},
    };
    if (k.low > 0)
        m.push_back({std::to_string(k.low - 1), k.low});
    if (k.high < top)
        m.push_back({std::to_string(k.high + 1), k.high});
    return m;
}

template <class Parse>
void run_matrix(Parse parse, bool backup) {
    for (const Number_Key& k : number_keys) {
        if (backup ? !k.in_backup : !k.in_restore)
            continue;
        for (const auto& c : matrix(k)) {
            SCOPED_TRACE(std::string(k.key) + ": " + c.first);
            Parsed p = parse(std::string("{\"") + k.key + "\": " + c.first + "}");
            ASSERT_TRUE(p.ok);
            ASSERT_EQ(json_spirit::obj_type, p.value.type());
            const Object& o = p.value.get_obj();
            ASSERT_EQ(1u, o.size());
            EXPECT_EQ(number_value(k, c.second), o.at(k.key));
        }
        // Values of another kind are not numbers for these keys.
        for (const char* other : {"\"5\"", "true", "null", "{}", "[]", "[\"5\"]"}) {
            SCOPED_TRACE(std::string(k.key) + ": " + other);
            Parsed p = parse(std::string("{\"") + k.key + "\": " + other + "}");
            ASSERT_TRUE(p.ok);
            EXPECT_TRUE(p.value.is_null()) << json_spirit::write(p.value);
        }
    }
}

TEST(Options_Clamp, BackupNumbersAreReadAsDigitsAndClamped) {
    run_matrix(parse_backup, true);
}
TEST(Options_Clamp, RestoreNumbersAreReadAsDigitsAndClamped) {
    run_matrix(parse_restore, false);
}

TEST(Options_Clamp, ZbsBlockSizeIsClampedToWholeUnits) {
    struct Case {
        const char* in;
        int out;
    } cases[] = {
        {"262144", 262144},
        {"262145", 262144},
        {"524287", 262144},
        {"524288", 524288},
        {"1", 262144},
        {"-1", 262144},
        {"268435456", 268435456},
        {"268435457", 268435456},
        {"4000000000", 268435456},
        {"786437.5", 786432},
        {"1048576e3", 1048576},
    };
    for (const Case& c : cases) {
        Parsed p = parse_backup(std::string("{\"zbs_block_size\": ") + c.in + "}");
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(Value(c.out), p.value.get_obj().at("zbs_block_size")) << c.in;
    }
    // The restore options have no such key.
    EXPECT_TRUE(parse_restore("{\"zbs_block_size\": 524288}").value.is_null());
}

TEST(Options_Keys, StringsAndBooleansAreKeptAsGiven) {
    Parsed b = parse_backup(
        "{\"compression\": \"lz4\", \"zbs_version\": \"5.6.0\", \"snapshot\": \"crash\", "
        "\"dirty_snapshot_op\": "
        "\"ignore\", \"restart_vm\": true, \"reserve_snapshot\": false, \"allocated_blocks\": "
        "true}");
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(
        read_json(
            "{\"allocated_blocks\":true,\"compression\":\"lz4\",\"dirty_snapshot_op\":\"ignore\","
            "\"reserve_snapshot\":false,\"restart_vm\":true,\"snapshot\":\"crash\",\"zbs_version\":"
            "\"5.6.0\"}"),
        b.value);
    Parsed r = parse_restore(
        "{\"duplicate_vm\": \"recycle\", \"zbs_version\": \"5.6.0\", \"stop_vm_op\": \"shutdown\", "
        "\"start_vm\": true, "
        "\"reserve_mac\": false, \"restore_cdroms\": true, \"retain_vm_version\": false, "
        "\"restore_nics\": true, "
        "\"restore_tags\": true, \"original_restore\": true, \"overwrite_bootable\": false, "
        "\"retain_id\": true, "
        "\"allocated_blocks\": false}");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(13u, r.value.get_obj().size());
    EXPECT_EQ(Value("recycle"), r.value.get_obj().at("duplicate_vm"));
    EXPECT_EQ(Value(false), r.value.get_obj().at("overwrite_bootable"));
}

TEST(Options_Keys, WrongKindsAndUnknownKeysAreIgnored) {
    for (const char* text :
         {"{}", "[]", "5", "\"channels\"", "{\"foo\": 1, \"bar\": \"x\", \"baz\": true}",
          "{\"snapshot\": 5}", "{\"restart_vm\": 1}", "{\"restart_vm\": \"true\"}",
          "{\"Channels\": 4}", "{\"duplicate_vm\": \"x\", \"start_vm\": true}"}) {
        SCOPED_TRACE(text);
        Parsed p = parse_backup(text);
        EXPECT_TRUE(p.ok);
        EXPECT_TRUE(p.value.is_null()) << json_spirit::write(p.value);
    }
    // Backup-only keys mean nothing to the restore parser.
    for (const char* text :
         {"{\"snapshot\": \"auto\"}", "{\"compression_level\": 3}", "{\"restart_vm\": true}",
          "{\"exclusion\": [\"a\"]}", "{\"read_buffer_size\": 262144}"}) {
        Parsed p = parse_restore(text);
        EXPECT_TRUE(p.ok);
        EXPECT_TRUE(p.value.is_null()) << text;
    }
}

TEST(Options_Keys, RepeatedKeysKeepTheLastValue) {
    Parsed b = parse_backup(
        "{\"zbs_version\": \"5.5.0\", \"channels\": 3, \"zbs_version\": \"5.6.1\", \"channels\": "
        "99}");
    EXPECT_EQ(read_json("{\"channels\": 64, \"zbs_version\": \"5.6.1\"}"), b.value);
    Parsed r = parse_restore(
        "{\"parallel_vms\": 100, \"channels\": 8, \"start_vm\": true, \"start_vm\": false}");
    EXPECT_EQ(read_json("{\"channels\": 8, \"parallel_vms\": 64, \"start_vm\": false}"), r.value);
}

TEST(Options_Keys, KeysInNestedObjectsCountAsTopLevel) {
    const char* text =
        "{\"outer\": {\"channels\": 3, \"inner\": {\"start_vm\": true, \"snapshot\": \"x\"}}, "
        "\"k\": 1}";
    EXPECT_EQ(read_json("{\"channels\": 3, \"snapshot\": \"x\"}"), parse_backup(text).value);
    EXPECT_EQ(read_json("{\"channels\": 3, \"start_vm\": true}"), parse_restore(text).value);
}

TEST(Options_Keys, ArrayElementsUnderAKeyEachSetIt) {
    EXPECT_EQ(read_json("{\"channels\": 7}"), parse_backup("{\"channels\": [5, 7]}").value);
    EXPECT_EQ(read_json("{\"duplicate_vm\": \"b\"}"),
              parse_restore("{\"duplicate_vm\": [\"a\", \"b\"]}").value);
    // A key read after an array does not inherit the array's key.
    EXPECT_EQ(read_json("{\"channels\": 2}"), parse_backup("{\"channels\": [2], \"x\": 9}").value);
}

// ---- the exclusion list ----

TEST(Options_Exclusion, CollectsTheStringsOfEveryExclusionArray) {
    struct Case {
        const char* text;
        const char* exclusion;  // null: no "exclusion" member
    } cases[] = {
        {"{\"exclusion\": [\"vm-*\", \"db?\"]}", "[\"vm-*\", \"db?\"]"},
        {"{\"exclusion\": []}", "[]"},
        {"{\"exclusion\": \"vm-1\"}", nullptr},
        {"{\"exclusion\": [\"a\"], \"exclusion\": [\"b\", \"c\"]}", "[\"a\", \"b\", \"c\"]"},
        {"{\"x\": {\"exclusion\": [\"a\"]}}", "[\"a\"]"},
        {"{\"x\": [{\"exclusion\": [\"a\"]}]}", nullptr},
        {"{\"exclusion\": [\"a\", 5, true, null, 2.5, \"b\"]}", "[\"a\", \"b\"]"},
        {"{\"exclusion\": [\"a\", {\"k\": \"v\"}, \"b\"]}", "[\"a\", \"b\"]"},
        {"{\"exclusion\": [\"a\", [\"x\"], \"b\"]}", "[\"a\", \"b\"]"},
        {"{\"exclusion\": [\"a\", {\"k\": 1}, [2], \"b\"]}", "[\"a\", \"b\"]"},
        {"{\"exclusion\": [[\"x\"]]}", "[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = parse_backup(c.text);
        ASSERT_TRUE(p.ok);
        if (c.exclusion == nullptr) {
            EXPECT_TRUE(p.value.is_null() || p.value.get_obj().count("exclusion") == 0)
                << json_spirit::write(p.value);
        } else {
            ASSERT_EQ(json_spirit::obj_type, p.value.type());
            EXPECT_EQ(read_json(c.exclusion), p.value.get_obj().at("exclusion"));
        }
    }
}

TEST(Options_Exclusion, OtherKeysAroundTheListStillApply) {
    Parsed p = parse_backup(
        "{\"channels\": 4, \"exclusion\": [\"a\", {\"snapshot\": \"s\"}, \"b\"], \"restart_vm\": "
        "true, "
        "\"zbs_version\": \"5.6\"}");
    EXPECT_EQ(read_json("{\"channels\": 4, \"exclusion\": [\"a\", \"b\"], \"restart_vm\": true, "
                        "\"snapshot\": \"s\","
                        " \"zbs_version\": \"5.6\"}"),
              p.value);
}

// ---- without an options object ----

const smartx::Option_Rule test_rules[] = {
    {"n", smartx::Option_Rule::INT, 0, 10, 1},
    {nullptr, smartx::Option_Rule::INT, 0, 0, 0},
};

// A parser whose options object was never made, as after a failed allocation.
class No_Result_Parser : public smartx::Options_Parser {
public:
    No_Result_Parser() : Options_Parser(test_rules) {}
};

TEST(Options_No_Result, EveryValueStopsTheParse) {
    for (const char* text : {"{\"n\": 1}", "{\"x\": \"s\"}", "{\"b\": false}"}) {
        No_Result_Parser parser;
        Log_Capture log;
        EXPECT_FALSE(parser.parse(text));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(LM_EMERGENCY, log.lines()[0].priority);
        const std::string& t = log.lines()[0].text;
        EXPECT_EQ(0u, t.find("Unexpected error in ")) << t;
        EXPECT_NE(std::string::npos, t.find(", result_ is NULL:\n")) << t;
        EXPECT_EQ(nullptr, parser.result().get());
        EXPECT_EQ(nullptr, parser.shared_result());
    }
    No_Result_Parser parser;
    EXPECT_TRUE(parser.parse("{\"a\": {}}"));  // structure alone needs no object
}

// ---- generate ----

TEST(Options_Generate, WritesTheValue) {
    smartx::Backup_Options_Parser parser;
    ASSERT_TRUE(parser.parse("{\"channels\": 4, \"exclusion\": [\"a\"]}"));
    EXPECT_EQ("{\"channels\":4,\"exclusion\":[\"a\"]}", generated_text(*parser.result()));
    smartx::Restore_Options_Parser empty;
    ASSERT_TRUE(empty.parse("{}"));
    EXPECT_EQ("null", generated_text(*empty.result()));
}

// ---- random and mutated texts ----

// The string and boolean keys of each parser.
struct Plain_Key {
    const char* key;
    bool is_string;
    bool in_backup, in_restore;
};

const Plain_Key plain_keys[] = {
    {"compression", true, true, false},         {"snapshot", true, true, false},
    {"dirty_snapshot_op", true, true, false},   {"zbs_version", true, true, true},
    {"duplicate_vm", true, false, true},        {"stop_vm_op", true, false, true},
    {"restart_vm", false, true, false},         {"reserve_snapshot", false, true, false},
    {"allocated_blocks", false, true, true},    {"start_vm", false, false, true},
    {"reserve_mac", false, false, true},        {"restore_cdroms", false, false, true},
    {"retain_vm_version", false, false, true},  {"restore_nics", false, false, true},
    {"restore_tags", false, false, true},       {"original_restore", false, false, true},
    {"overwrite_bootable", false, false, true}, {"retain_id", false, false, true},
};

template <class K>
bool in_parser(const K& k, bool backup) {
    return backup ? k.in_backup : k.in_restore;
}

// Texts of random keys with values in their ranges, and the value each must give.
class Random_Options {
public:
    explicit Random_Options(unsigned seed) : rng_(seed) {}

    std::pair<std::string, Value> make(bool backup) {
        Object expected;
        for (const Number_Key& k : number_keys) {
            if (!in_parser(k, backup) || coin())
                continue;
            uint64_t span = k.high - k.low;
            uint64_t v = k.low + (span == UINT64_MAX ? rng_() : rng_() % (span + 1));
            expected[k.key] = number_value(k, v);
        }
        for (const Plain_Key& k : plain_keys) {
            if (!in_parser(k, backup) || coin())
                continue;
            expected[k.key] =
                k.is_string ? Value(random_text(rng_, "abz09*?-_ \"\\/", 9)) : Value(coin());
        }
        if (backup && coin())
            expected["zbs_block_size"] = static_cast<int>(262144 * (1 + rng_() % 1024));
        if (backup && coin()) {
            Array names;
            for (int n = static_cast<int>(rng_() % 4); n > 0; --n)
                names.emplace_back(random_text(rng_, "ab*?-_ \"", 9));
            expected["exclusion"] = names;
        }
        std::string text = json_spirit::write(Value(expected));
        return {text, expected.empty() ? Value() : Value(expected)};
    }

    std::mt19937_64& rng() { return rng_; }

private:
    bool coin() { return rng_() % 2 == 0; }

    std::mt19937_64 rng_;
};

template <class Parser>
void expect_stable(const std::pair<std::string, Value>& c) {
    Parser first;
    ASSERT_TRUE(first.parse(c.first)) << c.first;
    std::string generated = generated_text(*first.result());
    EXPECT_EQ(c.second, read_json(generated)) << c.first;
    Parser second;
    ASSERT_TRUE(second.parse(generated));
    EXPECT_EQ(generated, generated_text(*second.result()));
}

TEST(Options_Property, RandomValidOptionsSurviveParseGenerateParse) {
    Random_Options gen(1234);
    for (int i = 0; i < 400 && !HasFailure(); ++i) {
        expect_stable<smartx::Backup_Options_Parser>(gen.make(true));
        expect_stable<smartx::Restore_Options_Parser>(gen.make(false));
    }
}

// A stored member is one of the parser's keys, of its kind and in its range.
void expect_valid_options(const Value& v, bool backup, const std::string& text) {
    if (v.is_null())
        return;
    ASSERT_EQ(json_spirit::obj_type, v.type()) << text;
    for (const auto& kv : v.get_obj()) {
        const std::string& key = kv.first;
        const Value& m = kv.second;
        SCOPED_TRACE(key + " in " + text);
        bool known = false;
        for (const Number_Key& k : number_keys) {
            if (key != k.key || !in_parser(k, backup))
                continue;
            known = true;
            ASSERT_EQ(json_spirit::int_type, m.type());
            uint64_t n = k.unsigned64 ? m.get_uint64() : static_cast<uint64_t>(m.get_int());
            EXPECT_GE(n, k.low);
            EXPECT_LE(n, k.high);
        }
        for (const Plain_Key& k : plain_keys) {
            if (key != k.key || !in_parser(k, backup))
                continue;
            known = true;
            EXPECT_EQ(k.is_string ? json_spirit::str_type : json_spirit::bool_type, m.type());
        }
        if (backup && key == "zbs_block_size") {
            known = true;
            ASSERT_EQ(json_spirit::int_type, m.type());
            EXPECT_EQ(0, m.get_int() % 262144);
            EXPECT_GE(m.get_int(), 262144);
            EXPECT_LE(m.get_int(), 268435456);
        }
        if (backup && key == "exclusion") {
            known = true;
            ASSERT_EQ(json_spirit::array_type, m.type());
            for (const Value& e : m.get_array())
                EXPECT_EQ(json_spirit::str_type, e.type());
        }
        EXPECT_TRUE(known);
    }
}

TEST(Options_Property, MutatedTextsNeverGiveInvalidOptions) {
    Random_Options gen(77);
    int parsed = 0;
    for (int i = 0; i < 2000; ++i) {
        bool backup = i % 2 == 0;
        std::string text = mutate_json_text(gen.make(backup).first, gen.rng());
        Parsed p = backup ? parse_backup(text) : parse_restore(text);
        if (p.ok)
            ++parsed;
        expect_valid_options(p.value, backup, text);
        if (HasFailure())
            break;
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
