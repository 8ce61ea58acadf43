// Non-blocking IPv4 sockets over the system's socket calls, and the address
// look-ups the links need. No call here waits for the network except a host
// name look-up, and none raises: a failure is a result of -1 with its fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform {

// A descriptor on POSIX, a SOCKET on Windows.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Raised only when the system's socket library cannot be started or
// released; the message is the name of the failing call.
class SocketLibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Once at program start, before any socket exists, and once at its end.
// Windows asks for Winsock 1.1; elsewhere there is nothing to do.
void StartSocketLibrary();
void StopSocketLibrary();

// Raises this process's limit of open sockets (with files and the like) to
// at least `count` where the system allows a process to, and returns the
// limit then: POSIX counts descriptors against a soft limit that may be
// raised up to a hard one; Windows has no such limit (the count itself).
std::size_t MakeRoomForSockets(std::size_t count);

enum class SocketKind { Datagram, Stream };

// Where a stream's handshake stands; a datagram socket's peer is set at once.
enum class Handshake { Pending, Connected, Failed };

// Why a call failed, in the same terms on every system.
enum class SocketFault {
    None,
    WouldBlock,      // nothing has arrived; or a stream's handshake is still under way
    MessageTooLong,  // a datagram longer than the buffer: its head was stored, its tail is lost
    Unreachable,     // a datagram sent earlier met a closed port; reported once
    Refused,         // a stream's handshake was refused; reported once
    Reset,           // the peer reset the stream
    NotConnected,    // a stream that failed earlier, or a socket with no peer
    BadArgument,     // a negative count, refused before the system sees it
    Other,
};

// An IPv4 address and port, both in host byte order.
struct SocketEndpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const SocketEndpoint&) const = default;
};

struct SocketResult {
    std::int32_t value = -1;  // the call's count or 0; -1 when it failed
    SocketFault fault = SocketFault::None;
    int code = 0;  // the system's own error number, for a report
};

// One socket, non-blocking from its creation on, closed with the object.
// Calls on a socket that is not open reach the system, which refuses them.
class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Closes what was open and makes a new socket; stays closed when the
    // system has none to give.
    SocketResult Open(SocketKind kind);
    bool IsOpen() const { return handle_ != kNoSocket; }
    SocketHandle Handle() const { return handle_; }

    // A datagram socket gets its peer without any traffic: only the peer's
    // datagrams are received from then on. A stream socket starts its
    // handshake and fails with WouldBlock.
    SocketResult Connect(std::uint32_t address, std::uint16_t port);
    // The count the system took. A stream that failed gives -1, not a signal.
    SocketResult Send(const void* bytes, std::int32_t count);
    // Datagram: the oldest one, one per call; one longer than count leaves
    // its first count bytes and gives -1 (MessageTooLong). Stream: what has
    // arrived, up to count; 0 once the peer has closed in order, and -1 on
    // every call after the stream failed.
    SocketResult Receive(void* bytes, std::int32_t count);
    // Something waits to be received, or a failure the next receive reports.
    // Never waits; false on a socket that is not open.
    bool Readable() const;
    // Never waits. A socket that is not open has failed.
    Handshake HandshakeState() const;
    // The address and port the system gave this end (getsockname): known
    // once the socket is connected or its handshake has begun.
    std::optional<SocketEndpoint> LocalAddress() const;
    // Ends both directions of a connected socket.
    SocketResult Shutdown();
    SocketResult Close();

private:
    SocketHandle handle_ = kNoSocket;
    SocketKind kind_ = SocketKind::Datagram;
};

// Addresses are numbers in host byte order: 10.0.0.1 is 0x0A000001.

// The classic dotted-address parser (one to four parts, octal and hex
// parts); nothing for a text that is no address, and for 255.255.255.255.
std::optional<std::uint32_t> ParseDottedAddress(const std::string& text);

// A synchronous host name look-up: the first IPv4 address as the name's
// entry lists it, or nothing for an unknown name.
std::optional<std::uint32_t> LookUpHostName(const std::string& name);

}  // namespace platform
