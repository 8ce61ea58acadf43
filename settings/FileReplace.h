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
// renames it over `target` (platform::ReplaceFile). A file that was there
// keeps its permissions (on Windows its attributes and security). On failure
// nothing is left behind and `target` is untouched; returns false.
// A `target` that the platform does not let this process write (a read-only
// file; on Windows the read-only attribute) is a failure, though the
// directory would allow the rename. A file with more than one hard link is
// rewritten in place instead, so that its other names see the new content:
// its space is reserved first, so a full disk still leaves it untouched, but
// an I/O error part-way can leave it partly written. So is a writable file in
// a folder where no new file can be created beside it.
bool ReplaceWholeFile(const std::filesystem::path& target, const std::string& data);

}  // namespace settings
