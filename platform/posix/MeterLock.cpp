// Meter locks as abstract Unix sockets, a name per meter. The names belong
// to the computer (to its network namespace), not to a user, and involve no
// file or folder that one user could keep from another; the kernel frees a
// name with its socket, so a crashed run never leaves its meter locked.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "platform/MeterLock.h"

namespace platform {
namespace {

// Each run that asks who holds a meter leaves a connection in the holder's
// queue, which the holder never accepts: past this many askers, the meter
// is still busy, only held by "another process".
constexpr int kAskers = 8;

struct SocketName {
    sockaddr_un address{};
    socklen_t size = 0;
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address); }
};

std::optional<SocketName> NameOf(const std::string& scope, const std::string& address) {
    const std::string name = scope + "/meter/" + address;
    SocketName n;
    n.address.sun_family = AF_UNIX;
    // The leading NUL puts the name in the abstract namespace.
    if (1 + name.size() > sizeof n.address.sun_path) return std::nullopt;
    std::memcpy(n.address.sun_path + 1, name.data(), name.size());
    n.size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return n;
}

// A user the user database does not know is named by number.
std::string UserName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> text(16384);
    if (::getpwuid_r(uid, &entry, text.data(), text.size(), &found) == 0 && found) return found->pw_name;
    return std::to_string(uid);
}

// argv[0] without its folder; empty where /proc hides other users' processes.
std::string ProgramName(pid_t pid) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    return argv0.substr(argv0.rfind('/') + 1);
}

// The kernel tells a connecting socket who listens, in terms the holder
// cannot forge (its process id is 0 from a process namespace this one cannot
// see). A full queue, or a holder that has just ended, tells nothing.
std::string AskHolder(const SocketName& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool told = fd >= 0 && ::connect(fd, name.Address(), name.size) == 0 &&
                      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    if (fd >= 0) ::close(fd);
    if (!told) return HolderText(0, "", "");
    return HolderText(static_cast<unsigned long>(peer.pid), ProgramName(peer.pid), UserName(peer.uid));
}

}  // namespace

MeterLock::MeterLock(const std::string& scope, const std::string& address) {
    if (scope.empty() || address.empty()) return;
    const auto name = NameOf(scope, address);
    if (!name) return;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::bind(fd, name->Address(), name->size) == 0) {
        // The bound name is the lock; listening only lets others ask who holds it.
        ::listen(fd, kAskers);
        handles_.push_back(fd);
        return;
    }
    const bool taken = errno == EADDRINUSE;
    ::close(fd);
    if (taken) holder_ = AskHolder(*name);
}

MeterLock::~MeterLock() {
    for (const auto fd : handles_) ::close(static_cast<int>(fd));
}

}  // namespace platform
