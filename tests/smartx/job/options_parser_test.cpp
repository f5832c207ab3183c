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

using json_spirit::Value;

struct Parsed {
    bool ok = false;
    Value value;            // the options object's value
    std::string generated;  // and what it writes
};

template <class Parser, class Options>
Parsed parse_with(const std::string& text) {
    Parser parser;
    Parsed p;
    p.ok = parser.parse(text);
    if (parser.result().get() != nullptr) {
        p.value = static_cast<Options*>(parser.result().get())->value();
        p.generated = generated_text(*parser.result());
    }
    return p;
}

Parsed parse(bool backup, const std::string& text) {
    return backup ? parse_with<smartx::Backup_Options_Parser, smartx::Backup_Options>(text)
                  : parse_with<smartx::Restore_Options_Parser, smartx::Restore_Options>(text);
}

Value read_json(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

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
    const uint64_t top = k.unsigned64 ? UINT64_MAX : std::numeric_limits<int>::max();
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

TEST(OptionsClamp, NumbersAreReadAsDigitsAndClamped) {
    for (bool backup : {true, false}) {
        for (const Number_Key& k : number_keys) {
            if (backup ? !k.in_backup : !k.in_restore)
                continue;
            for (const auto& c : matrix(k)) {
                SCOPED_TRACE(std::string(k.key) + ": " + c.first);
                Parsed p = parse(backup, std::string("{\"") + k.key + "\": " + c.first + "}");
                ASSERT_TRUE(p.ok);
                ASSERT_EQ(json_spirit::obj_type, p.value.type());
                ASSERT_EQ(1u, p.value.get_obj().size());
                EXPECT_EQ(number_value(k, c.second), p.value.get_obj().at(k.key));
            }
            // Values of another kind are not numbers for these keys.
            for (const char* other : {"\"5\"", "true", "null", "{}", "[]", "[\"5\"]"}) {
                SCOPED_TRACE(std::string(k.key) + ": " + other);
                Parsed p = parse(backup, std::string("{\"") + k.key + "\": " + other + "}");
                ASSERT_TRUE(p.ok);
                EXPECT_TRUE(p.value.is_null()) << p.generated;
            }
        }
    }
}

TEST(OptionsClamp, ZbsBlockSizeIsClampedToWholeUnits) {
    const std::pair<const char*, int> cases[] = {
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
    for (const auto& c : cases) {
        Parsed p = parse(true, std::string("{\"zbs_block_size\": ") + c.first + "}");
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(Value(c.second), p.value.get_obj().at("zbs_block_size")) << c.first;
    }
    // The restore options have no such key.
    EXPECT_TRUE(parse(false, "{\"zbs_block_size\": 524288}").value.is_null());
}

TEST(OptionsKeys, KeptKeysKindsNestingAndExclusion) {
    const char* const kSame = nullptr;  // the options are the text itself
    struct Row {
        bool backup;
        const char* text;
        const char* expected;
    } rows[] = {
        {true,
         "{\"compression\": \"lz4\", \"zbs_version\": \"5.6.0\", \"snapshot\": \"crash\", "
         "\"dirty_snapshot_op\": \"ignore\", \"restart_vm\": true, \"reserve_snapshot\": false, "
         "\"allocated_blocks\": true}",
         kSame},
        {false,
         "{\"duplicate_vm\": \"recycle\", \"zbs_version\": \"5.6.0\", \"stop_vm_op\": "
         "\"shutdown\", "
         "\"start_vm\": true, \"reserve_mac\": false, \"restore_cdroms\": true, "
         "\"retain_vm_version\": false, \"restore_nics\": true, \"restore_tags\": true, "
         "\"original_restore\": true, \"overwrite_bootable\": false, \"retain_id\": true, "
         "\"allocated_blocks\": false}",
         kSame},
        // Wrong kinds, unknown keys, the other parser's keys, no object at all.
        {true, "{}", "null"},
        {true, "[5, \"channels\", true]", "null"},
        {true,
         "{\"foo\": 1, \"bar\": \"x\", \"snapshot\": 5, \"restart_vm\": \"true\", "
         "\"reserve_snapshot\": 1, \"Channels\": 4, \"duplicate_vm\": \"x\", \"start_vm\": true}",
         "null"},
        {false,
         "{\"snapshot\": \"auto\", \"compression_level\": 3, \"restart_vm\": true, \"exclusion\": "
         "[\"a\"], \"read_buffer_size\": 262144}",
         "null"},
        // The last of repeated keys counts, nested keys count as top level, and
        // each element of an array under a key sets it.
        {true,
         "{\"zbs_version\": \"5.5.0\", \"channels\": 3, \"zbs_version\": \"5.6.1\", "
         "\"channels\": 99}",
         "{\"channels\": 64, \"zbs_version\": \"5.6.1\"}"},
        {false, "{\"parallel_vms\": 100, \"channels\": 8, \"start_vm\": true, \"start_vm\": false}",
         "{\"channels\": 8, \"parallel_vms\": 64, \"start_vm\": false}"},
        {true,
         "{\"o\": {\"channels\": 3, \"i\": {\"start_vm\": true, \"snapshot\": \"x\"}}, \"k\": 1}",
         "{\"channels\": 3, \"snapshot\": \"x\"}"},
        {false,
         "{\"o\": {\"channels\": 3, \"i\": {\"start_vm\": true, \"snapshot\": \"x\"}}, \"k\": 1}",
         "{\"channels\": 3, \"start_vm\": true}"},
        {true, "{\"channels\": [5, 7]}", "{\"channels\": 7}"},
        {false, "{\"duplicate_vm\": [\"a\", \"b\"]}", "{\"duplicate_vm\": \"b\"}"},
        // A key read after an array does not inherit the array's key.
        {true, "{\"channels\": [2], \"x\": 9}", "{\"channels\": 2}"},
        // The exclusion list: the strings of every top-level "exclusion" array.
        {true, "{\"exclusion\": [\"vm-*\", \"db?\"]}", kSame},
        {true, "{\"exclusion\": []}", kSame},
        {true, "{\"exclusion\": \"vm-1\"}", "null"},
        {true, "{\"exclusion\": [\"a\"], \"exclusion\": [\"b\", \"c\"]}",
         "{\"exclusion\": [\"a\", \"b\", \"c\"]}"},
        {true, "{\"x\": {\"exclusion\": [\"a\"]}}", "{\"exclusion\": [\"a\"]}"},
        {true, "{\"x\": [{\"exclusion\": [\"a\"]}]}", "null"},
        {true, "{\"exclusion\": [\"a\", 5, true, null, 2.5, \"b\"]}",
         "{\"exclusion\": [\"a\", \"b\"]}"},
        {true, "{\"exclusion\": [\"a\", {\"k\": \"v\"}, [\"x\"], \"b\"]}",
         "{\"exclusion\": [\"a\", \"b\"]}"},
        {true, "{\"exclusion\": [[\"x\"]]}", "{\"exclusion\": []}"},
        {true,
         "{\"channels\": 4, \"exclusion\": [\"a\", {\"snapshot\": \"s\"}, \"b\"], \"restart_vm\": "
         "true, \"zbs_version\": \"5.6\"}",
         "{\"channels\": 4, \"exclusion\": [\"a\", \"b\"], \"restart_vm\": true, \"snapshot\": "
         "\"s\", \"zbs_version\": \"5.6\"}"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        Parsed p = parse(r.backup, r.text);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(read_json(r.expected ? r.expected : r.text), p.value) << p.generated;
    }
}

// A parser whose options object was never made, as after a failed allocation.
const smartx::Option_Rule test_rules[] = {
    {"n", smartx::Option_Rule::INT, 0, 10, 1},
    {nullptr, smartx::Option_Rule::INT, 0, 0, 0},
};
class NoResultParser : public smartx::Options_Parser {
public:
    NoResultParser() : Options_Parser(test_rules) {}
};

TEST(OptionsNoResult, EveryValueStopsTheParse) {
    for (const char* text : {"{\"n\": 1}", "{\"x\": \"s\"}", "{\"b\": false}"}) {
        NoResultParser parser;
        Log_Capture log;
        EXPECT_FALSE(parser.parse(text));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(LM_EMERGENCY, log.lines()[0].priority);
        const std::string& t = log.lines()[0].text;
        EXPECT_EQ(0u, t.find("Unexpected error in ")) << t;
        EXPECT_NE(std::string::npos, t.find(", result_ is NULL:\n")) << t;
        EXPECT_EQ(nullptr, parser.shared_result());
    }
    NoResultParser parser;
    EXPECT_TRUE(parser.parse("{\"a\": {}}"));  // structure alone needs no object
}

TEST(OptionsGenerate, WritesTheValue) {
    EXPECT_EQ("{\"channels\":4,\"exclusion\":[\"a\"]}",
              parse(true, "{\"channels\": 4, \"exclusion\": [\"a\"]}").generated);
    EXPECT_EQ("null", parse(false, "{}").generated);
}

// Keys of both parsers and a stranger, with numbers in range, strings (that
// JSON must escape), booleans and name lists.
std::string random_options(std::mt19937_64& rng) {
    static const char* const plain[] = {"compression", "snapshot", "zbs_version", "duplicate_vm",
                                        "restart_vm",  "start_vm", "retain_id",   "other"};
    json_spirit::Object o;
    for (const Number_Key& k : number_keys) {
        if (rng() % 2 != 0)
            o[k.key] = number_value(
                k, k.low + (k.high == UINT64_MAX ? rng() : rng() % (k.high - k.low + 1)));
    }
    for (const char* key : plain) {
        if (rng() % 2 != 0)
            o[key] =
                rng() % 2 ? Value(random_text(rng, "abz09*?-_ \"\\/", 9)) : Value(rng() % 2 == 0);
    }
    if (rng() % 2 != 0)
        o["zbs_block_size"] = static_cast<int>(262144 * (1 + rng() % 1024));
    if (rng() % 2 != 0) {
        json_spirit::Array names;
        for (int n = static_cast<int>(rng() % 4); n > 0; --n)
            names.emplace_back(random_text(rng, "ab*?-_ \"", 9));
        o["exclusion"] = names;
    }
    return json_spirit::write(Value(o));
}

// What the parsers keep, written and parsed again, gives itself: a member
// of the wrong kind, out of range or not a key of the parser would change.
TEST(OptionsProperty, RandomAndMutatedTextsGiveStableOptions) {
    std::mt19937_64 rng(77);
    int parsed = 0;
    for (int i = 0; i < 2400 && !HasFailure(); ++i) {
        const bool backup = i % 2 == 0, mutated = i % 3 != 0;
        std::string text = random_options(rng);
        if (mutated)
            text = mutate_json_text(text, rng);
        SCOPED_TRACE(text);
        const Parsed p = parse(backup, text);
        ASSERT_TRUE(p.ok || mutated);
        if (!p.ok)
            continue;
        ++parsed;
        const Parsed again = parse(backup, p.generated);
        ASSERT_TRUE(again.ok) << p.generated;
        EXPECT_EQ(p.value, again.value);
        EXPECT_EQ(p.generated, again.generated);
    }
    EXPECT_GT(parsed, 800);  // some mutated texts too
}

}  // namespace
