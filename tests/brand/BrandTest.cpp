// The brand table and the two designed rules that read it.
#include <gtest/gtest.h>

#include <string>

#include "brand/Brand.h"

namespace {

TEST(Brand, TheShippedBuildSaysWhatTheDesignSays) {
    const std::string version = PROJECT_VERSION_TEXT;
    EXPECT_EQ(brand::ForStartUp(0).versionText, "QT510x, QT520x - Ethernet Firmware Version " + version);
    EXPECT_EQ(brand::ForStartUp(1).versionText, "LRV715, LRV716 - Ethernet Firmware Version " + version);
    EXPECT_STREQ(brand::ForStartUp(0).titlePrefix, "VELTRONA | ");
    EXPECT_STREQ(brand::ForStartUp(1).titlePrefix, "KORVAN | ");
    EXPECT_STREQ(brand::ForSettingsFile(0).settingsFileName, "QT510x_QT520x_Ethernet_Loader.ini");
    EXPECT_STREQ(brand::ForSettingsFile(1).settingsFileName, "LRV715_LRV716_Ethernet_Loader.ini");
    EXPECT_STREQ(brand::kApplicationName, "QT510x QT520x Ethernet Loader");
    EXPECT_STREQ(brand::kBrands[0].models, "QT510x/QT520x");
    EXPECT_STREQ(brand::kBrands[1].models, "LRV715/LRV716");
    for (const brand::Brand& b : brand::kBrands) EXPECT_EQ(std::string(b.titlePrefix), std::string(b.name) + " | ");
}

// Start-up tests the variant for equality with 1, the settings file name for
// non-zero: a variant other than 0 and 1 shows the shipped brand's texts and
// uses the second brand's file.
TEST(Brand, TheTwoRulesDifferBeyondOne) {
    for (int variant : {0, 1, 2, 7, 255}) {
        EXPECT_EQ(&brand::ForStartUp(variant), &brand::kBrands[variant == 1]) << variant;
        EXPECT_EQ(&brand::ForSettingsFile(variant), &brand::kBrands[variant != 0]) << variant;
    }
}

}  // namespace
