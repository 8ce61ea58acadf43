// libFuzzer entry: the settings file's reader and its in-place writer, on
// whatever a file may hold. Input: one byte that picks the section and entry
// names, one byte n, n bytes of the value the operator left in the field,
// then the file's content. What is written must read back as the value
// given, the other entries of the section must read as before, and only the
// bytes of one line may change. A violated expectation traps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ProfileFile.h"
#include "settings/Settings.h"

namespace {

using settings::ProfileEntry;

void Expect(bool condition) {
    if (!condition) __builtin_trap();
}

std::string_view Trimmed(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::vector<ProfileEntry> Others(const std::vector<ProfileEntry>& entries, const std::string& key) {
    std::vector<ProfileEntry> out;
    for (const ProfileEntry& e : entries)
        if (!settings::SameName(e.name, key)) out.push_back(e);
    return out;
}

bool SameEntries(const std::vector<ProfileEntry>& a, const std::vector<ProfileEntry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ProfileEntry& x, const ProfileEntry& y) {
        return x.name == y.name && x.value == y.value;
    });
}

struct Names {
    const char* section;
    const char* key;
};
// The program's own names first; the others in other spellings and places.
constexpr Names kNames[] = {{"boot", "ipaddress"}, {"BOOT", "IpAddress"}, {"net", "x"}, {"a b", "c.d"}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Names& names = kNames[data[0] % 4];
    const size_t n = std::min<size_t>(data[1], size - 2);
    const std::string typed(reinterpret_cast<const char*>(data) + 2, n);
    const std::string file(reinterpret_cast<const char*>(data) + 2 + n, size - 2 - n);
    // WriteProfileString's rule: one line holds one value.
    const std::string value = typed.substr(0, typed.find_first_of(std::string_view("\r\n\0", 3)));

    const std::vector<ProfileEntry> before = settings::ParseProfileSection(file, names.section);
    const std::string written = settings::EditProfile(file, names.section, names.key, value);
    const std::vector<ProfileEntry> after = settings::ParseProfileSection(written, names.section);

    // Reads back as the value given (blanks around it are the reader's to drop).
    const auto found = std::find_if(after.begin(), after.end(),
                                    [&](const ProfileEntry& e) { return settings::SameName(e.name, names.key); });
    Expect(found != after.end());
    Expect(found->value == Trimmed(value));
    Expect(SameEntries(Others(before, names.key), Others(after, names.key)));

    // Outside one line, no byte changes: what the edit took out of the file
    // holds no line end, and an entry that was there keeps its line.
    size_t prefix = 0;
    while (prefix < file.size() && prefix < written.size() && file[prefix] == written[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < file.size() - prefix && suffix < written.size() - prefix &&
           file[file.size() - 1 - suffix] == written[written.size() - 1 - suffix])
        ++suffix;
    const std::string_view removed = std::string_view(file).substr(prefix, file.size() - prefix - suffix);
    const std::string_view inserted = std::string_view(written).substr(prefix, written.size() - prefix - suffix);
    Expect(removed.find_first_of("\r\n") == std::string_view::npos);
    if (!removed.empty()) Expect(inserted.find_first_of("\r\n") == std::string_view::npos);
    return 0;
}
