#include "platform/File.h"

#include <cerrno>

namespace platform {

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

}  // namespace platform
