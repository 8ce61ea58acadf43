#include "settings/Settings.h"

#include <algorithm>

#include "brand/Brand.h"
#include "platform/System.h"

namespace settings {

namespace {

// Cuts after `max` characters, counting a UTF-8 sequence as one character, so
// that no sequence is split.
std::string CutToChars(const std::string& s, std::size_t max) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
        if (!continuation && chars++ == max) return s.substr(0, i);
    }
    return s;
}

bool IsEntryLine(const std::string& line, std::string_view name) {
    const std::size_t eq = line.find('=');
    return eq != std::string::npos && SameName(std::string_view(line).substr(0, eq), name);
}

}  // namespace

std::string SettingsFileName(const std::string& appDir, int brandVariant) {
    return appDir + platform::kPathSeparator + brand::ForSettingsFile(brandVariant).settingsFileName;
}

LoadedSettings LoadSettings(const std::string& fileName) {
    LoadedSettings s;
    for (const ProfileEntry& e : ReadProfileSection(fileName, kSection))
        s.lines.push_back(e.name + "=" + CutToChars(e.value, kMaxValueChars));

    const auto found = std::find_if(s.lines.begin(), s.lines.end(),
                                    [](const std::string& l) { return IsEntryLine(l, kAddressEntry); });
    if (found != s.lines.end()) s.address = found->substr(found->find('=') + 1);
    for (const std::string& l : s.lines)
        if (IsEntryLine(l, kTraceFolderEntry)) s.traceFolder = l.substr(l.find('=') + 1);
    if (s.address.empty()) {
        const std::string line = std::string(kAddressEntry) + "=" + kDefaultAddress;
        if (found != s.lines.end())
            *found = line;
        else
            s.lines.push_back(line);
        s.address = kDefaultAddress;
    }
    return s;
}

void SaveSettings(const std::string& fileName, const std::string& address) {
    WriteProfileString(fileName, kSection, kAddressEntry, address);
}

}  // namespace settings
