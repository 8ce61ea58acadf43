// BSD sockets as Linux has them.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SocketCalls.h"

namespace platform {

// Nothing to start or release.
void StartSocketLibrary() {}
void StopSocketLibrary() {}

std::size_t MakeRoomForSockets(std::size_t count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return count;  // nothing known: let the sockets tell
    if (limit.rlim_cur < count && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(count, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, count));
}

std::optional<std::uint32_t> ParseDottedAddress(const std::string& text) {
    if (text.c_str()[0] == '\0') return std::nullopt;
    const in_addr_t a = ::inet_addr(text.c_str());
    if (a == INADDR_NONE) return std::nullopt;
    return ntohl(a);
}

// The classic host-entry look-up rather than getaddrinfo: the latter may
// reorder a name's addresses, and the first one as listed is the one wanted.
std::optional<std::uint32_t> LookUpHostName(const std::string& name) {
    hostent entry{};
    hostent* found = nullptr;
    int lookupError = 0;
    std::vector<char> scratch(2048);
    while (::gethostbyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found, &lookupError) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list == nullptr ||
        found->h_addr_list[0] == nullptr)
        return std::nullopt;
    in_addr a;
    std::memcpy(&a, found->h_addr_list[0], sizeof a);
    return ntohl(a.s_addr);
}

namespace calls {
namespace {

int Fd(SocketHandle h) { return static_cast<int>(h); }

// Linux reports a reset or a refused handshake once and afterwards lets recv
// return 0, as if the peer had closed in order. Only a connection that
// failed is in the closed state: an orderly close from the peer leaves ours
// waiting for our own close.
bool StreamFailed(SocketHandle h) {
    tcp_info info{};
    socklen_t size = sizeof info;
    return ::getsockopt(Fd(h), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_CLOSE;
}

int Fail(int code) {
    errno = code;
    return -1;
}

}  // namespace

int LastSocketError() { return errno; }

SocketFault Classify(int code, SocketKind kind) {
    switch (code) {
        case 0: return SocketFault::None;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS: return SocketFault::WouldBlock;
        case EMSGSIZE: return SocketFault::MessageTooLong;
        case ECONNREFUSED: return kind == SocketKind::Datagram ? SocketFault::Unreachable : SocketFault::Refused;
        case ECONNRESET:
        case EPIPE: return SocketFault::Reset;
        case ENOTCONN:
        case EDESTADDRREQ: return SocketFault::NotConnected;
        default: return SocketFault::Other;
    }
}

SocketHandle CreateSocket(SocketKind kind) {
    const int fd =
        kind == SocketKind::Datagram ? ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP) : ::socket(AF_INET, SOCK_STREAM, 0);
    return fd < 0 ? kNoSocket : fd;
}

int SetNonBlocking(SocketHandle h) {
    int on = 1;
    return ::ioctl(Fd(h), FIONBIO, &on);
}

int Connect(SocketHandle h, std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return ::connect(Fd(h), reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

// A send on a connection the peer has reset must give -1, not end the
// process by SIGPIPE.
int Send(SocketHandle h, const void* bytes, std::int32_t count) {
    return static_cast<int>(::send(Fd(h), bytes, static_cast<size_t>(count), MSG_NOSIGNAL));
}

int Receive(SocketHandle h, SocketKind kind, void* bytes, std::int32_t count) {
    if (kind == SocketKind::Datagram) {
        // recv quietly returns a cut datagram as if it were whole; MSG_TRUNC
        // reports its real length, so that a cut one can fail as on Windows.
        const auto length = ::recv(Fd(h), bytes, static_cast<size_t>(count), MSG_TRUNC);
        return length > count ? Fail(EMSGSIZE) : static_cast<int>(length);
    }
    const int result = static_cast<int>(::recv(Fd(h), bytes, static_cast<size_t>(count), 0));
    if (result == 0 && count > 0 && StreamFailed(h)) return Fail(ENOTCONN);
    return result;
}

bool Readable(SocketHandle h) {
    pollfd p{Fd(h), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

Handshake HandshakeState(SocketHandle h) {
    pollfd p{Fd(h), POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || p.revents == 0) return Handshake::Pending;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(Fd(h), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return Handshake::Failed;
    // Writable and no error, yet a refused handshake also ends in a hang-up.
    return (p.revents & (POLLERR | POLLHUP)) != 0 ? Handshake::Failed : Handshake::Connected;
}

bool LocalAddress(SocketHandle h, SocketEndpoint& local) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getsockname(Fd(h), reinterpret_cast<sockaddr*>(&a), &size) != 0 || a.sin_family != AF_INET) return false;
    local = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
    return true;
}

int ShutdownBoth(SocketHandle h) { return ::shutdown(Fd(h), SHUT_RDWR); }

int CloseSocket(SocketHandle h) { return ::close(Fd(h)); }

}  // namespace calls
}  // namespace platform
