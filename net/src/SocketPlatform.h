#pragma once

// The few places where Windows Sockets and BSD sockets differ in spelling.
// Everything above this file is written once for both.

#include <cstdint>

#include "Sockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace net_platform {

inline constexpr int SocketError = -1;

#ifdef _WIN32
inline constexpr int ShutdownBoth = SD_BOTH;
inline constexpr int ErrInvalidArgument = WSAEINVAL;
inline constexpr int ErrAddressNotAvailable = WSAEADDRNOTAVAIL;
inline constexpr int ErrNotConnected = WSAENOTCONN;
// Windows raises no signal for a broken connection.
inline constexpr int SendFlags = 0;

inline int LastSocketError() { return WSAGetLastError(); }
inline void SetLastSocketError(int code) { WSASetLastError(code); }
inline int CloseSocketHandle(TSocketHandle h) { return closesocket(h); }
// Windows keeps reporting a reset on every later receive.
inline bool StreamFailed(TSocketHandle) { return false; }
inline int SetNonBlocking(TSocketHandle h) {
    u_long on = 1;
    return ioctlsocket(h, FIONBIO, &on);
}
#else
inline constexpr int ShutdownBoth = SHUT_RDWR;
inline constexpr int ErrInvalidArgument = EINVAL;
inline constexpr int ErrAddressNotAvailable = EADDRNOTAVAIL;
inline constexpr int ErrNotConnected = ENOTCONN;
// A send on a connection the peer has reset must give -1, not end the
// process by SIGPIPE.
inline constexpr int SendFlags = MSG_NOSIGNAL;

inline int LastSocketError() { return errno; }
inline void SetLastSocketError(int code) { errno = code; }
inline int CloseSocketHandle(TSocketHandle h) { return ::close(h); }
// Linux reports a reset or a refused handshake once and afterwards lets recv
// return 0, as if the peer had closed in order. Only a connection that
// failed is in the closed state: an orderly close from the peer leaves ours
// waiting for our own close.
inline bool StreamFailed(TSocketHandle h) {
    tcp_info info{};
    socklen_t size = sizeof info;
    return ::getsockopt(h, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_CLOSE;
}
inline int SetNonBlocking(TSocketHandle h) {
    int on = 1;
    return ::ioctl(h, FIONBIO, &on);
}
#endif

// A failure that never reached the system, reported the way the system
// reports its own.
inline int Fail(int code) {
    SetLastSocketError(code);
    return SocketError;
}

}  // namespace net_platform
