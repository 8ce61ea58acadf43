// Reading and replacing whole small files.
#pragma once

#include <filesystem>
#include <string>

namespace settings {

enum class ReadResult { Missing, Read, Failed };

// Reads a regular file whole. Anything but a regular file (a directory, a
// device, a pipe) counts as Failed, so that reading can never block.
ReadResult ReadWholeFile(const std::filesystem::path& path, std::string& out);

// Writes `data` to a new file beside `target`, flushes it to the disk and
// renames it over `target`. A file that was there keeps its permissions. On
// failure nothing is left behind and `target` is untouched; returns false.
bool ReplaceFile(const std::filesystem::path& target, const std::string& data);

}  // namespace settings
