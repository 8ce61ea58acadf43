#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "image/FlashImage.h"
#include "image/ImageExport.h"
#include "image/ImageFormats.h"
#include "tests/support/TempDir.h"
#ifdef _WIN32
#include "tests/support/Wine.h"
#else
#include "tests/support/ScratchMount.h"
#endif

namespace fs = std::filesystem;
using image::kImageSize;

using testsupport::ReadBytes;
using testsupport::TempDir;
#ifndef _WIN32
using testsupport::ScratchFs;
#endif

namespace {

const std::string kStars = "// *************************************************************";

std::vector<uint8_t> Filled(uint8_t b) { return std::vector<uint8_t>(kImageSize, b); }

image::ImageView View(const std::vector<uint8_t>& v) { return image::ImageView(v.data(), kImageSize); }

// Splits at CR LF; a bare LF or CR inside a line stays in it, where a test sees it.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    for (std::size_t e; (e = text.find("\r\n", i)) != std::string::npos; i = e + 2)
        out.push_back(text.substr(i, e - i));
    if (i != text.size()) out.push_back(text.substr(i));  // an unterminated tail
    return out;
}

// Compares large byte strings without printing them whole.
template <typename A, typename B>
testing::AssertionResult SameBytes(const A& a, const B& b) {
    const std::size_t n = std::min<std::size_t>(a.size(), b.size());
    const auto diff = std::mismatch(a.begin(), a.begin() + n, b.begin(),
                                    [](auto x, auto y) { return static_cast<uint8_t>(x) == static_cast<uint8_t>(y); });
    const std::size_t at = static_cast<std::size_t>(diff.first - a.begin());
    if (at == n && a.size() == b.size()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size() << ", first difference at " << at;
}

std::string Joined(const std::vector<uint8_t>& img, std::size_t from) {
    std::string s;
    for (std::size_t a = from; a < from + 16; ++a) s += (a == from ? "" : ",") + std::to_string(img[a]);
    return s;
}

#ifdef _WIN32
// No other handle is open on the file: it can be opened without sharing.
bool NoHandleOpenOn(const fs::path& file) {
    const HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}
#else
// Descriptors of this process that point into dir.
std::vector<std::string> OpenFilesUnder(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = fs::read_symlink(e.path(), ec).string();
        if (!ec && target.rfind(dir.string(), 0) == 0) out.push_back(target);
    }
    return out;
}

std::size_t OpenFileCount() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}
#endif

}  // namespace

