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

// Texts, the record's id and name, and the document kept.
const struct Row {
    const char* text;
    const char* id;
    const char* name;
    const char* value;  // null: the text itself
} rows[] = {
    {"{\"id\": \"src-1\", \"name\": \"nightly\", \"entries\": [{\"id\": \"vm-1\", \"name\": "
     "\"web\", \"type\": \"VirtualMachine\", \"n\": 1.5, \"ok\": true, \"none\": null}]}",
     "src-1", "nightly", nullptr},
    {"{\"id\": \"a\\\"b\\\\c\", \"name\": \"n\\u00e9\", \"entries\": [[1, -2.5e3, {\"x\": [true, "
     "false, null]}], {}], \"deep\": {\"a\": {\"b\": {\"c\": []}}}}",
     "a\"b\\c", "n\xC3\xA9", nullptr},
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

TYPED_TEST(SourceParser, KeepsTheDocumentAndTakesOnlyTopLevelStringIdAndName) {
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

// Mutated texts parse to what a plain read gives, or fail.
TEST(SourceParserProperty, MutatedDocumentsParseOrFailCleanly) {
    std::mt19937_64 rng(2024);
    int parsed = 0, failed = 0;
    for (int i = 0; i < 3000 && !HasFailure(); ++i) {
        const std::string text =
            mutate_json_text(rows[i % (sizeof rows / sizeof rows[0])].text, rng);
        Job_Source_Parser<smartx::Backup_Source> parser;
        if (!parser.parse(text)) {
            ++failed;
            continue;
        }
        ++parsed;
        EXPECT_EQ(read_json(text), parser.result()->value()) << text;
    }
    EXPECT_GT(parsed, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
