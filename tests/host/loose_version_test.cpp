#include "host/loose_version.h"
#include "qorm/loose_version.h"

#include <gtest/gtest.h>

TEST(LooseVersion, ParsesLeadingDottedNumbers) {
    Loose_Version v;
    EXPECT_TRUE(v.parse("3.0.0"));
    EXPECT_EQ(v.values(), (std::vector<int>{3, 0, 0}));
    EXPECT_EQ(v.str(), "3.0.0");

    EXPECT_TRUE(v.parse("4.1.2-rc1"));
    EXPECT_EQ(v.str(), "4.1.2");
    EXPECT_TRUE(v.parse("10."));
    EXPECT_EQ(v.str(), "10");

    for (const char* bad : {"", "v3.0", ".1", "abc", "99999999999.1"}) {
        EXPECT_FALSE(v.parse(bad)) << bad;
        EXPECT_FALSE(static_cast<bool>(v)) << bad;
        EXPECT_EQ(v.str(), "") << bad;
    }
    EXPECT_FALSE(v.parse(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(static_cast<bool>(Loose_Version()));
}

TEST(LooseVersion, ComparesPartByPartNumerically) {
    auto cmp = [](const char* a, const char* b) {
        return Loose_Version(a).compare(Loose_Version(b));
    };
    EXPECT_EQ(cmp("3.0.0", "3.0.0"), 0);
    EXPECT_EQ(cmp("3.0", "3.0.0"), 0);
    EXPECT_LT(cmp("2.9.9", "3.0.0"), 0);
    EXPECT_GT(cmp("3.10", "3.9"), 0);
    EXPECT_GT(cmp("3.0.1", "3"), 0);
    EXPECT_LT(cmp("4.0.0", "4.0.0.1"), 0);

    EXPECT_TRUE(Loose_Version("3.0.0") >= Loose_Version("3.0.0"));
    EXPECT_TRUE(Loose_Version("4.2") >= Loose_Version("3.0.0"));
    EXPECT_FALSE(Loose_Version("2.8.1") >= Loose_Version("3.0.0"));
    EXPECT_TRUE(Loose_Version("2.8.1") < Loose_Version("3.0.0"));
    EXPECT_FALSE(Loose_Version("3.0.0") < Loose_Version("3.0"));
}