TEST(ExportFormat, FileSizeAndLinesFollowTheByteValues) {
    const struct {
        uint8_t fill;
        std::size_t bytes;
        const char* line;  // every data line but the last, without its line end
    } cases[] = {
        {0xFF, 2'162'879, "255,255,255,255,255,255,255,255,255,255,255,255,255,255,255,255,"},
        {0x00, 1'114'303, "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"},
    };
    for (const auto& c : cases) {
        const auto img = Filled(c.fill);
        const std::string text = image::FormatDeclaration("", View(img));
        EXPECT_EQ(text.size(), c.bytes) << int(c.fill);
        ASSERT_EQ(text.substr(text.size() - 6), ");\r\n\r\n") << "every line, the last included, ends with CR LF";
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 32'775);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 32'775);

        const auto lines = Lines(text);
        ASSERT_EQ(lines.size(), 32'775u);
        const std::vector<std::string> head(lines.begin(), lines.begin() + 5);
        EXPECT_EQ(head, (std::vector<std::string>{kStars, "// ", kStars, "",
                                                  "FlashImageARM : array [1..$80000] of byte = ("}));
        for (std::size_t n = 5; n < 32'772; ++n) ASSERT_EQ(lines[n], c.line) << "line " << n + 1;
        EXPECT_EQ(lines[32'772] + ",", c.line) << "the last data line alone has no trailing comma";
        EXPECT_EQ(lines[32'773], ");");
        EXPECT_EQ(lines[32'774], "");
    }
}

TEST(ExportFormat, DataLinesHoldTheBytesInAddressOrder) {
    // Every address gets a value its neighbours do not share, and every value
    // from 0 to 255 turns up, each written without leading zeros or blanks.
    std::vector<uint8_t> img(kImageSize);
    for (std::size_t a = 0; a < kImageSize; ++a) img[a] = static_cast<uint8_t>(a * 7 + (a >> 8));
    const auto lines = Lines(image::FormatDeclaration("", View(img)));
    ASSERT_EQ(lines.size(), 32'775u);
    EXPECT_EQ(lines[5], Joined(img, 0x00000) + ",");
    EXPECT_EQ(lines[6], Joined(img, 0x00010) + ",");
    EXPECT_EQ(lines[5 + 0x4000], Joined(img, 0x40000) + ",");
    EXPECT_EQ(lines[32'772], Joined(img, 0x7FFF0));
    EXPECT_EQ(lines[5], "0,7,14,21,28,35,42,49,56,63,70,77,84,91,98,105,");
    for (std::size_t n = 5; n < 32'772; ++n) ASSERT_EQ(lines[n].back(), ',') << "line " << n + 1;

    const auto back = image::ParseImageFile(image::FormatDeclaration("", View(img)));
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_TRUE(SameBytes(back.bytes, img));
}

TEST(ExportFormat, HeaderTextStaysInsideTheCommentAndTheImageReadsBack) {
    const auto dev = image::MakeDevelopmentImage();
    const struct {
        std::string header;
        std::string line2;
    } cases[] = {
        {"", "// "},
        {"/home/dev/fw/main.hex", "// /home/dev/fw/main.hex"},
        {"/home/dev/Für Zähler/fw.hex", "// /home/dev/Für Zähler/fw.hex"},
        // A file name may hold line ends; they would end the comment and
        // put the rest of the name into the declaration.
        {"/tmp/a\r\nFlashImageARM : array [1..$10] of byte = (1);\n//x",
         "// /tmp/a??FlashImageARM : array [1..$10] of byte = (1);?//x"},
        {"/tmp/b.hex\rend", "// /tmp/b.hex?end"},
        {std::string("/tmp/c.hex\0ignored", 18), "// /tmp/c.hex"},
    };
    for (const auto& c : cases) {
        const std::string text = image::FormatDeclaration(c.header, View(dev));
        const auto lines = Lines(text);
        ASSERT_EQ(lines.size(), 32'775u) << c.line2;
        EXPECT_EQ(lines[1], c.line2);
        const auto back = image::ParseImageFile(text);
        ASSERT_TRUE(back.ok) << c.line2 << ": " << back.error;
        EXPECT_TRUE(SameBytes(back.bytes, dev)) << c.line2;
    }
}

TEST(ExportFile, IsTheFormattedTextAndReplacesAnEarlierFileCompletely) {
    TempDir dir;
    const fs::path file = dir.path() / "Code_Image_Main_MCU.pas";
    // A longer file of the same name must not leave its tail behind.
    std::ofstream(file, std::ios::binary) << std::string(3'000'000, 'x');
    const auto dev = image::MakeDevelopmentImage();
    image::ExportImage(file.string(), "/fw/main.hex", View(dev));
    const std::string first = ReadBytes(file);
    EXPECT_TRUE(SameBytes(first, image::FormatDeclaration("/fw/main.hex", View(dev))));
    image::ExportImage(file.string(), "/fw/main.hex", View(dev));
    EXPECT_TRUE(SameBytes(ReadBytes(file), first));
#ifdef _WIN32
    EXPECT_TRUE(NoHandleOpenOn(file));
#else
    EXPECT_TRUE(OpenFilesUnder(dir.path()).empty());
#endif
}

#ifndef _WIN32
TEST(ExportFile, TheBuildsEmbeddingStepTakesItUnchanged) {
    TempDir dir;
    const fs::path pas = dir.path() / "Code_Image_Main_MCU.pas";
    image::ExportImage(pas.string(), "/fw/main.hex", image::EmbeddedImage());
    const std::string cmd = std::string("'") + FLASH_IMAGE_TOOL + "' embed '" + pas.string() + "' '" +
                            (dir.path() / "out.cpp").string() + "' '" + (dir.path() / "out.bin").string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const std::string bin = ReadBytes(dir.path() / "out.bin");
    const auto emb = image::EmbeddedImage();
    EXPECT_TRUE(SameBytes(bin, emb));
}

TEST(ExportErrors, SystemErrorsAreNamedByWhatTheyMean) {
    const struct {
        int err;
        int code;
        const char* text;
    } cases[] = {
        {ENOENT, 2, "File not found"},      {ENOTDIR, 3, "Invalid filename"},  {EMFILE, 4, "Too many open files"},
        {ENFILE, 4, "Too many open files"}, {EACCES, 5, "File access denied"}, {EPERM, 5, "File access denied"},
        {EROFS, 5, "File access denied"},   {ENOSPC, 101, "Disk full"},        {EDQUOT, 101, "Disk full"},
        {EIO, EIO, "I/O error 5"},          {EISDIR, 5, "File access denied"}, {EFBIG, EFBIG, "I/O error 27"},
        {ELOOP, ELOOP, "I/O error 40"},
    };
    for (const auto& c : cases) {
        const image::EInOutError e = image::InOutErrorFromErrno(c.err);
        EXPECT_EQ(e.ErrorCode, c.code) << c.text;
        EXPECT_STREQ(e.what(), c.text);
    }
    EXPECT_EQ(image::InOutErrorText(100), "Read beyond end of file");
    EXPECT_EQ(image::InOutErrorText(106), "Invalid numeric input");
    EXPECT_EQ(image::InOutErrorText(103), "I/O error 103");
}
#endif

TEST(ExportErrors, WindowsErrorsAreNamedByWhatTheyMean) {
    const struct {
        unsigned long err;
        int code;
        const char* text;
    } cases[] = {
        {2, 2, "File not found"},     {3, 3, "Invalid filename"},  {4, 4, "Too many open files"},
        {5, 5, "File access denied"}, {39, 101, "Disk full"},      {112, 101, "Disk full"},
        {32, 32, "I/O error 32"},     {101, 101, "I/O error 101"}, {123, 123, "I/O error 123"},
    };
    for (const auto& c : cases) {
        const image::EInOutError e = image::InOutErrorFromWinError(c.err);
        EXPECT_EQ(e.ErrorCode, c.code) << c.text;
        EXPECT_STREQ(e.what(), c.text);
    }
}

#ifndef _WIN32
TEST(ExportErrors, FailuresOnRealFileSystemsCloseTheFileAndKeepWhatWasWritten) {
    const auto dev = image::MakeDevelopmentImage();
    const std::string full = image::FormatDeclaration("", View(dev));
    const struct {
        const char* name;
        const char* options;  // of the tmpfs the export writes into
        unsigned long flags;
        const char* relative;  // the export's name inside it
        const char* text;
    } cases[] = {
        {"full disk", "size=64k", 0, "Code_Image_Main_MCU.pas", "Disk full"},
        {"read-only file system", "size=1m", MS_RDONLY, "Code_Image_Main_MCU.pas", "File access denied"},
        {"missing directory", "size=1m", 0, "gone/Code_Image_Main_MCU.pas", "File not found"},
        {"a file where a directory should be", "size=1m", 0, "plain/Code_Image_Main_MCU.pas", "Invalid filename"},
        {"a directory of the export's name", "size=1m", 0, "dir.pas", "File access denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFs scratch(c.options, c.flags);
        if (!scratch.mounted) GTEST_SKIP() << "mounting a tmpfs needs CAP_SYS_ADMIN";
        const fs::path dir = scratch.dir.path();
        if (!(c.flags & MS_RDONLY)) {
            std::ofstream(dir / "plain") << "x";
            fs::create_directory(dir / "dir.pas");
        }
        const fs::path file = dir / c.relative;
        const std::size_t openBefore = OpenFileCount();
        try {
            image::ExportImage(file.string(), "", View(dev));
            ADD_FAILURE() << "no error";
        } catch (const image::EInOutError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
        EXPECT_TRUE(OpenFilesUnder(dir).empty());
        EXPECT_EQ(OpenFileCount(), openBefore);
        if (std::string(c.text) == "Disk full") {
            const std::string kept = ReadBytes(file);
            EXPECT_GE(kept.size(), 60'000u) << "what fitted stays in the file";
            EXPECT_LT(kept.size(), full.size());
            EXPECT_TRUE(SameBytes(kept, full.substr(0, kept.size()))) << "the kept part is the file's beginning";
        }
    }
}
#endif

#ifdef _WIN32
// Another program has the file open as the export starts: one that reads
// lets the export in, one that writes keeps it out ("I/O error 32", a sharing
// violation). Missing folders, folders and read-only files as Windows names
// them; a file is never left open.
TEST(ExportErrorsOnWindows, OtherProgramsAndWhatStandsInTheWay) {
    const auto dev = image::MakeDevelopmentImage();
    const struct {
        const char* name;
        const char* relative;
        DWORD otherAccess;  // of a handle another program holds on the file, sharing read and write
        DWORD attributes;   // the file's before the export
        const char* text;   // nullptr: the export succeeds
    } cases[] = {
        {"a reader", "Code_Image_Main_MCU.pas", GENERIC_READ, FILE_ATTRIBUTE_NORMAL, nullptr},
        {"a writer", "Code_Image_Main_MCU.pas", GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, "I/O error 32"},
        {"read-only file", "Code_Image_Main_MCU.pas", 0, FILE_ATTRIBUTE_READONLY, "File access denied"},
        {"a folder of the export's name", "dir.pas", 0, 0, "File access denied"},
        {"missing folder", "gone\\Code_Image_Main_MCU.pas", 0, 0, "Invalid filename"},
        {"a file where a folder should be", "plain\\Code_Image_Main_MCU.pas", 0, 0, "Invalid filename"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Wine leaves the read-only attribute to the Unix file mode, which
        // does not stop root, as the tests run here.
        if (c.attributes == FILE_ATTRIBUTE_READONLY && testsupport::RunningUnderWine()) continue;
        TempDir dir;
        std::ofstream(dir.path() / "plain") << "x";
        fs::create_directory(dir.path() / "dir.pas");
        const fs::path file = dir.path() / c.relative;
        HANDLE other = INVALID_HANDLE_VALUE;
        if (c.otherAccess != 0 || c.attributes != 0) {
            std::ofstream(file) << "earlier";
            ASSERT_TRUE(SetFileAttributesW(file.c_str(), c.attributes));
        }
        if (c.otherAccess != 0) {
            other = CreateFileW(file.c_str(), c.otherAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
            ASSERT_NE(other, INVALID_HANDLE_VALUE);
        }
        try {
            image::ExportImage(file.string(), "", View(dev));
            EXPECT_EQ(c.text, nullptr) << "no error";
        } catch (const image::EInOutError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        if (fs::is_regular_file(file)) {
            EXPECT_TRUE(NoHandleOpenOn(file) || c.attributes == FILE_ATTRIBUTE_READONLY);
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);  // so that the folder can go
        }
    }
}

// A full disk needs a small volume, which a test cannot make on Windows.
// LOADER_TEST_FULL_DIR names an empty folder on a volume with far less room
// than the export needs (scripts/test-windows.sh makes one under Wine).
TEST(ExportErrorsOnWindows, FullDiskKeepsWhatFitted) {
    const char* folder = std::getenv("LOADER_TEST_FULL_DIR");
    if (folder == nullptr || *folder == '\0') GTEST_SKIP() << "LOADER_TEST_FULL_DIR names no small volume";
    const auto dev = image::MakeDevelopmentImage();
    const std::string full = image::FormatDeclaration("", View(dev));
    const fs::path file = fs::path(folder) / "Code_Image_Main_MCU.pas";
    try {
        image::ExportImage(file.string(), "", View(dev));
        ADD_FAILURE() << "no error";
    } catch (const image::EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 101);
        EXPECT_STREQ(e.what(), "Disk full");
    }
    EXPECT_TRUE(NoHandleOpenOn(file));
    const std::string kept = ReadBytes(file);
    EXPECT_GT(kept.size(), 0u) << "what fitted stays in the file";
    EXPECT_LT(kept.size(), full.size());
    EXPECT_TRUE(SameBytes(kept, full.substr(0, kept.size()))) << "the kept part is the file's beginning";
    fs::remove(file);
}
#endif
