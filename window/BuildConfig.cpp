#include "window/BuildConfig.h"

namespace window {

const uint8_t BrandVariant = LOADER_BRAND_VARIANT;
const bool DeveloperControls = LOADER_DEVELOPER_CONTROLS != 0;

}  // namespace window
