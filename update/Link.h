// One of the two connections to a meter: the Modbus TCP client or the
// bootloader's datagram endpoint.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/Socket.h"

namespace update {

// What one receive stored, at the head of the buffer it was given.
struct ReceivedBytes {
    std::span<uint8_t> bytes;
    // A datagram longer than the buffer: only its head was stored, the rest is lost.
    bool cut = false;
};

// Never waits and never raises.
class Link {
public:
    virtual ~Link() = default;
    // Points the link at host and opens it. The same host leaves an open
    // link as it is, queue included; another host reopens it.
    virtual void Open(const std::string& host) = 0;
    virtual void Close() = 0;
    // The head of `bytes` the system took; empty when it took none.
    virtual std::span<const uint8_t> Send(std::span<const uint8_t> bytes) = 0;
    // Takes what has arrived into `buffer` (for datagrams: the oldest one);
    // nothing when nothing has, or the link failed.
    virtual std::optional<ReceivedBytes> Receive(std::span<uint8_t> buffer) = 0;
    // Something waits to be received.
    virtual bool Readable() const = 0;
    // A stream's handshake; a datagram link has its peer at once.
    virtual platform::Handshake HandshakeState() const { return platform::Handshake::Connected; }
    // The system handle a pacer can wait on, where there is one.
    virtual platform::SocketHandle Handle() const { return platform::kNoSocket; }
};

}  // namespace update
