// The firmware compiled into the tool, and what belongs with it.
#pragma once

#include <cstdint>
#include <span>

#include "ImageFormats.h"

// Image byte A is the content of flash address A, for A from 0x00000 to 0x7FFFF.
extern const uint8_t FlashImageARM[image::kImageSize];

namespace image {

using ImageView = std::span<const uint8_t, kImageSize>;

inline ImageView EmbeddedImage() { return ImageView(FlashImageARM, kImageSize); }

// Brand variant 1 names its models differently; every other value is the shipped brand.
inline const char* VersionText(int brandVariant) {
    return brandVariant == 1 ? "LRV715, LRV716 - Ethernet Firmware Version 1.13"
                             : "QT510x, QT520x - Ethernet Firmware Version 1.13";
}

}  // namespace image
