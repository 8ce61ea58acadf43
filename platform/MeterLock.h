// One update of a meter at a time on this computer, whichever program runs
// it and whichever user runs that: a lock per meter address that a process
// holds while it talks to that meter. The system releases it when the
// process ends, however it ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The scope every run of the tool on this computer locks its meters in.
// Tests lock in scopes of their own, apart from the tool's and each other's.
inline std::string MeterLockScope() { return "ethernet-loader"; }

class MeterLock {
public:
    // Tries once, without waiting. With an empty scope or address, or where
    // the system offers no lock, nothing is locked and the meter counts as
    // free: the lock guards against a second run, it must not stop the only
    // one.
    MeterLock(const std::string& scope, const std::string& address);
    ~MeterLock();
    MeterLock(const MeterLock&) = delete;
    MeterLock& operator=(const MeterLock&) = delete;

    bool Busy() const { return !holder_.empty(); }
    // Who holds the meter when busy, as HolderText words it.
    const std::string& Holder() const { return holder_; }

private:
    std::vector<std::intptr_t> handles_;  // the system's objects that hold the lock
    std::string holder_;
};

// The holder in words: "process 1234 (ethernet-loader-cli) of user alice",
// without the parts not known (an empty program or user; process id 0:
// "another process"). The program and user names come from the holder, who
// may be another user: anything but printable ASCII becomes '?', so that
// they can neither steer a terminal nor break a report's UTF-8.
std::string HolderText(unsigned long processId, const std::string& program, const std::string& user);

}  // namespace platform
