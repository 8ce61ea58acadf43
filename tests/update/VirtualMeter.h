// The engine on a virtual clock, talking to a scripted meter: whole updates
// in milliseconds, with the exact moments at which the meter sees each frame.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "image/ImageFormats.h"
#include "update/Pacer.h"

namespace testsupport {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

class VirtualClock final : public update::Pacer {
public:
    TimePoint Now() const override { return now_; }
    void WaitUntil(TimePoint deadline) override { Run(deadline, nullptr); }
    bool WaitUnlessCancelled(TimePoint deadline) override {
        Run(deadline, [this] { return cancelled_.load(); });
        return !cancelled_;
    }
    bool WaitReadable(const update::Link& link, TimePoint deadline) override {
        Run(deadline, [&link] { return link.Readable(); });
        return link.Readable();
    }
    bool WaitReadableUnlessCancelled(const update::Link& link, TimePoint deadline) override {
        Run(deadline, [this, &link] { return cancelled_ || link.Readable(); });
        return link.Readable();
    }
    bool WaitConnected(const update::Link& link, TimePoint deadline) override {
        const auto ended = [&link] { return link.HandshakeState() != platform::Handshake::Pending; };
        Run(deadline, [this, &ended] { return cancelled_ || ended(); });
        return link.HandshakeState() == platform::Handshake::Connected;
    }
    bool Cancelled() const override { return cancelled_; }

    void Cancel() { cancelled_ = true; }
    void At(TimePoint t, std::function<void()> action) { due_.emplace(t, std::move(action)); }
    // Milliseconds since the clock started.
    double Ms() const { return std::chrono::duration<double, std::milli>(now_ - start_).count(); }

private:
    // Runs what falls due up to the deadline, in time order, unless `stop` holds first.
    void Run(TimePoint deadline, const std::function<bool()>& stop) {
        for (;;) {
            if (stop && stop()) return;
            if (due_.empty() || due_.begin()->first > deadline) break;
            auto next = due_.extract(due_.begin());
            now_ = std::max(now_, next.key());
            next.mapped()();
        }
        now_ = std::max(now_, deadline);
    }

    TimePoint start_ = TimePoint{} + std::chrono::hours(1);
    TimePoint now_ = start_;
    std::multimap<TimePoint, std::function<void()>> due_;
    std::atomic<bool> cancelled_{false};  // a window model cancels from its GUI thread
};

// One end of a connection whose other end is the scripted meter.
class FakeLink final : public update::Link {
public:
    explicit FakeLink(bool datagrams) : datagrams_(datagrams) {}
    std::function<void(const std::vector<uint8_t>&)> onSend;
    std::string host;
    bool open = false;

    void Open(const std::string& h) override {
        if (open && h == host) return;
        host = h;
        open = true;
        inbox_.clear();
        if (clock) openedAt = clock->Now();
        if (clock && handshake) clock->At(openedAt + *handshake, [] {});
    }
    void Close() override { open = false; }
    std::span<const uint8_t> Send(std::span<const uint8_t> bytes) override {
        if (!open || (!datagrams_ && HandshakeState() != platform::Handshake::Connected)) return {};
        if (onSend) onSend(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        return bytes;
    }
    std::optional<update::ReceivedBytes> Receive(std::span<uint8_t> buffer) override {
        if (inbox_.empty()) return std::nullopt;
        std::vector<uint8_t> d = std::move(inbox_.front());
        inbox_.pop_front();
        if (!datagrams_ && d.size() > buffer.size()) {
            // A stream hands out what fits and keeps the rest.
            inbox_.emplace_front(d.begin() + static_cast<long>(buffer.size()), d.end());
            d.resize(buffer.size());
        }
        const size_t stored = std::min(d.size(), buffer.size());
        std::copy_n(d.begin(), stored, buffer.begin());
        return update::ReceivedBytes{buffer.first(stored), d.size() > buffer.size()};
    }
    bool Readable() const override { return !inbox_.empty(); }
    // A stream's handshake ends `handshake` after the link was opened; nothing: never.
    std::optional<milliseconds> handshake = milliseconds{0};
    VirtualClock* clock = nullptr;
    update::Pacer::TimePoint openedAt{};
    // A stream's peer takes connections now; unset: always.
    std::function<bool()> accepting;
    platform::Handshake HandshakeState() const override {
        if (datagrams_ || !clock) return platform::Handshake::Connected;
        if (accepting && !accepting()) return platform::Handshake::Failed;
        if (!handshake || clock->Now() < openedAt + *handshake) return platform::Handshake::Pending;
        return platform::Handshake::Connected;
    }
    void Deliver(std::vector<uint8_t> bytes) {
        if (open) inbox_.push_back(std::move(bytes));
    }

private:
    bool datagrams_;
    std::deque<std::vector<uint8_t>> inbox_;
};

// What reached the meter, and when.
struct Received {
    double ms;
    std::string command;  // "MODBUS", "DEVICE-ID", "VER?", "E", "W", "RESET"
    uint32_t address = 0;
};

// A meter that answers every frame correctly after `latency`, unless the
// test's `answer` hook says otherwise for a frame.
class ScriptedMeter {
public:
    struct Reply {
        std::vector<uint8_t> bytes;
        milliseconds after{1};
    };
    // Given the frame's command, its write address and how many frames with
    // this command came before, returns the replies (none: no answer).
    using Script = std::function<std::vector<Reply>(const Received&, int nth, std::vector<Reply> normal)>;

