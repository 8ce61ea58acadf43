// Reading and replacing whole small files.
#pragma once

#include <filesystem>
#include <string>

namespace settings {

enum class ReadResult { Missing, Read, Failed };

// A file name in the narrow text the system's own file calls take (what
// QFile::encodeName gives): the ANSI code page on Windows, bytes as they are
// elsewhere.
std::filesystem::path PathFromNativeName(const std::string& name);

// Reads a regular file whole. Anything but a regular file (a directory, a
// device, a pipe) counts as Failed, so that reading can never block.
ReadResult ReadWholeFile(const std::filesystem::path& path, std::string& out);

// Writes `data` to a new file beside `target`, flushes it to the disk and
// renames it over `target`. A file that was there keeps its permissions (on
// Windows its attributes and security). On failure nothing is left behind
// and `target` is untouched; returns false.
bool ReplaceWholeFile(const std::filesystem::path& target, const std::string& data);

}  // namespace settings
