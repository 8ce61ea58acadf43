// Reading a firmware image from the files a build may be given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/ImageView.h"

namespace image {

struct ParseResult {
    bool ok = false;
    std::vector<uint8_t> bytes;  // as many bytes as the file gave, even when not ok
    std::string error;           // what was found, when not ok
};

// The source declaration the image export writes:
//   FlashImageARM : array [1..$80000] of byte = ( 255,255,... );
// Comments ("//", "{ }", "(* *)") and line breaks are ignored.
ParseResult ParseDeclaration(std::string_view text);

// Intel HEX (record types 00, 01, 02, 04; 03 and 05 ignored). Addresses not
// covered by a data record stay 0xFF, as in erased flash.
ParseResult ParseIntelHex(std::string_view text);

// Picks the format by content: a declaration when the text holds "array",
// Intel HEX when the first non-blank character is ':', raw binary otherwise.
// A text may begin with a UTF-8 byte order mark, as some editors save it.
// Succeeds only with exactly kImageSize bytes.
ParseResult ParseImageFile(std::string_view content);

// Why an image must not be sent to a meter, or empty. An update erases the
// application area and writes only what differs from 0xFF there: an image
// with nothing in that area would leave the meter without firmware yet count
// as a success, and data below it would be silently left out.
std::string UnwritableProblem(const std::vector<uint8_t>& image);

// The development image: 0xFF below 0x08000, firmware-like bytes (never 0xFF)
// from 0x08000 over about the first third of the application area, 0xFF tail.
std::vector<uint8_t> MakeDevelopmentImage();

// Where the development image's firmware ends (exclusive).
inline constexpr uint32_t kDevFirmwareEnd = protocol::kApplicationStart + 0x27D5C;

}  // namespace image
