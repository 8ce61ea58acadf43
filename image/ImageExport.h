// Writes the compiled-in image out as the source declaration a build takes in.
#pragma once

#include <stdexcept>
#include <string>

#include "FlashImage.h"

namespace image {

// A failed create, write or close of the export file; the message names the
// failure by its code ("File access denied", "Disk full", "I/O error 28" ...).
class EInOutError : public std::runtime_error {
public:
    EInOutError(int code, const std::string& message) : std::runtime_error(message), ErrorCode(code) {}
    int ErrorCode;
};

// Creates or replaces fileName (relative names land in the working directory
// current now) with the declaration of the whole image; headerText follows
// "// " on the second line. Throws EInOutError; the file is closed either way.
void ExportImage(const std::string& fileName, const std::string& headerText, ImageView img);

}  // namespace image
