// Writes the compiled-in image out as the source declaration a build takes in.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/File.h"
#include "image/FlashImage.h"

namespace image {

// A failed create, write or close of the export file; the message names the
// failure by its code ("File access denied", "Disk full", "I/O error 27" ...).
class EInOutError : public std::runtime_error {
public:
    EInOutError(int code, const std::string& message) : std::runtime_error(message), ErrorCode(code) {}
    int ErrorCode;
};

// The text of a text-file layer error code: "File not found" for 2, ...,
// "I/O error <code>" for a code without a name of its own.
std::string InOutErrorText(int code);

// The error for a failed file call, by what went wrong: the system's
// numbers for a missing file (2), a missing folder (3), too many open files
// (4) and denied access (5) are those of the same meaning; a full disk is
// "Disk full" (101); anything else keeps the system's own number.
EInOutError InOutErrorFrom(const platform::FileStatus& status);

// The error for a failed system call, by what the system's error number means:
// a missing directory is "File not found", a read-only file system "File
// access denied", a full one "Disk full"; any other number keeps its value
// ("I/O error <errno>").
EInOutError InOutErrorFromErrno(int err);

// The same for a Windows error code (GetLastError): Windows' own numbers
// for a missing file (2), a missing folder (3), too many open files (4) and
// denied access (5) are those of the same meaning; a full disk is "Disk full"
// (101); any other code keeps its value ("I/O error 32").
EInOutError InOutErrorFromWinError(unsigned long err);

// The exact bytes of the export file: four header lines (headerText after
// "// " on the second), the declaration of all kImageSize bytes, 16 to a
// line in ascending address order, CR LF after every line. A line end or
// zero byte in headerText must not end the comment early, so the text ends
// at a zero byte and line-end characters become "?".
std::string FormatDeclaration(std::string_view headerText, ImageView img);

// Creates or replaces fileName and writes content to it. Throws EInOutError;
// whatever reached the file before a failure stays there, and the file is
// closed either way.
void WriteExportFile(const std::string& fileName, std::string_view content);

// Creates or replaces fileName (relative names land in the working directory
// current now) with the declaration of the whole image; headerText follows
// "// " on the second line. Throws EInOutError; the file is closed either way.
void ExportImage(const std::string& fileName, const std::string& headerText, ImageView img);

}  // namespace image
