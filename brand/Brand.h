// The one table of what a brand decides, and the designed rules that pick a
// row from the build's BrandVariant (window/BuildConfig.h).
#pragma once

#include "brand/BrandNames.h"
#include "brand/LoaderVersion.h"

namespace brand {

// The application's name as the program entry sets it, before start-up
// replaces the title by the brand's. The same for every brand.
inline constexpr char kApplicationName[] = "QT510x QT520x Ethernet Loader";

struct Brand {
    const char* versionText;       // the version label; behind the prefix, the title
    const char* titlePrefix;       // ends with a blank
    const char* settingsFileName;  // in the start directory
    const char* name;              // the maker's name, as the update history records it
};

// Row 0: the shipped brand; row 1: the second brand with its own model names.
inline constexpr Brand kBrands[] = {
    {LOADER_BRAND0_MODELS " - Ethernet Firmware Version " LOADER_VERSION, LOADER_BRAND0_MAKER " | ",
     "QT510x_QT520x_Ethernet_Loader.ini", LOADER_BRAND0_MAKER},
    {LOADER_BRAND1_MODELS " - Ethernet Firmware Version " LOADER_VERSION, LOADER_BRAND1_MAKER " | ",
     "LRV715_LRV716_Ethernet_Loader.ini", LOADER_BRAND1_MAKER},
};

// As designed, the two rules differ for a variant other than 0 and 1:
// start-up tests for equality with 1 (version text and title) ...
inline constexpr const Brand& ForStartUp(int brandVariant) { return kBrands[brandVariant == 1 ? 1 : 0]; }
// ... while the settings file's name is chosen by whether it is non-zero.
inline constexpr const Brand& ForSettingsFile(int brandVariant) { return kBrands[brandVariant != 0 ? 1 : 0]; }

}  // namespace brand
