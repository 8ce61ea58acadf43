#include "platform/Process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

long CurrentProcessId() { return static_cast<long>(::getpid()); }

bool ProcessRunning(long pid) {
    if (pid <= 0) return false;
    // Signal 0 checks only; a process of another user answers EPERM but runs.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace platform
