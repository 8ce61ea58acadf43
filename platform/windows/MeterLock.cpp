// Meter locks as a byte-range lock on a file: released by the system when
// the handle closes or the process ends, so a crashed run never leaves its
// meter locked. The locked byte lies beyond the holder's record, which stays
// readable by the run that finds the meter taken.
#include <windows.h>

#include <system_error>

#include "platform/File.h"
#include "platform/MeterLock.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

constexpr DWORD kLockedByte = 0x7FFFFFFF;

OVERLAPPED LockedRange() {
    OVERLAPPED at{};
    at.Offset = kLockedByte;
    return at;
}

}  // namespace

fs::path MeterLockFolder() { return StateLockFolder(); }

MeterLock::MeterLock(const fs::path& folder, const std::string& address, const std::string& self) {
    const fs::path file = LockFile(folder, address);
    if (file.empty()) return;
    const HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    OVERLAPPED range = LockedRange();
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        if (::GetLastError() == ERROR_LOCK_VIOLATION) {
            char buf[256];
            DWORD n = 0;
            if (!::ReadFile(h, buf, sizeof buf, &n, nullptr)) n = 0;
            holder_ = HolderFromRecord(std::string(buf, n));
        }
        ::CloseHandle(h);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    const std::string record = HolderRecord(static_cast<long>(::GetCurrentProcessId()), self);
    DWORD written = 0;
    // Who holds it is only told to the next run: a failure here changes nothing.
    if (::SetEndOfFile(h)) ::WriteFile(h, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

MeterLock::~MeterLock() {
    if (handle_ == -1) return;
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED range = LockedRange();
    ::UnlockFileEx(h, 0, 1, 0, &range);
    ::CloseHandle(h);
}

}  // namespace platform
