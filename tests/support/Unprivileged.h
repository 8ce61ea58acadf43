// Tests of what an ordinary user may not do. Root may write a read-only file
// on Linux (the platform's own rule), so such a test, when run as root, runs
// itself again as the user "nobody" through setpriv and passes when that run
// passes. Run as any other user, it simply runs.
#pragma once

#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace testsupport {

inline bool IsPrivileged() { return ::geteuid() == 0; }

struct UnprivilegedRun {
    std::optional<int> status;  // none: it did not end in time
    std::string output;         // stdout and stderr, for the failure message
};

// Runs this very executable again as "nobody" (uid and gid 65534, no
// supplementary groups) with `args`; throws std::system_error with ENOENT
// when there is no setpriv.
inline UnprivilegedRun RunSelfAsNobody(const std::vector<std::string>& args,
                                       std::chrono::seconds limit = std::chrono::seconds(120)) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) throw std::system_error(errno, std::generic_category(), "readlink /proc/self/exe");
    std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  std::string(self, static_cast<size_t>(n))};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv);
    UnprivilegedRun run;
    run.status = child.Wait(ChildProcess::Clock::now() + limit);
    for (const std::string& line : child.OutLines()) run.output += line + "\n";
    run.output += child.ErrText();
    return run;
}

}  // namespace testsupport
