// The tool's one persisted setting: the last IP address, in a profile file in
// the working directory the program was started from.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "settings/ProfileFile.h"

namespace settings {

inline constexpr char kSection[] = "boot";
inline constexpr char kAddressEntry[] = "ipaddress";
inline constexpr char kDefaultAddress[] = "0.0.0.0";
// Where each run writes its support trace; absent or empty: nowhere. Set by
// hand when support asks for traces; the window never writes it.
inline constexpr char kTraceFolderEntry[] = "tracefolder";
// Longer values are read cut to this many characters.
inline constexpr std::size_t kMaxValueChars = 2047;

// The file of a brand variant in `appDir` (brand/Brand.h: any variant but 0 is the second brand's).
std::string SettingsFileName(const std::string& appDir, int brandVariant);

struct LoadedSettings {
    // One "name=value" line per entry of the section, in file order; the
    // address entry is set to the default when it is missing or empty.
    std::vector<std::string> lines;
    std::string address;
    std::string traceFolder;
};

// Never writes and never fails: whatever cannot be read gives the default address.
LoadedSettings LoadSettings(const std::string& fileName);

// Stores the address as given; throws WriteError.
void SaveSettings(const std::string& fileName, const std::string& address);

}  // namespace settings
