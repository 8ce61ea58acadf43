#include "platform/Socket.h"

#include <utility>

#include "platform/SocketCalls.h"

namespace platform {
namespace {

SocketResult Checked(int result, SocketKind kind) {
    if (result != -1) return {result};
    const int code = calls::LastSocketError();
    return {-1, calls::Classify(code, kind), code};
}

constexpr SocketResult kNegativeCount{-1, SocketFault::BadArgument, 0};

}  // namespace

Socket::~Socket() { Close(); }

SocketResult Socket::Open(SocketKind kind) {
    Close();
    kind_ = kind;
    handle_ = calls::CreateSocket(kind);
    if (handle_ == kNoSocket) return Checked(-1, kind);
    // Before connect, so that a stream's connect only starts the handshake.
    // Should it fail, the socket stays open in blocking mode.
    return Checked(calls::SetNonBlocking(handle_), kind);
}

SocketResult Socket::Connect(std::uint32_t address, std::uint16_t port) {
    return Checked(calls::Connect(handle_, address, port), kind_);
}

SocketResult Socket::Send(const void* bytes, std::int32_t count) {
    if (count < 0) return kNegativeCount;
    return Checked(calls::Send(handle_, bytes, count), kind_);
}

SocketResult Socket::Receive(void* bytes, std::int32_t count) {
    if (count < 0) return kNegativeCount;
    return Checked(calls::Receive(handle_, kind_, bytes, count), kind_);
}

bool Socket::Readable() const { return IsOpen() && calls::Readable(handle_); }

Handshake Socket::HandshakeState() const {
    if (!IsOpen()) return Handshake::Failed;
    return kind_ == SocketKind::Datagram ? Handshake::Connected : calls::HandshakeState(handle_);
}

std::optional<SocketEndpoint> Socket::LocalAddress() const {
    SocketEndpoint local;
    if (!IsOpen() || !calls::LocalAddress(handle_, local)) return std::nullopt;
    return local;
}

SocketResult Socket::Shutdown() { return Checked(calls::ShutdownBoth(handle_), kind_); }

SocketResult Socket::Close() {
    if (!IsOpen()) return {0};
    return Checked(calls::CloseSocket(std::exchange(handle_, kNoSocket)), kind_);
}

}  // namespace platform
