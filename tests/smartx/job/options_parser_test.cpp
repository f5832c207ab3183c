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
    uint64_t low, high, step;
    bool in_backup, in_restore;
};

const Number_Key number_keys[] = {
    {"channels", false, 1, 64, 1, true, true},
    {"compression_level", false, 1, 32, 1, true, false},
    {"parallel_vms", false, 1, 64, 1, true, true},
    {"parallel_vms_per_host", false, 1, 64, 1, true, true},
    {"parallel_disks_per_vm", false, 1, 5, 1, true, true},
    {"read_buffer_size", true, 262144, 67108864, 1, true, false},
    {"write_buffer_size", true, 262144, 67108864, 1, false, true},
    {"storage_reserved_percent", false, 0, 100, 1, true, false},
    {"storage_reserved_bytes", true, 0, UINT64_MAX, 1, true, false},
    // The data movers query ZBS in whole units.
    {"zbs_block_size", false, 262144, 268435456, 262144, true, false},
};

// (input text, expected options) for one key: digits up to the first other
// character, clamped and rounded down to the step; other kinds are no number.
std::vector<std::pair<std::string, Value>> matrix(const Number_Key& k) {
    const uint64_t top = k.unsigned64 ? UINT64_MAX : std::numeric_limits<int>::max();
    auto fit = [&](uint64_t v) {
        v = std::min(std::max(v, k.low), k.high);
        v -= v % k.step;
        json_spirit::Object o;
        o[k.key] = k.unsigned64 ? Value(static_cast<unsigned long>(v)) : Value(static_cast<int>(v));
        return Value(o);
    };
    std::vector<std::pair<std::string, Value>> m = {
        {std::to_string(k.low), fit(k.low)},
        {std::to_string(k.high), fit(k.high)},
        {std::to_string((k.low + k.high) / 2), fit((k.low + k.high) / 2)},
        {std::to_string(k.low) + ".9", fit(k.low)},
        {std::to_string(k.low + 1) + ".99", fit(k.low + 1)},
        {std::to_string(k.low + k.step + 1), fit(k.low + k.step + 1)},
        {"-5", fit(k.low)},
        {"-0.5", fit(k.low)},
        {"0", fit(k.low)},
        {"3e2", fit(3)},
        {"1E9", fit(1)},
        {"99999999999999999999999", fit(top)},
        {"-99999999999999999999999", fit(k.low)},
    };
    if (k.low > 0)
        m.push_back({std::to_string(k.low - 1), fit(k.low)});
    if (k.high < top)
        m.push_back({std::to_string(k.high + 1), fit(k.high)});
    for (const char* other : {"\"5\"", "true", "null", "{}", "[]", "[\"5\"]"})
        m.push_back({other, Value()});
    return m;
}

TEST(OptionsClamp, NumbersAreReadAsDigitsClampedAndRounded) {
    for (bool backup : {true, false}) {
        for (const Number_Key& k : number_keys) {
            for (const auto& c : matrix(k)) {
                SCOPED_TRACE(std::string(k.key) + ": " + c.first);
                Parsed p = parse(backup, std::string("{\"") + k.key + "\": " + c.first + "}");
                ASSERT_TRUE(p.ok);
                EXPECT_EQ((backup ? k.in_backup : k.in_restore) ? c.second : Value(), p.value);
            }
        }
    }
}

const char* const kSame = nullptr;  // the options are the text itself

