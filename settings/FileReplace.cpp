#include "FileReplace.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace settings {

namespace {

#ifdef _WIN32
// ReplaceFileW gives the new content the old file's attributes, security and
// creation time; without an old file a move does. Sets keepNew when the old
// file is gone and the new content is left only under its temporary name.
bool PutInPlace(const fs::path& tmp, const fs::path& target, bool& keepNew) {
    constexpr DWORD kMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    // Asked first rather than told by ReplaceFileW, which under Wine 8 fails
    // on a missing file without saying why.
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND)
        return MoveFileExW(tmp.c_str(), target.c_str(), kMove) != 0;
    if (ReplaceFileW(target.c_str(), tmp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        return true;
    const DWORD error = GetLastError();
    const bool oldGone = error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (error != ERROR_FILE_NOT_FOUND && !oldGone) return false;
    if (MoveFileExW(tmp.c_str(), target.c_str(), kMove)) return true;
    keepNew = oldGone;
    return false;
}
// The names the file has. The C library's stat, and so fs::hard_link_count,
// counts one for every file on Windows.
uintmax_t NameCount(const fs::path& p) {
    const HANDLE h =
        CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return known ? info.nNumberOfLinks : 0;
}
int CreateNew(const fs::path& p) {
    return _wopen(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
// Fails with EACCES for a file with the read-only attribute.
int OpenExisting(const fs::path& p) { return _wopen(p.c_str(), _O_WRONLY | _O_BINARY); }
long WriteSome(int fd, const char* d, size_t n) {
    return _write(fd, d, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
}
int SyncToDisk(int fd) { return _commit(fd); }
int CloseFile(int fd) { return _close(fd); }
// Windows reserves no space ahead: nothing to do.
bool Reserve(int, size_t) { return true; }
bool Rewind(int fd) { return _lseeki64(fd, 0, SEEK_SET) == 0; }
bool CutTo(int fd, size_t size) { return _chsize_s(fd, static_cast<long long>(size)) == 0; }
#else
uintmax_t NameCount(const fs::path& p) {
    std::error_code ec;
    const uintmax_t n = fs::hard_link_count(p, ec);
    return ec ? 0 : n;
}
int CreateNew(const fs::path& p) { return ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
// Not O_TRUNC and not O_CREAT: opening changes nothing. O_NONBLOCK: a pipe put
// in the file's place cannot make this wait.
int OpenExisting(const fs::path& p) { return ::open(p.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }
long WriteSome(int fd, const char* d, size_t n) { return ::write(fd, d, n); }
int SyncToDisk(int fd) { return ::fsync(fd); }
int CloseFile(int fd) { return ::close(fd); }
// Takes the blocks the new content needs before any byte of the old changes,
// so that a full disk fails here, with the file untouched.
bool Reserve(int fd, size_t size) {
    if (size == 0) return true;
    const int e = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    return e == 0 || e == EOPNOTSUPP || e == EINVAL;
}
bool Rewind(int fd) { return ::lseek(fd, 0, SEEK_SET) == 0; }
bool CutTo(int fd, size_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }
#endif

enum class Access { Writable, Missing, Denied };

// Whether the file itself may be written, as the platform decides it: it is
// opened for writing, without truncating or creating it, and closed again.
// A rename over it would need only the directory's permission.
Access WriteAccess(const fs::path& p) {
    const int fd = OpenExisting(p);
    if (fd >= 0) {
        CloseFile(fd);
        return Access::Writable;
    }
    return errno == ENOENT ? Access::Missing : Access::Denied;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const long n = WriteSome(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A fresh, unused name beside `target`; the descriptor is open for writing.
int CreateTemporaryBeside(const fs::path& target, fs::path& tmp) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        tmp = target;
        tmp += "." + std::to_string(random()) + ".tmp";
        const int fd = CreateNew(tmp);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Rewrites a file that has more than one name where it stands, so that all
// its names keep naming it; a rename would leave the others on the old file.
bool RewriteInPlace(const fs::path& target, const std::string& data) {
    const int fd = OpenExisting(target);
    if (fd < 0) return false;
    const bool written =
        Reserve(fd, data.size()) && Rewind(fd) && WriteAll(fd, data) && CutTo(fd, data.size()) && SyncToDisk(fd) == 0;
    const bool closed = CloseFile(fd) == 0;
    return written && closed;
}

}  // namespace

fs::path PathFromNativeName(const std::string& name) {
#ifdef _WIN32
    const int size = static_cast<int>(std::min<size_t>(name.size(), INT_MAX));
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
#else
    return name;
#endif
}

ReadResult ReadWholeFile(const fs::path& path, std::string& out) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) return ReadResult::Missing;
    if (ec || st.type() != fs::file_type::regular) return ReadResult::Failed;
    std::ifstream in(path, std::ios::binary);
    if (!in) return ReadResult::Failed;
    out.clear();
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) out.append(buffer, static_cast<size_t>(in.gcount()));
    return in.bad() ? ReadResult::Failed : ReadResult::Read;
}

bool ReplaceWholeFile(const fs::path& target, const std::string& data) {
    std::error_code ec;
    // Through a link the file it names is replaced; the link stays.
    fs::path real = target;
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::canonical(target, ec);
        if (!ec) real = resolved;
    }
    const fs::file_status old = fs::status(real, ec);
    const Access access = WriteAccess(real);
    if (access == Access::Denied) return false;
    if (access == Access::Writable && fs::is_regular_file(old) && NameCount(real) > 1)
        return RewriteInPlace(real, data);

    fs::path tmp;
    const int fd = CreateTemporaryBeside(real, tmp);
    if (fd < 0) {
        // A folder where no new file may be made (an install folder) can
        // still hold a file that may be written: rewrite it where it stands.
        return access == Access::Writable && fs::is_regular_file(old) && RewriteInPlace(real, data);
    }
    const bool written = WriteAll(fd, data) && SyncToDisk(fd) == 0;
    const bool closed = CloseFile(fd) == 0;
    bool keepNew = false;
    if (written && closed) {
#ifdef _WIN32
        if (PutInPlace(tmp, real, keepNew)) return true;
#else
        if (fs::is_regular_file(old)) fs::permissions(tmp, old.permissions(), ec);  // best effort
        fs::rename(tmp, real, ec);
        if (!ec) return true;
#endif
    }
    if (!keepNew) fs::remove(tmp, ec);
    return false;
}

}  // namespace settings
