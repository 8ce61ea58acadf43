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

}  // namespace image
