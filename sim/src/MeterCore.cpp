#include "sim/src/MeterCore.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

namespace sim {
namespace {

// splitmix64: each exchange draws from its own stream, derived from the seed
// and the exchange number, so a fault falls on the same exchange however the
// datagrams were timed.
class ExchangeRandom {
public:
    ExchangeRandom(uint64_t seed, uint32_t exchange) : state_(seed + exchange * 0x9E3779B97F4A7C15ull) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Percent() { return static_cast<double>(Next() >> 11) * 0x1.0p-53 * 100.0; }

private:
    uint64_t state_;
};

void AddFault(Event& e, const std::string& what) {
    if (!e.fault.empty()) e.fault += ",";
    e.fault += what;
}

// Uniform in rtt +- jitter; the draw is the stream's last, so every fault
// drawn before it falls where it did without a slow link.
void CrossSlowLink(const Faults& f, ExchangeRandom& random, std::vector<Send>& sends, Event& e) {
    if (f.rttMs <= 0 && f.rttJitterMs <= 0) return;
    for (size_t i = 0; i < sends.size(); ++i) {
        const double offset = (static_cast<double>(random.Next() >> 11) * 0x1.0p-53 * 2.0 - 1.0) * f.rttJitterMs;
        sends[i].linkMs = std::max(0, f.rttMs + static_cast<int>(std::lround(offset)));
        if (i == 0) AddFault(e, "rtt:" + std::to_string(sends[i].linkMs));
    }
}

bool Matches(const FaultRule& rule, uint32_t exchange, BootCommand command, const BootFrame& frame) {
    if (rule.exchange && rule.exchange != exchange) return false;
    if (rule.every && exchange % rule.every != 0) return false;
    if (rule.blockAddress && (command != BootCommand::Write || frame.address != *rule.blockAddress)) return false;
    if (!rule.command.empty() && rule.command != CommandLabel(command)) return false;
    return true;
}

// The answer of one exchange on its way out, as the matching rules change it.
struct Outgoing {
    Bytes answer;
    bool answers = true;
    Send send;
    bool duplicated = false;
    int copyLagMs = 0;
};

// The rules in their order; each is named in the event.
void ApplyRules(const std::vector<const FaultRule*>& rules, ExchangeRandom& random, Outgoing& out, Event& e) {
    Bytes& answer = out.answer;
    for (const FaultRule* rule : rules) {
        AddFault(e, FaultRuleName(*rule));
        switch (rule->action) {
            case FaultAction::Drop: out.answers = false; break;
            case FaultAction::Delay: out.send.delayMs = std::max(out.send.delayMs, rule->delayMs); break;
            case FaultAction::Duplicate:
                out.duplicated = true;
                out.copyLagMs = std::max(out.copyLagMs, rule->lagMs);
                break;
            case FaultAction::Wrong:
                if (!answer.empty()) {
                    uint8_t b = answer[0];
                    while (b == answer[0] || b == 'O') b = static_cast<uint8_t>(random.Next());
                    answer[0] = b;
                }
                break;
            case FaultAction::Short:
                if (!answer.empty()) answer.pop_back();
                break;
            case FaultAction::Oversized: answer.push_back('\n'); break;
            case FaultAction::Zeroed: std::fill(answer.begin(), answer.end(), uint8_t{0}); break;
            case FaultAction::Script:
                answer = rule->payload;
                out.answers = true;
                break;
            case FaultAction::ForeignPort: out.send.foreignPort = true; break;
            case FaultAction::Reboot: break;
        }
    }
    // A drop wins over a script whichever came first in the list.
    if (std::any_of(rules.begin(), rules.end(), [](auto* x) { return x->action == FaultAction::Drop; }))
        out.answers = false;
}

// The answer and its copy travel on their own, so the way back loses each
// apart from the other. The copy's draw comes last, so that every other draw
// of the exchange stays as it was.
void SendBack(Outgoing& out, bool lostOut, double lossOutPercent, ExchangeRandom& random, Reaction& r) {
    Event& e = r.event;
    const bool copyLost = out.duplicated && random.Percent() < lossOutPercent;
    out.send.bytes = out.answer;
    if (lostOut)
        AddFault(e, "lost-out");
    else
        r.sends.push_back(out.send);
    if (out.duplicated) {
        if (copyLost) {
            AddFault(e, "copy-lost-out");
        } else {
            Send copy = out.send;
            copy.delayMs += out.copyLagMs;
            r.sends.push_back(std::move(copy));
        }
    }
    if (!r.sends.empty()) e.answer = std::move(out.answer);
}

}  // namespace

MeterCore::MeterCore(const MeterOptions& o)
    : identity_(o.identity),
      password_(o.password),
      bootDelayMs_(std::max(0, o.bootDelayMs)),
      bootTimeMs_(std::max(0, o.bootTimeMs)),
      seed_(o.seed),
      faults_(o.faults),
      phase_(o.bootloaderFromStart ? Phase::Bootloader : Phase::Application) {
    if (o.deviceId) deviceId_ = {o.vendor, o.product, o.revision};
    for (const auto& text : deviceId_)
        if (text.size() > kMaxDeviceIdText)
            throw std::invalid_argument("device identification longer than " + std::to_string(kMaxDeviceIdText) +
                                        " characters: " + text);
}

void MeterCore::EnterBootloader() {
    if (phase_ == Phase::Bootloader) return;
    phase_ = Phase::Bootloader;
    ++restarts_;  // a restart still under way ends here
}

void MeterCore::Restart(Reaction& r, AfterReset then) {
    phase_ = then == AfterReset::StaysInBootloader ? Phase::Bootloader : Phase::Restarting;
    afterBoot_ = then;
    r.restart = ++restarts_;
    r.bootEndsInMs = bootTimeMs_;
}

std::optional<Event> MeterCore::BootEnds(uint64_t restart) {
    if (restart != restarts_) return std::nullopt;
    ++restarts_;  // each boot ends once
    Event e;
    e.command = "BOOT";
    e.checksum = "-";
    if (afterBoot_ == AfterReset::Back)
        phase_ = Phase::Application;
    else
        AddFault(e, AfterResetName(afterBoot_));
    e.inBootloader = InBootloader();
    return e;
}

Reaction MeterCore::OnDatagram(ByteView datagram) {
    Reaction r;
    Event& e = r.event;
    const BootFrame frame = DecodeBootFrame(datagram);
    e.command = CommandLabel(frame.command);
    e.address = frame.address;
    e.length = datagram.size();
    e.checksum = ChecksumLabel(frame.checksum);
    e.inBootloader = InBootloader();
    if (!InBootloader()) {
        // The application has no bootloader service, and a restarting meter
        // nothing at all: no answer.
        AddFault(e, "ignored");
        return r;
    }
    const uint32_t exchange = ++exchanges_;
    ExchangeRandom random(seed_, exchange);
    const bool lostIn = random.Percent() < faults_.lossInPercent;
    const bool lostOut = random.Percent() < faults_.lossOutPercent;
    if (lostIn) {
        AddFault(e, "lost-in");
        return r;
    }
    std::vector<const FaultRule*> rules;
    for (const auto& rule : faults_.rules)
        if (Matches(rule, exchange, frame.command, frame)) rules.push_back(&rule);
    if (std::any_of(rules.begin(), rules.end(), [](auto* x) { return x->action == FaultAction::Reboot; })) {
        // Not a "RESET": the whole-meter faults of one do not apply.
        Restart(r, AfterReset::Back);
        AddFault(e, "reboot");
        return r;
    }
    Outgoing out;
    if (std::optional<Bytes> answer = Handle(frame, e))
        out.answer = std::move(*answer);
    else
        out.answers = false;
    if (frame.command == BootCommand::Reset) Restart(r, faults_.afterReset);
    ApplyRules(rules, random, out, e);
    if (!out.answers) return r;
    SendBack(out, lostOut, faults_.lossOutPercent, random, r);
    CrossSlowLink(faults_, random, r.sends, e);
    return r;
}

std::optional<Bytes> MeterCore::Handle(const BootFrame& frame, Event& e) {
    if (frame.error != FrameError::None) return ErrorAnswer(frame.error);
    switch (frame.command) {
        case BootCommand::Identify: return identity_;
        case BootCommand::Erase: flash_.EraseApplication(); return OkAnswer();
        case BootCommand::Write:
            if (!flash_.Program(frame.address, frame.data)) {
                ++programFaults_;
                AddFault(e, "program-over-unerased");
            }
            return OkAnswer();
        case BootCommand::Reset:
            // The meter restarts; nothing comes back.
            return std::nullopt;
        case BootCommand::Unknown: break;
    }
    return ErrorAnswer(FrameError::Command);
}

Reaction MeterCore::OnModbusRequest(ByteView adu) {
    Reaction r;
    Event& e = r.event;
    e.command = "MODBUS";
    e.function = adu.size() > 7 ? adu[7] : 0;
    e.length = adu.size();
    e.checksum = "-";
    e.inBootloader = InBootloader();
    if (phase_ == Phase::Restarting) {
        // A connection from before the restart: nothing on the meter runs to answer it.
        AddFault(e, "ignored");
        return r;
    }
    if (adu.size() >= 6 && static_cast<size_t>(adu[4] << 8 | adu[5]) != adu.size() - 6) {
        // The header's length disagrees with the request's own layout: the next
        // request's start is unknown, so the stream is given up.
        AddFault(e, "framing");
        r.closeConnection = true;
        return r;
    }
    const ModbusVerdict v = DecideModbusRequest(adu, password_, !deviceId_.empty());
    e.address = v.startRegister;
    if (v.kind == ModbusVerdict::Kind::Ignore) {
        AddFault(e, "ignored");
        return r;
    }
    Bytes answer;
    if (faults_.modbusException) {
        answer = ModbusExceptionAnswer(adu, static_cast<uint8_t>(faults_.modbusException));
        AddFault(e, "exception:" + std::to_string(faults_.modbusException));
    } else if (v.kind == ModbusVerdict::Kind::Accept) {
        answer = ModbusNormalAnswer(adu);
        r.enterBootloaderInMs = bootDelayMs_;
    } else if (v.kind == ModbusVerdict::Kind::Identify) {
        answer = ModbusDeviceIdAnswer(adu, v.firstObject, deviceId_);
    } else {
        answer = ModbusExceptionAnswer(adu, v.exceptionCode);
    }
    e.answer = answer;
    const int delay = std::max(0, faults_.modbusDelayMs);
    if (delay) AddFault(e, "delay:" + std::to_string(delay));
    const size_t split = static_cast<size_t>(std::max(0, faults_.modbusSplitBytes));
    if (split > 0 && split < answer.size()) {
        const int later = delay + std::max(0, faults_.modbusSplitDelayMs);
        AddFault(e, "split:" + std::to_string(split) + ":" + std::to_string(faults_.modbusSplitDelayMs));
        r.sends.push_back({delay, Bytes(answer.begin(), answer.begin() + static_cast<long>(split)), false});
        r.sends.push_back({later, Bytes(answer.begin() + static_cast<long>(split), answer.end()), false});
    } else {
        r.sends.push_back({delay, std::move(answer), false});
    }
    // A stream of its own, apart from the bootloader's exchanges, so the
    // bootloader's faults fall where they do without a slow link.
    ExchangeRandom random(~seed_, ++modbusRequests_);
    CrossSlowLink(faults_, random, r.sends, e);
    return r;
}

}  // namespace sim
