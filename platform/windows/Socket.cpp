// Windows Sockets 1.1.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/SocketCalls.h"

namespace platform {

void StartSocketLibrary() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) throw SocketLibraryError("WSAStartup");
}

void StopSocketLibrary() {
    if (WSACleanup() != 0) throw SocketLibraryError("WSACleanup");
}

std::size_t MakeRoomForSockets(std::size_t count) { return count; }

std::optional<std::uint32_t> ParseDottedAddress(const std::string& text) {
    if (text.c_str()[0] == '\0') return std::nullopt;
    const unsigned long a = ::inet_addr(text.c_str());
    if (a == INADDR_NONE) return std::nullopt;
    return ntohl(a);
}

// The classic host-entry look-up: the first address as the entry lists it.
std::optional<std::uint32_t> LookUpHostName(const std::string& name) {
    const hostent* found = ::gethostbyname(name.c_str());
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list == nullptr ||
        found->h_addr_list[0] == nullptr)
        return std::nullopt;
    in_addr a;
    std::memcpy(&a, found->h_addr_list[0], sizeof a);
    return ntohl(a.s_addr);
}

namespace calls {
namespace {

SOCKET Sock(SocketHandle h) { return static_cast<SOCKET>(h); }

}  // namespace

int LastSocketError() { return WSAGetLastError(); }

// Windows reports a datagram's "port unreachable" on the next receive as a
// reset connection; Wine passes on Linux's refused one.
SocketFault Classify(int code, SocketKind kind) {
    switch (code) {
        case 0: return SocketFault::None;
        case WSAEWOULDBLOCK:
        case WSAEINPROGRESS: return SocketFault::WouldBlock;
        case WSAEMSGSIZE: return SocketFault::MessageTooLong;
        case WSAECONNREFUSED: return kind == SocketKind::Datagram ? SocketFault::Unreachable : SocketFault::Refused;
        case WSAECONNRESET: return kind == SocketKind::Datagram ? SocketFault::Unreachable : SocketFault::Reset;
        case WSAECONNABORTED: return SocketFault::Reset;
        case WSAENOTCONN:
        case WSAEDESTADDRREQ: return SocketFault::NotConnected;
        default: return SocketFault::Other;
    }
}

SocketHandle CreateSocket(SocketKind kind) {
    const SOCKET s =
        kind == SocketKind::Datagram ? ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP) : ::socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

int SetNonBlocking(SocketHandle h) {
    u_long on = 1;
    return ::ioctlsocket(Sock(h), FIONBIO, &on);
}

int Connect(SocketHandle h, std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return ::connect(Sock(h), reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

// Windows raises no signal for a broken connection.
int Send(SocketHandle h, const void* bytes, std::int32_t count) {
    return ::send(Sock(h), static_cast<const char*>(bytes), count, 0);
}

// Windows fails a cut datagram by itself, and keeps failing every receive
// on a stream after a reset.
int Receive(SocketHandle h, SocketKind, void* bytes, std::int32_t count) {
    return ::recv(Sock(h), static_cast<char*>(bytes), count, 0);
}

bool Readable(SocketHandle h) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Sock(h), &readable);
    timeval now{0, 0};
    return ::select(0, &readable, nullptr, nullptr, &now) > 0;
}

Handshake HandshakeState(SocketHandle h) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Sock(h), &writable);
    FD_SET(Sock(h), &failed);
    timeval now{0, 0};
    if (::select(0, nullptr, &writable, &failed, &now) <= 0) return Handshake::Pending;
    return FD_ISSET(Sock(h), &failed) ? Handshake::Failed : Handshake::Connected;
}

bool LocalAddress(SocketHandle h, SocketEndpoint& local) {
    sockaddr_in a{};
    int size = sizeof a;
    if (::getsockname(Sock(h), reinterpret_cast<sockaddr*>(&a), &size) != 0 || a.sin_family != AF_INET) return false;
    local = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
    return true;
}

int ShutdownBoth(SocketHandle h) { return ::shutdown(Sock(h), SD_BOTH); }

int CloseSocket(SocketHandle h) { return ::closesocket(Sock(h)); }

}  // namespace calls
}  // namespace platform
