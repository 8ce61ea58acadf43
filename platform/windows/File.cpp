// Files through the Win32 calls; errors by GetLastError.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "platform/File.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
FileStatus LastError() { return FileStatusFromWindowsError(GetLastError()); }
FileStatus Checked(BOOL ok) { return ok ? FileStatus{} : LastError(); }

}  // namespace

OutputFile::~OutputFile() { Close(); }

FileStatus OutputFile::Open(const fs::path& path, Mode mode) {
    Close();
    // Others may read the file while it is being replaced, but not write it.
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = CREATE_ALWAYS;
    switch (mode) {
        case Mode::Replace: break;
        case Mode::CreateNew:
            share |= FILE_SHARE_WRITE;
            disposition = CREATE_NEW;
            break;
        // Fails as access denied for a file with the read-only attribute.
        case Mode::Existing:
        case Mode::Append:
            share |= FILE_SHARE_WRITE;
            disposition = OPEN_EXISTING;
            break;
    }
    // Appending access alone puts every write at the file's end.
    const DWORD access = mode == Mode::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    const HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError();
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return {};
}

FileStatus OutputFile::Write(std::string_view data) {
    while (!data.empty()) {
        DWORD written = 0;
        const BOOL ok = WriteFile(AsHandle(handle_), data.data(),
                                  static_cast<DWORD>(std::min(data.size(), kWriteChunk)), &written, nullptr);
        if (!ok) return LastError();
        // A write that takes nothing without an error has still run out of room.
        if (written == 0) return FileStatusFromWindowsError(ERROR_DISK_FULL);
        data.remove_prefix(written);
    }
    return {};
}

// Windows reserves no room ahead: nothing to do.
FileStatus OutputFile::Reserve(std::size_t) { return {}; }

FileStatus OutputFile::Rewind() {
    LARGE_INTEGER zero{};
    return Checked(SetFilePointerEx(AsHandle(handle_), zero, nullptr, FILE_BEGIN));
}

FileStatus OutputFile::CutTo(std::size_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(AsHandle(handle_), at, nullptr, FILE_BEGIN)) return LastError();
    return Checked(SetEndOfFile(AsHandle(handle_)));
}

FileStatus OutputFile::Sync() { return Checked(FlushFileBuffers(AsHandle(handle_))); }

FileStatus OutputFile::Close() {
    if (!IsOpen()) return {};
    const HANDLE file = AsHandle(handle_);
    handle_ = -1;
    return Checked(CloseHandle(file));
}

FileStatus AppendLine(const fs::path& file, std::string_view line) {
    // Append data without write data: every write goes to the file's end as
    // one piece. Read data only for the lock below.
    const HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    // Wine (8) moves to the end and writes as two steps, so writers of the
    // same moment are also kept apart by a lock on one byte far beyond any
    // content: a lock every writer of the file takes, in any process.
    OVERLAPPED lockAt{};
    lockAt.Offset = 0xFFFFFFFE;
    lockAt.OffsetHigh = 0x7FFFFFFF;
    const bool locked = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt) != 0;
    // Under the lock, the last byte tells a torn line from one being written.
    std::string data(line);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        char last = '\n';
        DWORD got = 0;
        if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n') data.insert(0, 1, '\n');
    }
    DWORD written = 0;
    // On the disk before the run goes on: a power cut keeps every line a
    // run has told of.
    const BOOL ok =
        WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) && FlushFileBuffers(h);
    const FileStatus status = ok ? FileStatus{} : LastError();
    if (locked) UnlockFileEx(h, 0, 1, 0, &lockAt);
    CloseHandle(h);
    if (!status.Ok()) return status;
    return written == data.size() ? FileStatus{} : FileStatusFromWindowsError(ERROR_DISK_FULL);
}

fs::path UserStateFolder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local && *local ? fs::path(local) : fs::path();
}

fs::path PathFromNativeName(const std::string& name) {
    const int size = static_cast<int>(std::min<size_t>(name.size(), INT_MAX));
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

// The C library's stat, and so fs::hard_link_count, counts one name for
// every file on Windows.
std::optional<unsigned> OpenToOthers(const fs::path&) { return std::nullopt; }

std::uintmax_t NameCount(const fs::path& file) {
    const HANDLE h =
        CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return known ? info.nNumberOfLinks : 0;
}

// ReplaceFileW gives the new content the old file's attributes, security and
// creation time; without an old file a move does.
bool PutInPlace(const fs::path& tmp, const fs::path& target, bool& keepNew) {
    keepNew = false;
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

// A folder opens only with backup semantics, and its flush needs write
// access; the flush brings the rename's entry to the disk on NTFS and ReFS.
// ReplaceFileW, unlike MoveFileExW, takes no MOVEFILE_WRITE_THROUGH.
FileStatus SyncFolder(const fs::path& folder) {
    const HANDLE h = CreateFileW(folder.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};  // not for this user or file system: the rename stands as kept
    const DWORD error = FlushFileBuffers(h) ? 0 : GetLastError();
    CloseHandle(h);
    // Only a write the disk lost is a failure; file systems without the
    // step (FAT, network shares, Wine's) answer in many other words.
    switch (error) {
        case ERROR_CRC:
        case ERROR_WRITE_FAULT:
        case ERROR_GEN_FAILURE:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_FULL:
        case ERROR_IO_DEVICE: return FileStatusFromWindowsError(error);
        default: return {};
    }
}

}  // namespace platform
