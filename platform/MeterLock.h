// One update of a meter at a time on this computer, whichever program runs
// it: a lock per meter address that a process holds while it talks to that
// meter. The system releases it when the process ends, however it ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

// Where this user's meter locks are kept: $XDG_RUNTIME_DIR/ethernet-loader
// when that is an absolute path, else the locks folder beside the update
// history (UserStateFolder); empty when the environment names neither.
std::filesystem::path MeterLockFolder();

class MeterLock {
public:
    // Tries once, without waiting, creating the folder as needed. `self`
    // names this program to a run that finds the meter taken. With an empty
    // folder or address, or a folder that cannot be written, nothing is
    // locked and the meter counts as free: the lock guards against a second
    // run, it must not stop the only one.
    MeterLock(const std::filesystem::path& folder, const std::string& address, const std::string& self);
    ~MeterLock();
    MeterLock(const MeterLock&) = delete;
    MeterLock& operator=(const MeterLock&) = delete;

    bool Busy() const { return !holder_.empty(); }
    // Who holds the meter when busy: "process 1234 (ethernet-loader-cli)".
    const std::string& Holder() const { return holder_; }

private:
    std::intptr_t handle_ = -1;
    std::string holder_;
};

// The locks folder beside the update history; empty without UserStateFolder.
std::filesystem::path StateLockFolder();
// The lock file of a meter in `folder`, the folder made as needed; empty
// when either is empty: nothing is locked then.
std::filesystem::path LockFile(const std::filesystem::path& folder, const std::string& address);

// The text a holder leaves in its lock file, and the words read back from it.
std::string HolderRecord(long processId, const std::string& self);
std::string HolderFromRecord(const std::string& record);

}  // namespace platform
