#include "platform/File.h"

#include <cerrno>
#include <random>

namespace fs = std::filesystem;

namespace platform {
namespace {

// A fresh, unused name beside `target`, opened for writing in `file`.
FileStatus CreateBeside(const fs::path& target, fs::path& tmp, OutputFile& file) {
    std::random_device random;
    FileStatus created;
    for (int attempt = 0; attempt < 16; ++attempt) {
        tmp = target;
        tmp += "." + std::to_string(random()) + ".tmp";
        created = file.Open(tmp, OutputFile::Mode::CreateNew);
        if (created.fault != FileFault::Exists) break;
    }
    return created;
}

}  // namespace

FileStatus FileStatusFromErrno(int err) {
    const auto code = static_cast<unsigned long>(err);
    switch (err) {
        case 0: return {};
        case ENOENT: return {FileFault::NotFound, code};
        case ENOTDIR: return {FileFault::BadPath, code};
        case EMFILE:
        case ENFILE: return {FileFault::TooManyOpen, code};
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return {FileFault::Denied, code};
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return {FileFault::DiskFull, code};
        case EEXIST: return {FileFault::Exists, code};
        default: return {FileFault::Other, code};
    }
}

FileStatus FileStatusFromWindowsError(unsigned long err) {
    switch (err) {
        case 0: return {};
        case 2: return {FileFault::NotFound, err};     // ERROR_FILE_NOT_FOUND
        case 3: return {FileFault::BadPath, err};      // ERROR_PATH_NOT_FOUND
        case 4: return {FileFault::TooManyOpen, err};  // ERROR_TOO_MANY_OPEN_FILES
        case 5: return {FileFault::Denied, err};       // ERROR_ACCESS_DENIED
        case 39:                                       // ERROR_HANDLE_DISK_FULL
        case 112:                                      // ERROR_DISK_FULL
            return {FileFault::DiskFull, err};
        case 80:   // ERROR_FILE_EXISTS
        case 183:  // ERROR_ALREADY_EXISTS
            return {FileFault::Exists, err};
        default: return {FileFault::Other, err};
    }
}

ReplaceStatus ReplaceFile(const fs::path& target, std::string_view data) {
    fs::path tmp;
    OutputFile file;
    if (const FileStatus created = CreateBeside(target, tmp, file); !created.Ok())
        return {ReplaceStatus::Step::Create, created};
    FileStatus written = file.Write(data);
    if (written.Ok()) written = file.Sync();
    if (const FileStatus closed = file.Close(); written.Ok()) written = closed;
    bool keepNew = false;
    std::error_code ec;
    // A folder is no file to replace; Wine's calls would report success and
    // leave it in place.
    if (written.Ok() && fs::is_directory(target, ec)) {
        fs::remove(tmp, ec);
        return {ReplaceStatus::Step::PutInPlace, FileStatusFromErrno(EISDIR)};
    }
    if (written.Ok() && PutInPlace(tmp, target, keepNew)) return {};
    if (!keepNew) fs::remove(tmp, ec);
    return {written.Ok() ? ReplaceStatus::Step::PutInPlace : ReplaceStatus::Step::Write, written};
}

}  // namespace platform
