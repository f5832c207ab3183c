// Paged queries and lookups by ids against the simulated CloudTower.
#include <cstdio>

#include "rest_test_support.h"
#include "smartx/common/label.h"

namespace rest_test {
namespace {

using smartx::Message;

class PagingTest : public RestTest {
protected:
    // Exactly n labels, "label-000" on, in that order.
    void make_labels(int n) {
        server_->clear_records("labels");
        Array records;
        for (int i = 0; i < n; ++i)
            records.push_back(Value(Object{{"id", Value(id(i))}, {"key", Value(id(i))}}));
        std::string error;
        ASSERT_TRUE(server_->put_records("labels", records, &error)) << error;
        server_->clear_requests();
    }

    static std::string id(int i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "label-%03d", i);
        return buf;
    }

    // The "skip" of every request, in order; each must ask for 100.
    std::vector<int> skips() const {
        std::vector<int> out;
        for (const Value& body : bodies()) {
            EXPECT_EQ(Value(100), ct_test::member(body, "first"));
            out.push_back(ct_test::member(body, "skip").get_int());
        }
        return out;
    }

    bool by_page(smartx::Error* error) {
        smartx::Query_Params params;
        return client_.query_items_by_page(params, Message::QUERY_LABELS, labels_, error);
    }

    std::vector<smartx::Label> labels_;
};

TEST_F(PagingTest, FetchesUntilAShortPage) {
    struct Row {
        int records;
        std::vector<int> skips;
    } rows[] = {{0, {0}}, {99, {0}}, {100, {0, 100}}, {200, {0, 100, 200}}, {250, {0, 100, 200}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.records);
        make_labels(row.records);
        labels_.clear();
        smartx::Query_Params params;
        ASSERT_TRUE(client_.query_items_by_page(params, Message::QUERY_LABELS, labels_, &error_))
            << error_.message;
        EXPECT_EQ(row.skips, skips());
        ASSERT_EQ(static_cast<size_t>(row.records), labels_.size());
        for (int i = 0; i < row.records; ++i)
            ASSERT_EQ(id(i), labels_[i].id);
        // The caller's parameters hold the last page asked for.
        EXPECT_EQ(row.skips.back(), params.params.at("skip").get_int());
        EXPECT_TRUE(error_.empty());
    }

    // Records held before do not end the paging.
    server_->clear_requests();
    labels_.resize(5);
    ASSERT_TRUE(by_page(&error_)) << error_.message;
    EXPECT_EQ(std::vector<int>({0, 100, 200}), skips());
    ASSERT_EQ(255u, labels_.size());
    EXPECT_EQ(id(0), labels_[5].id);
    EXPECT_EQ(id(249), labels_.back().id);
}

TEST_F(PagingTest, ServerIgnoringSkipEndsWithAnError) {
    make_labels(250);
    server_->ignore_skip("get-labels", true);
    EXPECT_FALSE(by_page(&error_));
    EXPECT_EQ(std::vector<int>({0, 100}), skips());
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ(
        "Failed to query items by page, type: 15, details: page 1 repeats the records of page 0.",
        error_.message);
    // The repeated page is not kept.
    ASSERT_EQ(100u, labels_.size());
    EXPECT_EQ(id(99), labels_.back().id);

    // Without a record the failure is logged.
    labels_.clear();
    Log_Capture log;
    EXPECT_FALSE(by_page(nullptr));
    EXPECT_EQ(1u, log.lines().size());
}

TEST_F(PagingTest, LookupByIdsReplacesTheList) {
    make_labels(150);
    labels_.resize(3);
    labels_[0].id = id(120);
    labels_[1].id = "no-such-label";
    labels_[2].id = id(7);
    labels_[2].key = "stale";
    ASSERT_TRUE(client_.query_items_by_ids(Message::QUERY_LABELS, labels_, &error_))
        << error_.message;
    expect_requests(R"(get-labels {"where": {"id_in": ["label-120", "no-such-label", "label-007"]},
        "first": 100, "skip": 0})");
    // CloudTower's order, full records.
    ASSERT_EQ(2u, labels_.size());
    EXPECT_EQ(id(7), labels_[0].id);
    EXPECT_EQ(id(7), labels_[0].key);
    EXPECT_EQ(id(120), labels_[1].id);

    // An empty list still sends "id_in": [].
    server_->clear_requests();
    labels_.clear();
    ASSERT_TRUE(client_.query_items_by_ids(Message::QUERY_LABELS, labels_, &error_))
        << error_.message;
    expect_requests(R"(get-labels {"id_in": []})", "where");
    EXPECT_TRUE(labels_.empty());
}

}  // namespace
}  // namespace rest_test
