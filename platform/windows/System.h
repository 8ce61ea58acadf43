// What the system's conventions are, for the files the tool writes.
#pragma once

#include <string_view>

namespace platform {

inline constexpr char kPathSeparator = '\\';
// The line end of a text file the tool starts.
inline constexpr std::string_view kLineEnd = "\r\n";

}  // namespace platform
