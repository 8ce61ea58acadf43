// SHA-256 of a firmware image, for the update report: which firmware went
// onto a meter, in a form anyone can check with a standard tool.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace image {

// Lower-case hex, 64 characters.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace image
