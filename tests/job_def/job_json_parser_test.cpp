// The streaming parsers that keep a whole source document, and hand its
// top-level "id" and "name" to the host's source record.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "job_def/job_json_parser.h"
#include "smartx/job/job_object_text.h"
#include "smartx/job/job_value.h"
#include "smartx/job/random_text.h"

namespace {

using json_spirit::Value;

Value read_json(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

template <class S>
class SourceParser : public ::testing::Test {};

typedef ::testing::Types<smartx::Backup_Source, smartx::Restore_Source> SourceTypes;
TYPED_TEST_SUITE(SourceParser, SourceTypes);

TYPED_TEST(SourceParser, KeepsTheDocumentAndTakesOnlyTopLevelStringIdAndName) {
    const struct Row {
        const char* text;
        const char* id;
        const char* name;
        const char* value;  // null: the text itself
    } rows[] = {
        {"{\"id\": \"src-1\", \"name\": \"nightly\", \"entries\": [{\"id\": \"vm-1\", \"name\": "
         "\"web\", \"type\": \"VirtualMachine\", \"n\": 1.5, \"ok\": true, \"none\": null}]}",
         "src-1", "nightly", nullptr},
        {"{\"entries\": [{\"id\": \"e\", \"name\": \"n\"}], \"sub\": {\"id\": \"x\", \"name\": "
         "\"y\"}, \"list\": [\"id\", \"name\"]}",
         "", "", nullptr},
        {"{\"id\": 7, \"name\": [\"a\"], \"entries\": []}", "", "", nullptr},
        {"[\"id\", \"name\"]", "", "", nullptr},
        {"\"id\"", "", "", nullptr},
        {"42", "", "", nullptr},
        {"null", "", "", nullptr},
        // Later top-level values replace earlier ones.
        {"{\"name\": \"first\", \"name\": \"second\"}", "", "second", "{\"name\": \"second\"}"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        Job_Source_Parser<TypeParam> parser;
        ASSERT_TRUE(parser.parse(r.text));
        auto result = parser.result();
        ASSERT_NE(nullptr, result.get());
        EXPECT_EQ(r.id, result->id());
        EXPECT_EQ(r.name, result->name());
        EXPECT_EQ(read_json(r.value ? r.value : r.text), result->value());
        EXPECT_EQ(result->value(), read_json(generated_text(*result)));
    }
}

TEST(JobJsonParser, KeepsTheDocumentWithoutTouchingTheRecord) {
    Job_JSON_Parser<smartx::Backup_Source> parser;
    ASSERT_TRUE(parser.parse("{\"id\": \"x\", \"name\": \"y\"}"));
    EXPECT_EQ("", parser.result()->id());
    EXPECT_EQ(read_json("{\"id\": \"x\", \"name\": \"y\"}"), parser.result()->value());
    // The host takes the same object through the untyped interface.
    std::shared_ptr<Job_Object> shared = parser.shared_result();
    EXPECT_EQ(parser.result().get(), shared.get());
}

// A random value; containers hold keys that a source document also uses.
Value random_value(std::mt19937_64& rng, int depth) {
    static const char* const keys[] = {"id", "name", "type", "disks", "k", "entries"};
    switch (depth > 3 ? rng() % 5 : rng() % 7) {
        case 0:
            return Value();
        case 1:
            return Value(rng() % 2 == 0);
        case 2:
            return Value(static_cast<long>(rng()));
        case 3:
            return Value(static_cast<double>(rng() % 100000) / 8.0);
        case 4:
            return Value(random_text(rng, "abZ09 -_\"\\/\t", 7));
        case 5: {
            json_spirit::Array a;
            for (int n = static_cast<int>(rng() % 4); n > 0; --n)
                a.push_back(random_value(rng, depth + 1));
            return Value(a);
        }
        default: {
            json_spirit::Object o;
            for (int n = static_cast<int>(rng() % 4); n > 0; --n)
                o[keys[rng() % 6]] = random_value(rng, depth + 1);
            return Value(o);
        }
    }
}

// Random source documents survive parse, generate and parse (by the other
// parser); mutated ones parse to what a plain read gives, or fail.
TEST(SourceParserProperty, RandomDocumentsRoundTripAndMutatedOnesParseOrFail) {
    std::mt19937_64 rng(2024);
    int parsed = 0, failed = 0;
    for (int i = 0; i < 2000 && !HasFailure(); ++i) {
        json_spirit::Object o;
        o["id"] = random_text(rng, "abZ09 -_\"\\/\t", 7);
        o["name"] = random_text(rng, "abZ09 -_\"\\/\t", 7);
        o["entries"] = random_value(rng, 1);
        for (int n = static_cast<int>(rng() % 3); n > 0; --n)
            o[std::to_string(n)] = random_value(rng, 1);
        const Value doc(o);
        const std::string text = json_spirit::write(doc);
        Job_Source_Parser<smartx::Backup_Source> first;
        ASSERT_TRUE(first.parse(text)) << text;
        EXPECT_EQ(doc, first.result()->value());
        EXPECT_EQ(o["id"].get_str(), first.result()->id());
        EXPECT_EQ(o["name"].get_str(), first.result()->name());
        Job_Source_Parser<smartx::Restore_Source> second;
        ASSERT_TRUE(second.parse(generated_text(*first.result())));
        EXPECT_EQ(doc, second.result()->value());
        EXPECT_EQ(first.result()->id(), second.result()->id());

        const std::string mutated = mutate_json_text(text, rng);
        Job_Source_Parser<smartx::Backup_Source> parser;
        if (!parser.parse(mutated)) {
            ++failed;
            continue;
        }
        ++parsed;
        EXPECT_EQ(read_json(mutated), parser.result()->value()) << mutated;
    }
    EXPECT_GT(parsed, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
