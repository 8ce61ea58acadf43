// A whole firmware image as the update takes it: a view of its bytes, with
// nothing of the formats or of the image compiled in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/Constants.h"

namespace image {

// The whole flash: image byte A is the content of flash address A.
inline constexpr std::size_t kImageSize = protocol::kFlashSize;

using ImageView = std::span<const uint8_t, kImageSize>;

}  // namespace image
