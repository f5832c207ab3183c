// The platform version: parsing the endpoint's text, the supported rule and
// the text form.
#include <gtest/gtest.h>

#include "smartx/common/version.h"
#include "support/log_capture.h"

using smartx::Version;

TEST(Version, ParsesTheEndpointText) {
    const struct {
        Version::Platform platform;
        const char* text;
        bool parsed;
        const char* str;
        bool supported;
    } rows[] = {
        // A number without the leading character keeps its first digit.
        {Version::CLOUDTOWER, "4.1.0", true, "CloudTower/4.1.0", true},
        {Version::CLOUDTOWER, "\"4.1.0\"", true, "CloudTower/4.1.0", true},
        {Version::CLOUDTOWER, "v4.1.0", true, "CloudTower/4.1.0", true},
        // Whatever the leading character, when it is not a digit.
        {Version::CLOUDTOWER, "V4.1.0", true, "CloudTower/4.1.0", true},
        {Version::CLOUDTOWER, "x4.1.0", true, "CloudTower/4.1.0", true},
        {Version::CLOUDTOWER, " 3.0.0", true, "CloudTower/3.0.0", true},
        {Version::CLOUDTOWER, "-2.8.0", true, "CloudTower/2.8.0", false},
        {Version::CLOUDTOWER, "3.0.0", true, "CloudTower/3.0.0", true},
        {Version::CLOUDTOWER, "3.0", true, "CloudTower/3.0", true},
        {Version::CLOUDTOWER, "10.0.0", true, "CloudTower/10.0.0", true},
        {Version::CLOUDTOWER, "2.8.9", true, "CloudTower/2.8.9", false},
        {Version::FISHEYE, "9.9.9", true, "FishEye/9.9.9", false},
        // Only one leading character is skipped.
        {Version::CLOUDTOWER, "vv4.1.0", false, "", false},
        {Version::CLOUDTOWER, "V\"4.1.0", false, "", false},
        {Version::CLOUDTOWER, "\"", false, "", false},
        // A version without a platform is empty whatever its number.
        {Version::NONE, "4.0.0", true, "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        Version v;
        EXPECT_EQ(v.parse(row.platform, row.text), row.parsed);
        EXPECT_EQ(v.platform, row.platform);  // set even when the number does not parse
        EXPECT_EQ(v.str(), row.str);
        EXPECT_EQ(v.empty(), *row.str == '\0');
        EXPECT_EQ(v.supported(), row.supported);
    }
}

TEST(Version, EmptyTextFailsAndChangesNothing) {
    Version v(Version::FISHEYE, "5.0.1");
    Log_Capture log;
    EXPECT_FALSE(v.parse(Version::CLOUDTOWER, ""));
    EXPECT_EQ(v.str(), "FishEye/5.0.1");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].priority, LM_ERROR);
    EXPECT_EQ(log.lines()[0].text, "Failed to parse version, details: empty string.\n");
}

TEST(Version, LoadsAStringWithTheCurrentPlatform) {
    Version v;
    v.platform = Version::FISHEYE;
    ASSERT_TRUE(v.load(json_spirit::Value("\"6.2.0\"")));
    EXPECT_EQ(v.str(), "FishEye/6.2.0");

    for (const json_spirit::Value& value :
         {json_spirit::Value(3), json_spirit::Value(), json_spirit::Value(json_spirit::Object())}) {
        Version other;
        other.platform = Version::CLOUDTOWER;
        Log_Capture log;
        EXPECT_FALSE(other.load(value));
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].text.rfind("Failed to parse version, details: ", 0), 0u)
            << log.lines()[0].text;
        EXPECT_TRUE(other.empty());
    }
}
