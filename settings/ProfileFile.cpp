#include "settings/ProfileFile.h"

#include <algorithm>
#include <optional>

#include "platform/File.h"
#include "settings/FileReplace.h"
#include "platform/System.h"

// Byte-transparent: names and values are taken and given as the file holds them.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace settings {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kBlanksAndBreaks = " \t\r\n";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trimmed(std::string_view s) {
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::vector<ProfileEntry> ParseProfileSection(const std::string& data, const std::string& section) {
    CSimpleIniA ini;
    if (ini.LoadData(data.data(), data.size()) < 0) return {};
    CSimpleIniA::TNamesDepend keys;
    ini.GetAllKeys(section.c_str(), keys);
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    std::vector<ProfileEntry> entries;
    for (const auto& k : keys) entries.push_back({k.pItem, ini.GetValue(section.c_str(), k.pItem, "")});
    return entries;
}

namespace {

// Where an entry's value sits in the file, or where a new entry would go, as
// the reader above sees the file.
struct Layout {
    size_t bodyStart = 0;                               // after a byte-order mark
    size_t end = 0;                                     // the reader stops at the first zero byte
    std::string lineEnd;                                // the file's own, or the platform's for a file without one
    std::optional<std::pair<size_t, size_t>> value;     // of the entry's last occurrence
    std::optional<std::pair<size_t, size_t>> lastLine;  // content end and next line's start: the last
                                                        // entry (or the header) of the section's first occurrence
    std::optional<size_t> openHeader;                   // a "[" with nothing but blanks and line ends after it
};

// The text's own line end: that of its first line, or the platform's when it has none.
std::string LineEndOf(std::string_view text) {
    const size_t firstBreak = text.find_first_of("\r\n");
    if (firstBreak == std::string_view::npos) return std::string(platform::kLineEnd);
    if (text.substr(firstBreak, 2) == "\r\n") return "\r\n";
    return std::string(text.substr(firstBreak, 1));
}

// The end of the line `at` is in, and the next line's start.
std::pair<size_t, size_t> LineEndAfter(std::string_view text, size_t at) {
    const size_t contentEnd = std::min(text.find_first_of("\r\n", at), text.size());
    size_t next = contentEnd;
    if (next < text.size()) next += text.substr(next, 2) == "\r\n" ? 2 : 1;
    return {contentEnd, next};
}

Layout Locate(const std::string& data, const std::string& section, const std::string& key) {
    Layout l;
    l.bodyStart = data.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    l.end = std::min(data.find('\0'), data.size());
    const std::string_view text(data.data(), l.end);
    l.lineEnd = LineEndOf(text);

    bool inSection = false;  // inside any occurrence of the section
    bool inFirst = false;    // inside its first occurrence
    bool seen = false;
    for (size_t pos = l.bodyStart; pos < l.end;) {
        const auto [contentEnd, next] = LineEndAfter(text, pos);
        const std::string_view line = text.substr(pos, contentEnd - pos);
        const size_t lineStart = pos;
        pos = next;

        const size_t p = line.find_first_not_of(kBlanks);
        if (p == std::string_view::npos || line[p] == ';' || line[p] == '#') continue;
        if (line[p] == '[') {
            // The reader skips blanks and line ends after "[": the name may
            // start lines later, and the header ends with the line of its "]".
            const size_t nameStart = text.find_first_not_of(kBlanksAndBreaks, lineStart + p + 1);
            if (nameStart == std::string_view::npos) {
                l.openHeader = lineStart + p;  // the text ends inside it
                break;
            }
            const size_t stop = std::min(text.find_first_of("]\r\n", nameStart), l.end);
            const auto [headerEnd, afterHeader] = LineEndAfter(text, stop);
            pos = afterHeader;
            // A header without "]" is no header of ours, but it ends the section all the same.
            inSection = stop < l.end && text[stop] == ']' &&
                        SameName(Trimmed(text.substr(nameStart, stop - nameStart)), section);
            inFirst = inSection && !seen;
            if (inFirst) {
                seen = true;
                l.lastLine = {headerEnd, afterHeader};
            }
            continue;
        }
        const size_t eq = line.find('=', p);
        if (eq == std::string_view::npos || eq == p || !inSection) continue;
        if (inFirst) l.lastLine = {contentEnd, next};
        if (!SameName(Trimmed(line.substr(p, eq - p)), key)) continue;
        const size_t valueStart = std::min(line.find_first_not_of(kBlanks, eq + 1), line.size());
        const size_t valueEnd = std::max(line.find_last_not_of(kBlanks) + 1, valueStart);
        l.value = {lineStart + valueStart, lineStart + valueEnd};
    }
    return l;
}

}  // namespace

std::string EditProfile(std::string data, const std::string& section, const std::string& key,
                        const std::string& value) {
    const Layout l = Locate(data, section, key);
    const std::string entry = key + "=" + value;
    if (l.value) {
        data.replace(l.value->first, l.value->second - l.value->first, value);
    } else if (l.lastLine) {
        const auto [contentEnd, next] = *l.lastLine;
        if (next > contentEnd)
            data.insert(next, entry + l.lineEnd);
        else
            data.insert(contentEnd, l.lineEnd + entry);  // the line had no line end; neither will the new one
    } else {
        std::string block = "[" + section + "]" + l.lineEnd + entry + l.lineEnd;
        if (l.openHeader) {
            // After a "[" that the text leaves open the reader would take the
            // new header for its name: the new section goes before it.
            data.insert(*l.openHeader, block);
        } else {
            if (l.end > l.bodyStart && data[l.end - 1] != '\n' && data[l.end - 1] != '\r') block.insert(0, l.lineEnd);
            data.insert(l.end, block);
        }
    }
    return data;
}

bool SameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsUtf16(std::string_view data) {
    if (data.starts_with("\xFF\xFE") || data.starts_with("\xFE\xFF")) return true;
    return data.size() >= 2 && (data[0] == '\0' || data[1] == '\0');
}

WriteError::WriteError(const std::string& fileName) : std::runtime_error("Unable to write to " + fileName) {}

std::vector<ProfileEntry> ReadProfileSection(const std::string& fileName, const std::string& section) {
    try {
        std::string data;
        if (ReadWholeFile(platform::PathFromNativeName(fileName), data) != ReadResult::Read) return {};
        return ParseProfileSection(data, section);
    } catch (const std::exception&) {
        return {};  // out of memory on a huge file: as unreadable
    }
}

void WriteProfileString(const std::string& fileName, const std::string& section, const std::string& key,
                        const std::string& value) {
    const std::string oneLine = value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
    std::string old;
    // What cannot be read cannot be kept; rather than lose it, write nothing.
    const std::filesystem::path path = platform::PathFromNativeName(fileName);
    if (ReadWholeFile(path, old) == ReadResult::Failed || IsUtf16(old)) throw WriteError(fileName);
    const std::string data = EditProfile(std::move(old), section, key, oneLine);

    // The edit follows the reader's rules; should some odd file still read
    // back differently, the old file is worth more than a wrong new one.
    bool readsBack = false;
    for (const ProfileEntry& e : ParseProfileSection(data, section))
        if (SameName(e.name, key)) readsBack = e.value == Trimmed(oneLine);
    if (!readsBack || !ReplaceWholeFile(path, data)) throw WriteError(fileName);
}

}  // namespace settings
