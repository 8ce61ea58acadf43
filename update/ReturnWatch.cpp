#include "update/ReturnWatch.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace update {
namespace {

// The designed pace of the watch: an attempt a second, each waiting a
// second for its connect and its answer.
constexpr std::chrono::seconds kAttemptPeriod{1};

std::string UpToZero(std::span<const uint8_t> bytes) {
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
}

}  // namespace

ReturnFacts ReturnWatch::Watch(const std::string& address, const UpdateResult& run, std::chrono::seconds limit,
                               UpdateListener& listener) {
    ReturnFacts facts;
    facts.limit = limit;
    // A slow link stretches every wait as it stretched the update's: twice
    // the round trip that nineteen answers in twenty came within.
    const auto slow =
        std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(2 * run.roundTrip.p95Ms));
    const Duration wait = std::max<Duration>(kAttemptPeriod, slow);
    const TimePoint end = run.resetAt + limit;
    const auto sinceReset = [&run, this] {
        return std::chrono::duration_cast<std::chrono::seconds>(pacer_.Now() - run.resetAt);
    };
    // One attempt at least, however short the limit: the pause after "RESET" may have used it up.
    TimePoint attempt = pacer_.Now();
    for (bool first = true; first || attempt < end;
         first = false, attempt = std::max(attempt + kAttemptPeriod, pacer_.Now())) {
        if (!pacer_.WaitUnlessCancelled(attempt)) break;
        listener.Awaiting(sinceReset());
        if (const auto answer = Reach(address, attempt + wait, wait)) {
            facts.state = ReturnState::Back;
            facts.backAfterS = std::chrono::duration<double>(pacer_.Now() - run.resetAt).count();
            facts.vendor = answer->vendor;
            facts.product = answer->product;
            facts.revision = answer->revision;
            listener.Returned(facts);
            return facts;
        }
    }
    // The meter has its whole limit, even after an attempt that was refused at once.
    if (!pacer_.WaitUnlessCancelled(end)) {
        facts.stopped = true;
        listener.Returned(facts);
        return facts;
    }
    const auto bootloader = AskBootloader(address, std::max<Duration>(protocol::kIdentifyWait, slow));
    facts.state = bootloader ? ReturnState::InBootloader : ReturnState::NoAnswer;
    facts.bootloader = bootloader.value_or("");
    facts.stopped = pacer_.Cancelled();
    listener.Returned(facts);
    return facts;
}

std::optional<protocol::DeviceIdAnswer> ReturnWatch::Reach(const std::string& address, TimePoint deadline,
                                                           Duration wait) {
    // A fresh connection each time: the last one may have been refused.
    modbus_.Close();
    modbus_.Open(address);
    std::optional<protocol::DeviceIdAnswer> answer;
    if (pacer_.WaitConnected(modbus_, deadline)) {
        const auto request = protocol::DeviceIdRequest{}.Encode();
        if (modbus_.Send(request).size() == request.size()) answer = ReadAnswer(pacer_.Now() + wait);
    }
    modbus_.Close();
    return answer;
}

std::optional<protocol::DeviceIdAnswer> ReturnWatch::ReadAnswer(TimePoint deadline) {
    std::array<uint8_t, protocol::DeviceIdAnswer::kMaxSize> buffer{};
    size_t got = 0;
    while (got < buffer.size() && pacer_.WaitReadableUnlessCancelled(modbus_, deadline)) {
        const auto received = modbus_.Receive(std::span(buffer).subspan(got));
        // Closed or failed: no answer on this connection.
        if (!received || received->bytes.empty()) return std::nullopt;
        got += received->bytes.size();
        const size_t whole = protocol::DeviceIdAnswer::WholeSize(std::span(buffer).first(got));
        if (got >= 6 && whole == 0) return std::nullopt;  // not a Modbus answer
        if (whole != 0 && got >= whole) return protocol::DeviceIdAnswer::Decode(std::span(buffer).first(whole));
    }
    return std::nullopt;
}

std::optional<std::string> ReturnWatch::AskBootloader(const std::string& address, Duration wait) {
    boot_.Open(address);
    std::array<uint8_t, protocol::Identity::kSize> buffer{};
    // Whatever is still queued from the update is no answer to this "VER?".
    while (boot_.Readable() && boot_.Receive(buffer)) {
    }
    boot_.Send(protocol::IdentifyRequest{}.Encode());
    const TimePoint deadline = pacer_.Now() + wait;
    while (pacer_.WaitReadableUnlessCancelled(boot_, deadline)) {
        const auto received = boot_.Receive(buffer);
        if (!received) return std::nullopt;
        if (!received->bytes.empty()) return UpToZero(received->bytes);
    }
    return std::nullopt;
}

}  // namespace update
