// The platform version: parsing the endpoint's text, the supported rule and
// the text form.
#include <gtest/gtest.h>

#include "smartx/common/version.h"
#include "support/log_capture.h"

namespace {

using smartx::Version;

TEST(Version_Parse, PlainQuotedAndPrefixedTextsGiveTheSameVersion) {
    for (const char* text : {"4.1.0", "\"4.1.0\"", "v4.1.0"}) {
        SCOPED_TRACE(text);
        Version v;
        ASSERT_TRUE(v.parse(Version::CLOUDTOWER, text));
        EXPECT_EQ(Version::CLOUDTOWER, v.platform);
        EXPECT_EQ("4.1.0", v.version.str());
        EXPECT_TRUE(v.supported());
        EXPECT_EQ("CloudTower/4.1.0", v.str());
    }
}

TEST(Version_Parse, OnlyOneLeadingCharacterIsSkipped) {
    Version v;
    EXPECT_FALSE(v.parse(Version::CLOUDTOWER, "vv4.1.0"));
    EXPECT_FALSE(v.parse(Version::CLOUDTOWER, "x4.1.0"));
    // The platform is set even when the number does not parse.
    EXPECT_EQ(Version::CLOUDTOWER, v.platform);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ("", v.str());
}

TEST(Version_Parse, EmptyTextFailsAndChangesNothing) {
    Version v(Version::FISHEYE, "5.0.1");
    Log_Capture log;
    EXPECT_FALSE(v.parse(Version::CLOUDTOWER, ""));
    EXPECT_EQ(Version::FISHEYE, v.platform);
    EXPECT_EQ("5.0.1", v.version.str());
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(LM_ERROR, log.lines()[0].priority);
    EXPECT_EQ("Failed to parse version, details: empty string.\n", log.lines()[0].text);
}

TEST(Version_Parse, ALoneQuoteParsesNothing) {
    Version v;
    EXPECT_FALSE(v.parse(Version::CLOUDTOWER, "\""));
    EXPECT_TRUE(v.empty());
}

TEST(Version_Load, UsesTheCurrentPlatform) {
    Version v;
    v.platform = Version::FISHEYE;
    ASSERT_TRUE(v.load(json_spirit::Value("\"6.2.0\"")));
    EXPECT_EQ(Version::FISHEYE, v.platform);
    EXPECT_EQ("FishEye/6.2.0", v.str());
}

TEST(Version_Load, NonStringValueFails) {
    for (const json_spirit::Value& value :
         {json_spirit::Value(3), json_spirit::Value(), json_spirit::Value(json_spirit::Object())}) {
        Version v;
        v.platform = Version::CLOUDTOWER;
        Log_Capture log;
        EXPECT_FALSE(v.load(value));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse version, details: "))
            << log.lines()[0].text;
        EXPECT_TRUE(v.version.values().empty());
    }
}

TEST(Version_Supported, OnlyCloudTowerFromThreeOn) {
    EXPECT_FALSE(Version().supported());
    EXPECT_TRUE(Version().empty());
    EXPECT_EQ("", Version().str());
    EXPECT_TRUE(Version(Version::CLOUDTOWER, "3.0.0").supported());
    EXPECT_TRUE(Version(Version::CLOUDTOWER, "3.0").supported());
    EXPECT_TRUE(Version(Version::CLOUDTOWER, "10.0.0").supported());
    EXPECT_FALSE(Version(Version::CLOUDTOWER, "2.8.9").supported());
    EXPECT_FALSE(Version(Version::FISHEYE, "9.9.9").supported());
    EXPECT_EQ("FishEye/9.9.9", Version(Version::FISHEYE, "9.9.9").str());
    // A version without a platform is empty whatever its number.
    Version none(Version::NONE, "4.0.0");
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(none.supported());
    EXPECT_EQ("", none.str());
}

TEST(Version_Supported, CloudTowerPredicate) {
    EXPECT_TRUE(Version(Version::CLOUDTOWER, "1.0").is_cloudtower_platform());
    EXPECT_FALSE(Version(Version::FISHEYE, "1.0").is_cloudtower_platform());
}

}  // namespace
