#include "update/BootModeRequest.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace update {
namespace {

RoundTripEstimate::Duration Between(Pacer::TimePoint from, Pacer::TimePoint to) {
    return std::chrono::duration_cast<RoundTripEstimate::Duration>(to - from);
}

}  // namespace

bool BootModeRequester::Connect(const std::string& address, std::chrono::milliseconds limit) {
    const TimePoint opened = pacer_.Now();
    modbus_.Open(address);
    // The handshake is the first measurement of the round trip. The request
    // waits for it, but no less than the designed time.
    pacer_.WaitConnected(modbus_, opened + std::max(limit, protocol::kConnectWait));
    if (modbus_.HandshakeState() != platform::Handshake::Pending)
        roundTrip_.Sample(Between(opened, pacer_.Now()), true);
    return pacer_.WaitUnlessCancelled(opened + protocol::kConnectWait);
}

std::optional<protocol::BootModeAnswer> BootModeRequester::Ask(const std::string& password) {
    const auto frame = protocol::BootModeRequest{password}.Encode();
    const TimePoint sent = sent_ = pacer_.Now();
    modbus_.Send(frame);
    // The answer is read when the designed wait is over; its moment is a
    // measurement of the round trip all the same.
    if (pacer_.WaitReadable(modbus_, sent + protocol::kModbusAnswerWait))
        roundTrip_.Sample(Between(sent, pacer_.Now()));
    pacer_.WaitUntil(sent + protocol::kModbusAnswerWait);
    // A link slower than the design gets the time it needs; the answer ends that wait.
    if (!modbus_.Readable()) pacer_.WaitReadable(modbus_, sent + roundTrip_.Needed());
    return ReadAnswer();
}

std::optional<protocol::BootModeAnswer> BootModeRequester::LateAnswer(TimePoint deadline) {
    if (pacer_.WaitReadable(modbus_, deadline)) return ReadAnswer();
    // Still nothing: a meter that is there sits behind a slow link.
    roundTrip_.TimedOut();
    return std::nullopt;
}

std::optional<protocol::BootModeAnswer> BootModeRequester::ReadAnswer() {
    std::array<uint8_t, protocol::BootModeAnswer::kAcceptedSize> answer{};
    const auto got = modbus_.Receive(answer);
    if (!got || got->bytes.empty()) return std::nullopt;
    if (pacer_.Now() > sent_ + protocol::kModbusAnswerWait) roundTrip_.Sample(Between(sent_, pacer_.Now()));
    return protocol::BootModeAnswer::Decode(got->bytes);
}

}  // namespace update
