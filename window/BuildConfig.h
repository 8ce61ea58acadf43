// What is fixed when the program is built. Each executable links the one
// small library that defines these for its configuration (config_main,
// config_brand1, ...; window/CMakeLists.txt), whichever window it draws.
#pragma once

#include <cstdint>

namespace window {

// 0: the shipped brand; 1: the second brand with its own model names. What
// a brand decides is the table in brand/Brand.h.
extern const uint8_t BrandVariant;
// A developer build leaves the image export's controls visible.
extern const bool DeveloperControls;

}  // namespace window
