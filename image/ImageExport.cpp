#include "image/ImageExport.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/File.h"

namespace image {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kOpening = "FlashImageARM : array [1..$80000] of byte = (";
constexpr std::string_view kClosing = ");";
constexpr std::size_t kBytesPerLine = 16;
constexpr std::size_t kDataLines = kImageSize / kBytesPerLine;

// "0," to "255,": every number is followed by a comma except the very last,
// so the digits and the comma are copied as one and the one comma too many
// is taken back at the end.
struct Decimal {
    char text[4];
    uint8_t size;  // digits plus the comma
};

constexpr std::array<Decimal, 256> MakeDecimals() {
    std::array<Decimal, 256> t{};
    for (int v = 0; v < 256; ++v) {
        Decimal& d = t[v];
        int n = 0;
        if (v >= 100) d.text[n++] = static_cast<char>('0' + v / 100);
        if (v >= 10) d.text[n++] = static_cast<char>('0' + v / 10 % 10);
        d.text[n++] = static_cast<char>('0' + v % 10);
        d.text[n++] = ',';
        d.size = static_cast<uint8_t>(n);
    }
    return t;
}

constexpr std::array<Decimal, 256> kDecimals = MakeDecimals();

void Append(char*& p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
}

}  // namespace

std::string InOutErrorText(int code) {
    switch (code) {
        case 2: return "File not found";
        case 3: return "Invalid filename";
        case 4: return "Too many open files";
        case 5: return "File access denied";
        case 100: return "Read beyond end of file";
        case 101: return "Disk full";
        case 106: return "Invalid numeric input";
        default: return "I/O error " + std::to_string(code);
    }
}

EInOutError InOutErrorFrom(const platform::FileStatus& status) {
    int code;
    switch (status.fault) {
        case platform::FileFault::NotFound: code = 2; break;
        case platform::FileFault::BadPath: code = 3; break;
        case platform::FileFault::TooManyOpen: code = 4; break;
        case platform::FileFault::Denied: code = 5; break;
        case platform::FileFault::DiskFull: code = 101; break;
        default:
            // Named by its own number: EIO (5) must not read as "File access
            // denied", nor 101 from Windows as a full disk.
            return EInOutError(static_cast<int>(status.code), "I/O error " + std::to_string(status.code));
    }
    return EInOutError(code, InOutErrorText(code));
}

EInOutError InOutErrorFromErrno(int err) { return InOutErrorFrom(platform::FileStatusFromErrno(err)); }

EInOutError InOutErrorFromWinError(unsigned long err) {
    return InOutErrorFrom(platform::FileStatusFromWindowsError(err));
}

std::string FormatDeclaration(std::string_view headerText, ImageView img) {
    std::string header(headerText.substr(0, headerText.find('\0')));
    std::replace_if(
        header.begin(), header.end(), [](char c) { return c == '\r' || c == '\n'; }, '?');
    const std::string stars = "// " + std::string(61, '*');

    // Room for every number at its widest; the string is cut to what was used.
    std::string out;
    out.resize(3 * (stars.size() + 2) + header.size() + 2 + kOpening.size() + 2 + kImageSize * 4 + kDataLines * 2 +
               kClosing.size() + 4);
    char* p = out.data();
    Append(p, stars);
    Append(p, kCrLf);
    Append(p, "// ");
    Append(p, header);
    Append(p, kCrLf);
    Append(p, stars);
    Append(p, kCrLf);
    Append(p, kCrLf);
    Append(p, kOpening);
    Append(p, kCrLf);

    const uint8_t* b = img.data();
    for (std::size_t line = 0; line < kDataLines; ++line) {
        for (std::size_t i = 0; i < kBytesPerLine; ++i) {
            const Decimal& d = kDecimals[*b++];
            std::memcpy(p, d.text, 4);
            p += d.size;
        }
        // Every line but the last keeps its trailing comma.
        if (line + 1 == kDataLines) --p;
        Append(p, kCrLf);
    }
    Append(p, kClosing);
    Append(p, kCrLf);
    Append(p, kCrLf);
    out.resize(static_cast<std::size_t>(p - out.data()));
    return out;
}

void WriteExportFile(const std::string& fileName, std::string_view content) {
    platform::OutputFile file;
    if (const platform::FileStatus opened =
            file.Open(platform::PathFromNativeName(fileName), platform::OutputFile::Mode::Replace);
        !opened.Ok())
        throw InOutErrorFrom(opened);
    if (const platform::FileStatus written = file.Write(content); !written.Ok()) {
        file.Close();
        throw InOutErrorFrom(written);
    }
    if (const platform::FileStatus closed = file.Close(); !closed.Ok()) throw InOutErrorFrom(closed);
}

void ExportImage(const std::string& fileName, const std::string& headerText, ImageView img) {
    // Formatted before the file is touched: an image that cannot be formatted
    // leaves an earlier export as it was.
    WriteExportFile(fileName, FormatDeclaration(headerText, img));
}

}  // namespace image
