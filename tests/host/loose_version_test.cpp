#include "host/loose_version.h"
#include "qorm/loose_version.h"

#include <gtest/gtest.h>

TEST(LooseVersion, ParsesLeadingDottedNumbers) {
    const std::pair<const char*, const char*> rows[] = {
        {"3.0.0", "3.0.0"}, {"4.1.2-rc1", "4.1.2"}, {"10.", "10"},
        {"", ""},           {"v3.0", ""},           {".1", ""},
        {"abc", ""},        {"99999999999.1", ""},
    };
    Loose_Version v;  // a failed parse empties what an earlier one read
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        EXPECT_EQ(*row.second != '\0', v.parse(row.first));
        EXPECT_EQ(*row.second != '\0', static_cast<bool>(v));
        EXPECT_EQ(v.str(), row.second);
    }
    EXPECT_FALSE(v.parse(static_cast<const char*>(nullptr)));
    ASSERT_TRUE(v.parse("3.0.0"));
    EXPECT_EQ(v.values(), (std::vector<int>{3, 0, 0}));
}

TEST(LooseVersion, ComparesPartByPartNumerically) {
    const std::tuple<const char*, const char*, int> rows[] = {
        {"3.0.0", "3.0.0", 0}, {"3.0", "3.0.0", 0}, {"2.9.9", "3.0.0", -1},
        {"3.10", "3.9", 1},    {"3.0.1", "3", 1},   {"4.0.0", "4.0.0.1", -1},
    };
    for (const auto& row : rows) {
        const Loose_Version a(std::get<0>(row)), b(std::get<1>(row));
        SCOPED_TRACE(std::get<0>(row) + std::string(" vs ") + std::get<1>(row));
        const int cmp = a.compare(b);
        EXPECT_EQ(std::get<2>(row), (cmp > 0) - (cmp < 0));
        EXPECT_EQ(std::get<2>(row) >= 0, a >= b);
        EXPECT_EQ(std::get<2>(row) < 0, a < b);
    }
}
