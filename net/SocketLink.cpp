#include "net/SocketLink.h"

#include <algorithm>

#include "net/SocketAddress.h"

namespace net {
namespace {

Transport Kind(platform::SocketKind kind) {
    return kind == platform::SocketKind::Datagram ? Transport::Udp : Transport::Tcp;
}

}  // namespace

SocketLink::SocketLink(Transport transport, std::uint16_t port)
    : kind_(transport == Transport::Udp ? platform::SocketKind::Datagram : platform::SocketKind::Stream), port_(port) {}

SocketLink::~SocketLink() { Close(); }

void SocketLink::Open(const std::string& host) {
    if (host != host_) {
        Close();
        host_ = host;
    }
    if (socket_.IsOpen()) return;
    socket_.Open(kind_);  // should it stay blocking, it is still open
    if (!socket_.IsOpen()) return;
    const std::uint32_t address = HostToIPv4(host_);
    remote_ = {address, port_};
    // A stream's connect only starts the handshake and fails here; nothing
    // looks at its outcome later.
    connected_ = IsConnectable(address, port_) && socket_.Connect(address, port_).value == 0;
}

void SocketLink::SetRemotePort(std::uint16_t port) {
    if (port == port_) return;
    Close();
    port_ = port;
}

void SocketLink::Close() {
    if (connected_) socket_.Shutdown();
    connected_ = false;
    local_.reset();
    socket_.Close();
}

const platform::SocketEndpoint& SocketLink::Local() {
    if (!local_) local_ = socket_.LocalAddress().value_or(platform::SocketEndpoint{});
    return *local_;
}

std::span<const uint8_t> SocketLink::Send(std::span<const uint8_t> bytes) {
    const int32_t taken = socket_.Send(bytes.data(), static_cast<int32_t>(bytes.size())).value;
    if (tap_ != nullptr && taken > 0) tap_->Sent(Kind(kind_), Local(), remote_, bytes, static_cast<size_t>(taken));
    return bytes.first(static_cast<size_t>(std::max(taken, 0)));
}

std::optional<update::ReceivedBytes> SocketLink::Receive(std::span<uint8_t> buffer) {
    const platform::SocketResult r = socket_.Receive(buffer.data(), static_cast<int32_t>(buffer.size()));
    const bool cut = r.fault == platform::SocketFault::MessageTooLong;
    if (!cut && r.value < 0) return std::nullopt;
    const std::span<uint8_t> given = cut ? buffer : buffer.first(static_cast<size_t>(r.value));
    if (tap_ != nullptr && !given.empty()) tap_->Received(Kind(kind_), Local(), remote_, given);
    return update::ReceivedBytes{given, cut};
}

}  // namespace net
