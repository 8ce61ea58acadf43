#include "net/SocketLink.h"

#include <algorithm>

#include "net/SocketAddress.h"

namespace net {

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
    socket_.Close();
}

std::span<const uint8_t> SocketLink::Send(std::span<const uint8_t> bytes) {
    const int32_t taken = socket_.Send(bytes.data(), static_cast<int32_t>(bytes.size())).value;
    return bytes.first(static_cast<size_t>(std::max(taken, 0)));
}

std::optional<update::ReceivedBytes> SocketLink::Receive(std::span<uint8_t> buffer) {
    const platform::SocketResult r = socket_.Receive(buffer.data(), static_cast<int32_t>(buffer.size()));
    if (r.fault == platform::SocketFault::MessageTooLong) return update::ReceivedBytes{buffer, true};
    if (r.value < 0) return std::nullopt;
    return update::ReceivedBytes{buffer.first(static_cast<size_t>(r.value))};
}

}  // namespace net
