// A link to one meter over one of the system's sockets: the bootloader's
// datagrams, or the Modbus TCP connection.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "update/Pacer.h"
#include "platform/Socket.h"

namespace net {

enum class Transport { Udp, Tcp };

// Told of what a link's socket exchanged, as the system took and gave it:
// every send it took bytes of, and every receive that gave bytes. Called on
// the thread that uses the link.
class LinkTap {
public:
    virtual ~LinkTap() = default;
    // `offered` is what the link was asked to send; the system took its
    // first `taken` bytes.
    virtual void Sent(Transport transport, const platform::SocketEndpoint& local,
                      const platform::SocketEndpoint& remote, std::span<const uint8_t> offered, size_t taken) = 0;
    virtual void Received(Transport transport, const platform::SocketEndpoint& local,
                          const platform::SocketEndpoint& remote, std::span<const uint8_t> bytes) = 0;
};

// Non-blocking from its opening on: no call waits for the network (except
// the name look-up of a host text that does not begin with a digit) and
// none raises. A failure shows only as a send that took nothing, a receive
// that gives nothing, or a link that stays unconnected.
class SocketLink final : public update::Link {
public:
    SocketLink(Transport transport, std::uint16_t port);
    ~SocketLink() override;
    SocketLink(const SocketLink&) = delete;
    SocketLink& operator=(const SocketLink&) = delete;

    // The same host text (compared exactly) leaves an open link as it is,
    // its queue included; another text closes it first. Opening makes a
    // socket and connects it, unless the text names no peer.
    void Open(const std::string& host) override;
    // A connected link is shut down in both directions first; whatever is
    // queued is lost.
    void Close() override;
    std::span<const uint8_t> Send(std::span<const uint8_t> bytes) override;
    // Datagrams: the oldest, one per call; one longer than the buffer gives
    // its head, marked cut. Stream: what has arrived, up to the buffer's
    // size; no bytes once the meter has closed in order. Nothing when nothing
    // has arrived, and on every call once the connection failed.
    std::optional<update::ReceivedBytes> Receive(std::span<uint8_t> buffer) override;
    bool Readable() const override { return socket_.Readable(); }
    platform::Handshake HandshakeState() const override { return socket_.HandshakeState(); }
    platform::SocketHandle Handle() const override { return socket_.Handle(); }

    // Another port closes an open link; the next Open connects to it.
    void SetRemotePort(std::uint16_t port);
    std::uint16_t RemotePort() const { return port_; }
    bool IsOpen() const { return socket_.IsOpen(); }
    // Connected at once: a datagram link whose text named a peer. A stream
    // link never is; its handshake runs on, and its first send succeeds or not.
    bool Connected() const { return connected_; }
    // Null: nobody is told. The tap must outlive its use here.
    void SetTap(LinkTap* tap) { tap_ = tap; }

private:
    // This end as the system bound it, asked once per socket.
    const platform::SocketEndpoint& Local();

    platform::SocketKind kind_;
    std::uint16_t port_;
    std::string host_;
    platform::Socket socket_;
    bool connected_ = false;
    LinkTap* tap_ = nullptr;
    platform::SocketEndpoint remote_{};
    std::optional<platform::SocketEndpoint> local_;
};

}  // namespace net
