// The boot-mode request over Modbus TCP: the connection, the request frame
// and its answer. Their moments are the first measurements of the link's
// round trip, which the bootloader's exchanges then follow.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "protocol/Frames.h"
#include "update/Link.h"
#include "update/Pacer.h"
#include "update/RoundTrip.h"

namespace update {

class BootModeRequester {
public:
    using TimePoint = Pacer::TimePoint;

    BootModeRequester(Pacer& pacer, Link& modbus, RoundTripEstimate& roundTrip)
        : pacer_(pacer), modbus_(modbus), roundTrip_(roundTrip) {}

    // Opens the connection and waits for its handshake up to `limit`, and for
    // the designed time in any case; false when a stop came first: nothing
    // was sent.
    bool Connect(const std::string& address, std::chrono::milliseconds limit);
    // Sends the request and reads its answer once the designed wait is over,
    // or as soon as it comes on a link slower than the design; nothing when
    // no byte came.
    std::optional<protocol::BootModeAnswer> Ask(const std::string& password);
    // The connection stands: an answer that missed its wait may still come.
    bool Connected() const { return modbus_.HandshakeState() == platform::Handshake::Connected; }
    // The answer that missed its wait, as soon as it comes before `deadline`;
    // nothing when none did.
    std::optional<protocol::BootModeAnswer> LateAnswer(TimePoint deadline);
    void Close() { modbus_.Close(); }

private:
    std::optional<protocol::BootModeAnswer> ReadAnswer();

    Pacer& pacer_;
    Link& modbus_;
    RoundTripEstimate& roundTrip_;
    TimePoint sent_{};  // the request left then
};

}  // namespace update
