// Meter locks as advisory flock()s: released by the system with the last
// descriptor, so a crashed run never leaves its meter locked.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/File.h"
#include "platform/MeterLock.h"

namespace fs = std::filesystem;

namespace platform {

fs::path MeterLockFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        return fs::path(runtime) / kToolFolder;
    return StateLockFolder();
}

MeterLock::MeterLock(const fs::path& folder, const std::string& address, const std::string& self) {
    const fs::path file = LockFile(folder, address);
    if (file.empty()) return;
    int fd;
    do fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    int rc;
    do rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            char buf[256];
            const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
            holder_ = HolderFromRecord(n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string());
        }
        ::close(fd);
        return;
    }
    handle_ = fd;
    const std::string record = HolderRecord(static_cast<long>(::getpid()), self);
    // Who holds it is only told to the next run: a failure here changes nothing.
    [[maybe_unused]] const bool told =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, record.data(), record.size(), 0) == static_cast<ssize_t>(record.size());
}

MeterLock::~MeterLock() {
    // The file stays: removing it would let a third run lock a new file
    // while a second still waits on the old one.
    if (handle_ != -1) ::close(static_cast<int>(handle_));
}

}  // namespace platform
