#include "ImageExport.h"

namespace image {

void ExportImage(const std::string&, const std::string&, ImageView) {
    throw EInOutError(0, "image export is not part of this build yet");
}

}  // namespace image
