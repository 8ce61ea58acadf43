// The one table of what a brand decides, and the designed rules that pick a
// row from the build's BrandVariant (window/BuildConfig.h).
#pragma once

#include "brand/BrandNames.h"

namespace brand {

// The application's name as the program entry sets it, before start-up
// replaces the title by the brand's. The same for every brand.
inline constexpr char kApplicationName[] = LOADER_APPLICATION_NAME;

struct Brand {
    const char* versionText;       // the version label; behind the prefix, the title
    const char* titlePrefix;       // ends with a blank
    const char* settingsFileName;  // in the start directory
    const char* name;              // the maker's name, as the update history records it
    const char* models;            // "QT510x/QT520x": the meters, as sentences name them
};

// Row 0: the shipped brand; row 1: the second brand with its own model names.
inline constexpr Brand kBrands[] = {
    {LOADER_BRAND0_VERSION_TEXT, LOADER_BRAND0_TITLE_PREFIX, LOADER_BRAND0_SETTINGS_FILE, LOADER_BRAND0_MAKER,
     LOADER_BRAND0_MODELS_IN_TEXT},
    {LOADER_BRAND1_VERSION_TEXT, LOADER_BRAND1_TITLE_PREFIX, LOADER_BRAND1_SETTINGS_FILE, LOADER_BRAND1_MAKER,
     LOADER_BRAND1_MODELS_IN_TEXT},
};

// As designed, the two rules differ for a variant other than 0 and 1:
// start-up tests for equality with 1 (version text and title) ...
inline constexpr const Brand& ForStartUp(int brandVariant) { return kBrands[brandVariant == 1 ? 1 : 0]; }
// ... while the settings file's name is chosen by whether it is non-zero.
inline constexpr const Brand& ForSettingsFile(int brandVariant) { return kBrands[brandVariant != 0 ? 1 : 0]; }

}  // namespace brand
