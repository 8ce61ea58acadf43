// The firmware compiled into the tool, and what belongs with it.
#pragma once

#include <cstdint>
#include <string>

#include "image/ImageView.h"
#include "image/Sha256.h"

// Image byte A is the content of flash address A, for A from 0x00000 to 0x7FFFF.
extern const uint8_t FlashImageARM[image::kImageSize];
// Its SHA-256 in lower-case hex, made when it was compiled in.
extern const char FlashImageARMSha256[65];

namespace image {

inline ImageView EmbeddedImage() { return ImageView(FlashImageARM, kImageSize); }

// The compiled-in image's hash is known already; any other image is hashed now.
inline std::string ImageSha256Hex(ImageView img) {
    return img.data() == FlashImageARM ? std::string(FlashImageARMSha256) : Sha256Hex(img);
}

}  // namespace image