// Texts and what each parser keeps of them.
const struct Key_Row {
    const char* text;
    const char* backup;
    const char* restore;
} key_rows[] = {
    {"{\"compression\": \"lz4\", \"zbs_version\": \"5.6.0\", \"snapshot\": \"crash\", "
     "\"dirty_snapshot_op\": \"ignore\", \"restart_vm\": true, \"reserve_snapshot\": false, "
     "\"allocated_blocks\": true}",
     kSame, "{\"zbs_version\": \"5.6.0\", \"allocated_blocks\": true}"},
    {"{\"duplicate_vm\": \"recycle\", \"zbs_version\": \"5.6.0\", \"stop_vm_op\": \"shutdown\", "
     "\"start_vm\": true, \"reserve_mac\": false, \"restore_cdroms\": true, "
     "\"retain_vm_version\": false, \"restore_nics\": true, \"restore_tags\": true, "
     "\"original_restore\": true, \"overwrite_bootable\": false, \"retain_id\": true, "
     "\"allocated_blocks\": false}",
     "{\"zbs_version\": \"5.6.0\", \"allocated_blocks\": false}", kSame},
    // Wrong kinds, unknown keys, no object at all.
    {"{}", "null", "null"},
    {"[5, \"channels\", true]", "null", "null"},
    {"{\"foo\": 1, \"bar\": \"x\", \"snapshot\": 5, \"restart_vm\": \"true\", "
     "\"reserve_snapshot\": 1, \"Channels\": 4, \"duplicate_vm\": 5, \"start_vm\": \"x\"}",
     "null", "null"},
    // The last of repeated keys counts, nested keys count as top level, and
    // each element of an array under a key sets it.
    {"{\"zbs_version\": \"5.5.0\", \"channels\": 3, \"zbs_version\": \"5.6.1\", \"channels\": 99, "
     "\"start_vm\": true, \"start_vm\": false}",
     "{\"channels\": 64, \"zbs_version\": \"5.6.1\"}",
     "{\"channels\": 64, \"zbs_version\": \"5.6.1\", \"start_vm\": false}"},
    {"{\"o\": {\"channels\": 3, \"i\": {\"start_vm\": true, \"snapshot\": \"x\"}}, \"k\": 1}",
     "{\"channels\": 3, \"snapshot\": \"x\"}", "{\"channels\": 3, \"start_vm\": true}"},
    {"{\"channels\": [5, 7], \"duplicate_vm\": [\"a\", \"b\"]}", "{\"channels\": 7}",
     "{\"channels\": 7, \"duplicate_vm\": \"b\"}"},
    // A key read after an array does not inherit the array's key.
    {"{\"channels\": [2], \"x\": 9}", "{\"channels\": 2}", "{\"channels\": 2}"},
    // The backup exclusion list: the strings of every top-level "exclusion" array.
    {"{\"exclusion\": [\"vm-*\", \"db?\"]}", kSame, "null"},
    {"{\"exclusion\": []}", kSame, "null"},
    {"{\"exclusion\": \"vm-1\"}", "null", "null"},
    {"{\"exclusion\": [\"a\"], \"exclusion\": [\"b\", \"c\"]}",
     "{\"exclusion\": [\"a\", \"b\", \"c\"]}", "null"},
    {"{\"x\": {\"exclusion\": [\"a\"]}}", "{\"exclusion\": [\"a\"]}", "null"},
    {"{\"x\": [{\"exclusion\": [\"a\"]}]}", "null", "null"},
    {"{\"exclusion\": [\"a\", 5, true, null, 2.5, \"b\"]}", "{\"exclusion\": [\"a\", \"b\"]}",
     "null"},
    {"{\"exclusion\": [\"a\", {\"k\": \"v\"}, [\"x\"], \"b\"]}", "{\"exclusion\": [\"a\", \"b\"]}",
     "null"},
    {"{\"exclusion\": [[\"x\"]]}", "{\"exclusion\": []}", "null"},
    {"{\"channels\": 4, \"exclusion\": [\"a\", {\"snapshot\": \"s\"}, \"b\"], \"restart_vm\": "
     "true, \"zbs_version\": \"5.6\"}",
     "{\"channels\": 4, \"exclusion\": [\"a\", \"b\"], \"restart_vm\": true, \"snapshot\": "
     "\"s\", \"zbs_version\": \"5.6\"}",
     "{\"channels\": 4, \"zbs_version\": \"5.6\"}"},
};

TEST(OptionsKeys, KeptKeysKindsNestingAndExclusion) {
    for (const Key_Row& r : key_rows) {
        for (bool backup : {true, false}) {
            SCOPED_TRACE(std::string(backup ? "backup " : "restore ") + r.text);
            const char* expected = backup ? r.backup : r.restore;
            Parsed p = parse(backup, r.text);
            ASSERT_TRUE(p.ok);
            EXPECT_EQ(read_json(expected ? expected : r.text), p.value) << p.generated;
        }
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

// Mutated texts of the table parse or fail; what the parsers keep, written
// and parsed again, gives itself: a member of the wrong kind, out of range or
// not a key of the parser would change.
TEST(OptionsProperty, MutatedTextsGiveStableOptions) {
    std::mt19937_64 rng(77);
    int parsed = 0;
    for (int i = 0; i < 4000 && !HasFailure(); ++i) {
        const bool backup = i % 2 == 0;
        const std::string text =
            mutate_json_text(key_rows[i / 2 % (sizeof key_rows / sizeof key_rows[0])].text, rng);
        SCOPED_TRACE(text);
        const Parsed p = parse(backup, text);
        if (!p.ok)
            continue;
        ++parsed;
        const Parsed again = parse(backup, p.generated);
        ASSERT_TRUE(again.ok) << p.generated;
        EXPECT_EQ(p.value, again.value);
        EXPECT_EQ(p.generated, again.generated);
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