    ScriptedMeter(VirtualClock& clock, std::string identity = "TALVO-ETH-BOOTLOADER-V1.00")
        : clock_(clock), identity_(std::move(identity)) {
        boot.onSend = [this](const std::vector<uint8_t>& f) { OnBootFrame(f); };
        modbus.onSend = [this](const std::vector<uint8_t>& f) { OnModbus(f); };
        modbus.clock = &clock;
        modbus.accepting = [this] { return !resetAt || (bootTime && clock_.Now() >= *resetAt + *bootTime); };
    }

    FakeLink modbus{false};
    FakeLink boot{true};
    Script script;
    std::vector<uint8_t> modbusAnswer = {0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0, 0x0F};
    std::vector<Received> received;
    // After "RESET": its application answers on Modbus once `bootTime` has
    // passed (never without one) with `deviceIdAnswer`; its bootloader
    // answers only when it stays there.
    std::optional<milliseconds> bootTime = 1000ms;
    bool staysInBootloader = false;
    std::vector<uint8_t> deviceIdAnswer = protocol::DeviceIdAnswer{0, "VELTRONA", "QT5201", "2.31"}.Encode();
    // A slow link: each frame's round trip, added to every reply's own time.
    std::function<milliseconds()> roundTrip;
    void SlowLink(std::function<milliseconds()> rtt) {
        roundTrip = std::move(rtt);
        modbus.handshake = roundTrip();
    }

    std::vector<uint32_t> Writes() const {
        std::vector<uint32_t> out;
        for (const auto& r : received)
            if (r.command == "W") out.push_back(r.address);
        return out;
    }
    int Count(const std::string& command) const { return static_cast<int>(Times(command).size()); }
    std::vector<double> Times(const std::string& command) const {
        std::vector<double> out;
        for (const auto& r : received)
            if (r.command == command) out.push_back(r.ms);
        return out;
    }

private:
    void Answer(FakeLink& link, const std::vector<Reply>& replies) {
        const milliseconds trip = roundTrip ? roundTrip() : 0ms;
        for (const auto& r : replies)
            clock_.At(clock_.Now() + r.after + trip, [&link, b = r.bytes] { link.Deliver(b); });
    }
    void OnModbus(const std::vector<uint8_t>& f) {
        if (protocol::DeviceIdRequest::Decode(f)) {
            received.push_back({clock_.Ms(), "DEVICE-ID"});
            Answer(modbus, {{deviceIdAnswer, 1ms}});
            return;
        }
        received.push_back({clock_.Ms(), "MODBUS"});
        resetAt.reset();  // the boot-mode request: its bootloader again
        if (!modbusAnswer.empty()) Answer(modbus, {{modbusAnswer, 1ms}});
    }
    void OnBootFrame(const std::vector<uint8_t>& f) {
        Received r{clock_.Ms(), "?"};
        std::vector<Reply> normal;
        const std::vector<uint8_t> ok = {'O', 'K', '\r', '\n'};
        if (f == std::vector<uint8_t>{'V', 'E', 'R', '?'}) {
            r.command = "VER?";
            normal = {{{identity_.begin(), identity_.end()}, 1ms}};
        } else if (f == std::vector<uint8_t>{'R', 'E', 'S', 'E', 'T'}) {
            r.command = "RESET";
            if (!resetAt) resetAt = clock_.Now();
        } else if (!f.empty() && f[0] == 'E') {
            r.command = "E";
            normal = {{ok, 1ms}};
        } else if (f.size() == protocol::WriteRequest::kSize && f[0] == 'W') {
            r.command = "W";
            r.address = (uint32_t{f[1]} << 16) | (uint32_t{f[2]} << 8) | f[3];
            normal = {{ok, 1ms}};
        }
        int nth = 0;
        for (const auto& p : received) nth += p.command == r.command;
        // A bootloader that has left answers nothing.
        const bool away = resetAt && !staysInBootloader;
        received.push_back(r);
        if (!away) Answer(boot, script ? script(r, nth, normal) : normal);
    }

    VirtualClock& clock_;
    std::string identity_;
    std::optional<update::Pacer::TimePoint> resetAt;
};

// An image with firmware in a few blocks only.
inline std::vector<uint8_t> SmallImage(std::initializer_list<uint32_t> blocks) {
    std::vector<uint8_t> img(image::kImageSize, 0xFF);
    for (uint32_t b : blocks)
        for (uint32_t i = 0; i < 1024; ++i) img[b + i] = static_cast<uint8_t>((b >> 10) * 31 + i * 7);
    return img;
}

}  // namespace testsupport
