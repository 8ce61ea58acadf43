#include "ImageExport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace image {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kOpening = "FlashImageARM : array [1..$80000] of byte = (";
constexpr std::string_view kClosing = ");";
constexpr std::size_t kBytesPerLine = 16;
constexpr std::size_t kDataLines = kImageSize / kBytesPerLine;
// Large enough that the 2 MB file takes a handful of system calls, small
// enough that a full disk still keeps nearly all that fitted.
constexpr std::size_t kWriteChunk = 256 * 1024;

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

#ifndef _WIN32
int OpenReplacing(const std::string& name) {
    int fd;
    do fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}
long long WriteSome(int fd, const char* p, std::size_t n) { return ::write(fd, p, n); }
int CloseFile(int fd) { return ::close(fd); }
#endif

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

EInOutError InOutErrorFromErrno(int err) {
    int code;
    switch (err) {
        case ENOENT: code = 2; break;
        case ENOTDIR: code = 3; break;
        case EMFILE:
        case ENFILE: code = 4; break;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:  // a directory in the file's place: the designed platform denies access
            code = 5;
            break;
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            code = 101;
            break;
        default:
            // Named by its own number: EIO (5) must not read as "File access denied".
            return EInOutError(err, "I/O error " + std::to_string(err));
    }
    return EInOutError(code, InOutErrorText(code));
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

EInOutError InOutErrorFromWinError(unsigned long err) {
    switch (err) {
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND
        case 4:  // ERROR_TOO_MANY_OPEN_FILES
        case 5:  // ERROR_ACCESS_DENIED
            return EInOutError(static_cast<int>(err), InOutErrorText(static_cast<int>(err)));
        case 39:   // ERROR_HANDLE_DISK_FULL
        case 112:  // ERROR_DISK_FULL
            return EInOutError(101, InOutErrorText(101));
        default:
            // Named by its own number: 101 from Windows is no full disk.
            return EInOutError(static_cast<int>(err), "I/O error " + std::to_string(err));
    }
}

#ifdef _WIN32
void WriteExportFile(const std::string& fileName, std::string_view content) {
    // Others may read the file while it is being written, but not write it.
    const HANDLE file = CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw InOutErrorFromWinError(GetLastError());
    while (!content.empty()) {
        DWORD written = 0;
        const BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(std::min(content.size(), kWriteChunk)),
                                  &written, nullptr);
        if (!ok || written == 0) {
            // A write that takes nothing without an error has still run out of room.
            const DWORD err = ok ? ERROR_DISK_FULL : GetLastError();
            CloseHandle(file);
            throw InOutErrorFromWinError(err);
        }
        content.remove_prefix(written);
    }
    if (!CloseHandle(file)) throw InOutErrorFromWinError(GetLastError());
}
#else
void WriteExportFile(const std::string& fileName, std::string_view content) {
    const int fd = OpenReplacing(fileName);
    if (fd < 0) throw InOutErrorFromErrno(errno);
    while (!content.empty()) {
        const long long n = WriteSome(fd, content.data(), std::min(content.size(), kWriteChunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that takes nothing without an error has still run out of room.
            const int err = n < 0 ? errno : ENOSPC;
            CloseFile(fd);
            throw InOutErrorFromErrno(err);
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    // Some file systems report a full disk or a lost write only here. An
    // interrupted close has still released the descriptor.
    if (CloseFile(fd) != 0 && errno != EINTR) throw InOutErrorFromErrno(errno);
}
#endif

void ExportImage(const std::string& fileName, const std::string& headerText, ImageView img) {
    // Formatted before the file is touched: an image that cannot be formatted
    // leaves an earlier export as it was.
    WriteExportFile(fileName, FormatDeclaration(headerText, img));
}

}  // namespace image
