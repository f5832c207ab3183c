#include "qorm/key2_value.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
enum Connect_State : int {
    UNKNOWN = 0,
    CONNECTED = 1,
    DISCONNECTED = 2,
    INITIALIZING = 3,
    REMOVING = 4
};

const Key2_Value_T<Connect_State> connect_state_table[] = {
    key2_value_row("CONNECTED", CONNECTED),
    key2_value_row("DISCONNECTED", DISCONNECTED),
    key2_value_row("INITIALIZING", INITIALIZING),
    key2_value_row("REMOVING", REMOVING),
    key2_value_end(UNKNOWN),
};

const Connect_State* const connect_end = &connect_state_table[4].value;

// An empty name is a real row; the terminator answers with 9 here.
const Key2_Value_T<int> resource_table[] = {
    key2_value_row("", 1),
    key2_value_row("IDLE", 2),
    key2_value_row("IDLE_TOO", 2),
    key2_value_end(9),
};
}  // namespace

TEST(Key2Value, ByNameIsExactCaseSensitiveAndComparesTheRowLength) {
    for (const auto* row = connect_state_table; row->key != nullptr; ++row)
        EXPECT_EQ(row->len, std::strlen(row->key)) << row->key;
    EXPECT_EQ(get_key_value_entry(connect_state_table, "INITIALIZING"), &connect_state_table[2]);
    EXPECT_EQ(get_value_by_key(connect_state_table, "REMOVING"), REMOVING);
    for (const char* miss : std::initializer_list<const char*>{"connected", "CONNECTED ", "CONNECT",
                                                               "", "Removing", nullptr}) {
        const auto* row = get_key_value_entry(connect_state_table, miss);
        EXPECT_EQ(&row->value, connect_end) << (miss ? miss : "null");
        EXPECT_EQ(row->key, nullptr);
    }
    // An empty name matches only an empty row.
    EXPECT_EQ(get_value_by_key(resource_table, ""), 1);
    EXPECT_EQ(get_key_value_entry(resource_table, "", 0), &resource_table[0]);
    EXPECT_EQ(get_key_value_entry(connect_state_table, "", 0)->key, nullptr);

    EXPECT_EQ(get_key_value_entry(resource_table, "IDLE", 4), &resource_table[1]);
    EXPECT_EQ(get_key_value_entry(resource_table, "IDLE", 3)->value, 9);
    // Only the first n bytes count: a name inside a longer buffer matches.
    EXPECT_EQ(get_key_value_entry(resource_table, "IDLE_TOO_LONG", 8), &resource_table[2]);
    EXPECT_EQ(get_key_value_entry(resource_table, "IDLE_TOO", 4), &resource_table[1]);
    EXPECT_EQ(get_key_value_entry(resource_table, "idle", 4)->value, 9);
    EXPECT_EQ(get_key_value_entry(resource_table, nullptr, 0)->value, 9);
}

TEST(Key2Value, ByValueFindsTheFirstRowOrTheTerminator) {
    EXPECT_STREQ(get_key_by_value(connect_state_table, DISCONNECTED), "DISCONNECTED");
    EXPECT_STREQ(get_key_value_entry(resource_table, 2)->key, "IDLE");
    EXPECT_EQ(get_key_value_entry(resource_table, 5)->key, nullptr);
    EXPECT_EQ(get_key_by_value(connect_state_table, static_cast<Connect_State>(77)), nullptr);
    // The terminator's own value is not a row: it gives no name either.
    EXPECT_EQ(get_key_value_entry(connect_state_table, UNKNOWN), &connect_state_table[4]);
    EXPECT_EQ(get_key_value_entry(resource_table, 9), &resource_table[3]);
}
