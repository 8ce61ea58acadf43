#include "SocketLink.h"

#include "SocketAddress.h"

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

int32_t SocketLink::Send(const uint8_t* bytes, int32_t count) { return socket_.Send(bytes, count).value; }

int32_t SocketLink::Receive(uint8_t* bytes, int32_t count) { return socket_.Receive(bytes, count).value; }

}  // namespace net
