// Files through the POSIX calls; errors by errno.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/File.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

FileStatus LastError() { return FileStatusFromErrno(errno); }
FileStatus Checked(bool ok) { return ok ? FileStatus{} : LastError(); }

}  // namespace

OutputFile::~OutputFile() { Close(); }

FileStatus OutputFile::Open(const fs::path& path, Mode mode) {
    Close();
    int flags = O_WRONLY | O_CLOEXEC;
    switch (mode) {
        case Mode::Replace: flags |= O_CREAT | O_TRUNC; break;
        case Mode::CreateNew: flags |= O_CREAT | O_EXCL; break;
        // Not O_TRUNC and not O_CREAT: opening changes nothing. O_NONBLOCK:
        // a pipe put in the file's place cannot make this wait.
        case Mode::Existing: flags |= O_NOCTTY | O_NONBLOCK; break;
        case Mode::Append: flags |= O_APPEND | O_NOCTTY | O_NONBLOCK; break;
    }
    int fd;
    do fd = ::open(path.c_str(), flags, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastError();
    handle_ = fd;
    return {};
}

FileStatus OutputFile::Write(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(static_cast<int>(handle_), data.data(), std::min(data.size(), kWriteChunk));
        if (n < 0 && errno == EINTR) continue;
        // A write that takes nothing without an error has still run out of room.
        if (n <= 0) return FileStatusFromErrno(n < 0 ? errno : ENOSPC);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

FileStatus OutputFile::Reserve(std::size_t size) {
    if (size == 0) return {};
    const int e = ::posix_fallocate(static_cast<int>(handle_), 0, static_cast<off_t>(size));
    // A file system that cannot reserve ahead is written as it is.
    return e == 0 || e == EOPNOTSUPP || e == EINVAL ? FileStatus{} : FileStatusFromErrno(e);
}

FileStatus OutputFile::Rewind() { return Checked(::lseek(static_cast<int>(handle_), 0, SEEK_SET) == 0); }

FileStatus OutputFile::CutTo(std::size_t size) {
    return Checked(::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0);
}

FileStatus OutputFile::Sync() { return Checked(::fsync(static_cast<int>(handle_)) == 0); }

FileStatus OutputFile::Close() {
    if (!IsOpen()) return {};
    const int fd = static_cast<int>(handle_);
    handle_ = -1;
    return Checked(::close(fd) == 0 || errno == EINTR);
}

FileStatus AppendLine(const fs::path& file, std::string_view line) {
    int fd;
    do fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastError();
    // Every writer looks at the last byte and appends under this lock: a
    // write in progress would show a torn line that is none.
    int locked;
    do locked = ::flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    std::string data;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
        data.assign(line.size() + 1, '\n');
        std::copy(line.begin(), line.end(), data.begin() + 1);
        line = data;
    }
    // O_APPEND: the move to the end and the write are one step for every writer.
    ssize_t n;
    do n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    int error = errno;
    // On the disk before the run goes on: a power cut keeps every line a
    // run has told of.
    if (n >= 0 && ::fsync(fd) != 0) {
        error = errno;
        n = -1;
    }
    ::close(fd);
    if (n < 0) return FileStatusFromErrno(error);
    return static_cast<std::size_t>(n) == line.size() ? FileStatus{} : FileStatusFromErrno(ENOSPC);
}

fs::path UserStateFolder() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return home && *home ? fs::path(home) / ".local" / "state" : fs::path();
}

fs::path PathFromNativeName(const std::string& name) { return name; }

std::optional<unsigned> OpenToOthers(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || (st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return std::nullopt;
    return static_cast<unsigned>(st.st_mode & 07777);
}

std::uintmax_t NameCount(const fs::path& file) {
    std::error_code ec;
    const std::uintmax_t n = fs::hard_link_count(file, ec);
    return ec ? 0 : n;
}

bool PutInPlace(const fs::path& tmp, const fs::path& target, bool& keepNew) {
    keepNew = false;
    std::error_code ec;
    const fs::file_status old = fs::status(target, ec);
    if (fs::is_regular_file(old)) fs::permissions(tmp, old.permissions(), ec);  // best effort
    fs::rename(tmp, target, ec);
    return !ec;
}

FileStatus SyncFolder(const fs::path& folder) {
    int fd;
    do fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    // A folder this user may write to but not read (mode -wx) cannot be asked.
    if (fd < 0) return errno == EACCES ? FileStatus{} : LastError();
    int synced;
    do synced = ::fsync(fd);
    while (synced != 0 && errno == EINTR);
    const int error = synced == 0 ? 0 : errno;
    ::close(fd);
    // Only a write the disk lost is a failure; file systems without the step
    // (some network and FUSE ones) answer EINVAL and the like.
    switch (error) {
        case EIO:
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return FileStatusFromErrno(error);
        default: return {};
    }
}

}  // namespace platform
