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
class Source_Parser : public ::testing::Test {};

typedef ::testing::Types<smartx::Backup_Source, smartx::Restore_Source> Source_Types;
TYPED_TEST_SUITE(Source_Parser, Source_Types);

TYPED_TEST(Source_Parser, KeepsTheDocumentAndTakesTopLevelIdAndName) {
    const std::string text =
        "{\"id\": \"src-1\", \"name\": \"nightly\", \"entries\": [{\"id\": \"vm-1\", \"name\": "
        "\"web\", \"type\": "
        "\"VirtualMachine\", \"n\": 1.5, \"ok\": true, \"none\": null}]}";
    Job_Source_Parser<TypeParam> parser;
    ASSERT_TRUE(parser.parse(text));
    auto result = parser.result();
    ASSERT_NE(nullptr, result.get());
    EXPECT_EQ("src-1", result->id());
    EXPECT_EQ("nightly", result->name());
    EXPECT_EQ(read_json(text), result->value());
    EXPECT_EQ(read_json(text), read_json(generated_text(*result)));
}

TYPED_TEST(Source_Parser, DeeperIdsAndNamesDoNotTouchTheRecord) {
    Job_Source_Parser<TypeParam> parser;
    ASSERT_TRUE(parser.parse(
        "{\"entries\": [{\"id\": \"e\", \"name\": \"n\"}], \"sub\": {\"id\": \"x\", \"name\": "
        "\"y\"}, \"list\": [\"id\", \"name\"]}"));
    EXPECT_EQ("", parser.result()->id());
    EXPECT_EQ("", parser.result()->name());
}

TYPED_TEST(Source_Parser, OnlyStringsCount) {
    Job_Source_Parser<TypeParam> parser;
    ASSERT_TRUE(parser.parse("{\"id\": 7, \"name\": [\"a\"], \"entries\": []}"));
    EXPECT_EQ("", parser.result()->id());
    EXPECT_EQ("", parser.result()->name());
    EXPECT_EQ(read_json("{\"id\": 7, \"name\": [\"a\"], \"entries\": []}"),
              parser.result()->value());
}

TYPED_TEST(Source_Parser, TopLevelOtherThanAnObject) {
    for (const char* text : {"[\"id\", \"name\"]", "\"id\"", "42", "null"}) {
        Job_Source_Parser<TypeParam> parser;
        ASSERT_TRUE(parser.parse(text)) << text;
        EXPECT_EQ("", parser.result()->id());
        EXPECT_EQ(read_json(text), parser.result()->value());
    }
}

TYPED_TEST(Source_Parser, LaterTopLevelValuesReplaceEarlierOnes) {
    Job_Source_Parser<TypeParam> parser;
    ASSERT_TRUE(parser.parse("{\"name\": \"first\", \"name\": \"second\"}"));
    EXPECT_EQ("second", parser.result()->name());
    EXPECT_EQ(read_json("{\"name\": \"second\"}"), parser.result()->value());
}

TEST(Job_JSON_Parser, KeepsTheDocumentWithoutTouchingTheRecord) {
    Job_JSON_Parser<smartx::Backup_Source> parser;
    ASSERT_TRUE(parser.parse("{\"id\": \"x\", \"name\": \"y\"}"));
    EXPECT_EQ("", parser.result()->id());
    EXPECT_EQ(read_json("{\"id\": \"x\", \"name\": \"y\"}"), parser.result()->value());
    // The host takes the same object through the untyped interface.
    std::shared_ptr<Job_Object> shared = parser.shared_result();
    EXPECT_EQ(parser.result().get(), shared.get());
}

// ---- random and mutated documents ----

class Random_Documents {
public:
    explicit Random_Documents(unsigned seed) : rng_(seed) {}

    Value value(int depth) {
        switch (depth > 3 ? rng_() % 5 : rng_() % 7) {
            case 0:
                return Value();
            case 1:
                return Value(rng_() % 2 == 0);
            case 2:
                return Value(static_cast<long>(std::uniform_int_distribution<int64_t>()(rng_)));
            case 3:
                return Value(static_cast<double>(rng_() % 100000) / 8.0);
            case 4:
                return Value(text());
            case 5: {
                json_spirit::Array a;
                for (int n = static_cast<int>(rng_() % 4); n > 0; --n)
                    a.push_back(value(depth + 1));
                return Value(a);
            }
            default: {
                json_spirit::Object o;
                for (int n = static_cast<int>(rng_() % 4); n > 0; --n)
                    o[key()] = value(depth + 1);
                return Value(o);
            }
        }
    }

    // A source document: "id", "name", "entries" and some noise.
    Value document() {
        json_spirit::Object o;
        o["id"] = text();
        o["name"] = text();
        json_spirit::Array entries;
        for (int n = static_cast<int>(rng_() % 4); n > 0; --n)
            entries.push_back(value(1));
        o["entries"] = entries;
        for (int n = static_cast<int>(rng_() % 3); n > 0; --n)
            o[key()] = value(1);
        return Value(o);
    }

    std::mt19937_64& rng() { return rng_; }

private:
    std::string text() { return random_text(rng_, "abZ09 -_\"\\/\t", 7); }
    std::string key() {
        static const char* const keys[] = {"id", "name", "type", "disks", "k", "entries"};
        return keys[rng_() % 6];
    }

    std::mt19937_64 rng_;
};

// The noise may have replaced "id" or "name" with a value of another kind.
std::string top_string(const Value& doc, const char* key) {
    const std::string* s = json_spirit::object_get_str(doc.get_obj(), key);
    return s ? *s : std::string();
}

TEST(Source_Parser_Property, RandomDocumentsSurviveParseGenerateParse) {
    Random_Documents gen(2024);
    for (int i = 0; i < 400 && !HasFailure(); ++i) {
        Value doc = gen.document();
        const std::string text = json_spirit::write(doc);
        Job_Source_Parser<smartx::Backup_Source> first;
        ASSERT_TRUE(first.parse(text)) << text;
        EXPECT_EQ(doc, first.result()->value());
        EXPECT_EQ(top_string(doc, "id"), first.result()->id());
        EXPECT_EQ(top_string(doc, "name"), first.result()->name());
        const std::string generated = generated_text(*first.result());
        Job_Source_Parser<smartx::Restore_Source> second;
        ASSERT_TRUE(second.parse(generated));
        EXPECT_EQ(doc, second.result()->value());
        EXPECT_EQ(first.result()->id(), second.result()->id());
    }
}

TEST(Source_Parser_Property, MutatedDocumentsParseOrFailCleanly) {
    Random_Documents gen(8);
    int parsed = 0, failed = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string text = mutate_json_text(json_spirit::write(gen.document()), gen.rng());
        Job_Source_Parser<smartx::Backup_Source> parser;
        if (parser.parse(text)) {
            ++parsed;
            // What parsed is exactly what a plain read of the text gives.
            EXPECT_EQ(read_json(text), parser.result()->value()) << text;
        } else {
            ++failed;
        }
        if (HasFailure())
            break;
    }
    EXPECT_GT(parsed, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
