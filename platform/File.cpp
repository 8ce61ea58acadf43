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

ReplaceStatus ReplaceFile(const fs::path& target, std::string_view data, const BeforeReplaceStep& before) {
    using Step = ReplaceStatus::Step;
    const auto allowed = [&before](Step step) { return before ? before(step) : FileStatus{}; };
    fs::path tmp;
    OutputFile file;
    FileStatus status = allowed(Step::Create);
    if (status.Ok()) status = CreateBeside(target, tmp, file);
    if (!status.Ok()) return {Step::Create, status};
    // Until the new file is in place, a failure removes it.
    const auto fail = [&](Step step, FileStatus why, bool keepNew = false) -> ReplaceStatus {
        file.Close();  // Windows removes no open file
        std::error_code ec;
        if (!keepNew) fs::remove(tmp, ec);
        return {step, why};
    };
    if (status = allowed(Step::Write); status.Ok()) status = file.Write(data);
    if (!status.Ok()) return fail(Step::Write, status);
    if (status = allowed(Step::Flush); status.Ok()) status = file.Sync();
    // Some file systems report a lost write only at the close.
    if (const FileStatus closed = file.Close(); status.Ok()) status = closed;
    if (!status.Ok()) return fail(Step::Flush, status);
    std::error_code ec;
    // A folder is no file to replace; Wine's calls would report success and
    // leave it in place.
    if (fs::is_directory(target, ec)) return fail(Step::PutInPlace, FileStatusFromErrno(EISDIR));
    if (status = allowed(Step::PutInPlace); !status.Ok()) return fail(Step::PutInPlace, status);
    bool keepNew = false;
    if (!PutInPlace(tmp, target, keepNew)) return fail(Step::PutInPlace, {}, keepNew);
    // Renamed, but a power cut can still undo that until the folder is on the disk.
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (status = allowed(Step::SyncFolder); status.Ok()) status = SyncFolder(folder);
    if (!status.Ok()) return {Step::SyncFolder, status};
    return {};
}

}  // namespace platform
