// The reference records resource records point with (the load conventions
// themselves: each record's own load tests).
#include "host/json_spirit/json_io.h"
#include "smartx/common/item.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace json_spirit;
using smartx::Item_Identity;

TEST(ReferenceRecords, AnIdentityIsEmptyWhenEitherPartIs) {
    for (const Item_Identity& item :
         {Item_Identity{}, Item_Identity{"a", ""}, Item_Identity{"", "n"}})
        EXPECT_TRUE(item.empty()) << item.id << "/" << item.name;
    Item_Identity item{"a", "n"};
    EXPECT_FALSE(item.empty());
    item.clear();
    EXPECT_TRUE(item.id.empty() && item.name.empty());
}

TEST(ReferenceRecords, AMutationAnswerNeedsItsId) {
    Log_Capture log;
    smartx::Identity ident;
    EXPECT_TRUE(ident.load(Object_Maker()("id", "i").get_obj()));
    EXPECT_EQ(ident.id, "i");
    EXPECT_FALSE(smartx::Identity().load(Object()));
    EXPECT_EQ(log.texts(), std::vector<std::string>{
                               "Failed to parse identity, details: 'id' is expected as string.\n"});
}
