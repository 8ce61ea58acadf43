// Profile (INI) files: read the entries of one section, write one entry.
//
// Reading follows SimpleIni's rules: a "[name]" line opens a section (blanks
// and line ends between "[" and the name are skipped, so a header may span
// lines), a
// "name=value" line is an entry, lines starting with ";" or "#" are comments,
// blanks and tabs around names and values are dropped, section and entry names
// are compared without regard to ASCII letter case, a section that appears
// twice is one section and a name repeated within it keeps its last value.
// Reading stops at a zero byte.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

// A value could not be written. The file as it was before stays in place.
class WriteError : public std::runtime_error {
public:
    explicit WriteError(const std::string& fileName);
};

// Section and entry names compare equal like this: ASCII letters without
// regard to case, all other bytes exactly.
bool SameName(std::string_view a, std::string_view b);

struct ProfileEntry {
    std::string name;  // as spelled in the file (the first spelling, if repeated)
    std::string value;
};

// The entries of `section` in file order. A missing or unreadable file, or one
// without that section, gives none; this never throws.
std::vector<ProfileEntry> ReadProfileSection(const std::string& fileName, const std::string& section);

// Sets `key` of `section` to `value`, creating the file, the section or the
// entry as needed. Only the characters of the old value change; every other
// byte of the file, line ends included, stays as it was. A value ends at its
// first line break or zero byte: one line holds one value. The file is
// replaced as a whole, so a failure part-way leaves the old one intact. A
// UTF-16 file is left as it is.
// Throws WriteError.
void WriteProfileString(const std::string& fileName, const std::string& section, const std::string& key,
                        const std::string& value);

// Whether a file's content is UTF-16 text (a byte order mark, or a zero byte
// in the first character): its lines hold two bytes per character, which an
// edit of single bytes would only damage.
bool IsUtf16(std::string_view data);

// The two operations on a file's content in memory (the fuzzer's way in).
// ReadProfileSection without the file: never throws but for lack of memory.
std::vector<ProfileEntry> ParseProfileSection(const std::string& data, const std::string& section);
// The content after setting `key` of `section` to `value`, which holds no
// line break or zero byte, without WriteProfileString's check that it reads back.
std::string EditProfile(std::string data, const std::string& section, const std::string& key, const std::string& value);

}  // namespace settings
