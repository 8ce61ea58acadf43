// A small tmpfs mounted for one test, to make a file system read-only or full
// on purpose. The mount lives in a mount namespace of the test's own, so
// nothing outside sees it. Needs root; where mounting is not allowed, Mount()
// says why and the test skips.
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/TempDir.h"

namespace testsupport {

class ScratchMount {
public:
    ScratchMount() = default;
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;
    ~ScratchMount() {
        if (!dir_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
    }

    // Mounts a tmpfs with `options` (e.g. "size=64k") and mount `flags`
    // (e.g. MS_RDONLY) on the existing `dir`.
    // Returns an empty string on success, else the reason it could not.
    std::string Mount(const std::string& dir, const std::string& options, unsigned long flags = 0) {
        if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("private mounts: ") + std::strerror(errno);
        if (::mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) != 0)
            return std::string("mount tmpfs: ") + std::strerror(errno);
        dir_ = dir;
        return {};
    }

    bool MakeReadOnly() { return ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

private:
    std::string dir_;
};

// A tmpfs of its own in a temporary directory; the mount goes before the directory does.
class ScratchFs {
public:
    ScratchFs(const char* options, unsigned long flags) {
        mounted = mount_.Mount(dir.path().string(), options, flags).empty();
    }
    TempDir dir;
    bool mounted = false;

private:
    ScratchMount mount_;
};

}  // namespace testsupport
