// The update of one meter: the boot-mode request over Modbus TCP, then the
// bootloader link over UDP (identify, erase, write, reset). It keeps the
// protocol's timing as the meter sees it, lengthens a wait only where the
// link's measured round trip needs it, waits only through its pacer and
// reports only to its listener.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/Constants.h"
#include "update/EchoGuard.h"
#include "image/ImageView.h"
#include "update/Pacer.h"
#include "update/RoundTrip.h"
#include "update/UpdateEvents.h"
#include "update/Verdict.h"

namespace update {

struct UpdateRequest {
    std::string address;  // the meter's address as typed: a dotted address or a host name
    // Windows-1252 bytes (PasswordBytes). Empty when the typed text holds a
    // character without such a byte: it could not reach the meter as typed.
    std::optional<std::string> password;
    bool program = true;  // off: identify and reset only
    // How long the Modbus TCP handshake may take before the request is sent
    // anyway; never less than the designed wait.
    std::chrono::milliseconds connectLimit = protocol::kConnectLimit;
};

// The delay between failed write attempts and after each update procedure:
// 1000 ms until a meter has accepted a boot-mode request, 2000 ms from then
// on, for as long as its owner keeps it (the window: the program's life).
class DelayInterval {
public:
    std::chrono::milliseconds Value() const { return value_; }
    void BootloaderStarting() { value_ = protocol::kBootloaderStartDelay; }

private:
    std::chrono::milliseconds value_ = protocol::kRetryDelay;
};

// What became of one block of the image.
enum class BlockWrite {
    Confirmed,  // the meter confirmed it
    Blank,      // erased flash already holds it: nothing sent
    Failed,     // no confirmation in all its attempts
    Stopped,    // the operator asked to stop before it was confirmed
    Ambiguous,  // the confirmations so far may have been copies, beyond repair
};

class UpdateEngine {
public:
    UpdateEngine(Pacer& pacer, Link& modbus, Link& boot, image::ImageView firmware, DelayInterval& delay,
                 UpdateListener& listener);

    // The boot-mode request, then, unless the password was refused, the
    // update procedure.
    UpdateResult Run(const UpdateRequest& request);
    // The update procedure alone, for a meter already in its bootloader.
    UpdateResult RunProcedure(const std::string& address, bool program);

private:
    using TimePoint = Pacer::TimePoint;
    using Duration = std::chrono::microseconds;

    // How long one exchange waits: the designed wait in full, then, while no
    // answer has come, up to the grace or what the link needs, whichever is
    // longer; `graceStops`: a stop ends that part.
    struct Waits {
        std::chrono::milliseconds wait{};
        std::chrono::milliseconds grace{};
        bool graceStops = false;
        bool answerExpected = true;
    };
    // One datagram as a receive of `room` bytes takes it: its length, or -1
    // when it was longer or could not be read.
    struct Datagram {
        std::span<const uint8_t> bytes;
        int32_t length = -1;
    };

    void RequestBootMode(const UpdateRequest& request);
    bool Connect(TimePoint opened, std::chrono::milliseconds limit);
    protocol::BootModeAnswer::Kind AskForBootloader(const std::string& password);
    protocol::BootModeAnswer::Kind ReadRequestAnswer();
    void BootloaderStarting();
    // The first "VER?" waits for a request answer that was late; false when
    // that answer refused the password.
    bool AwaitFirstIdentify();

    void UpdateProcedure(const std::string& address, bool program);
    bool Identify();
    void Program();
    bool Erase();
    // Every block step of the range; true when each was done.
    bool WriteBlocks();
    BlockWrite WriteBlock(uint32_t address);
    // Confirmations the echo guard doubts are made again on a quiet link;
    // true when none is left in doubt.
    bool ConfirmAgain();
    bool WriteAgain(uint32_t address, Duration quiet);
    void ResetMeter();

    // Whether an exchange's round trip counts: a first attempt's always; a
    // retry's only while nothing was measured, and only when its answer came
    // so promptly that it can be no earlier frame's; the rest never.
    enum class Sampling { Never, Always, WhenPlainlyOwn };
    // Sends a frame and takes the first datagram after it as its answer,
    // into `answer`; its length (-1: longer than `answer` or unreadable), or
    // nothing when none came.
    std::optional<int32_t> Exchange(std::span<const uint8_t> frame, const Waits& waits, std::span<uint8_t> answer,
                                    Sampling sampling);
    // A retry's answer that came this soon after it is its own, not the
    // earlier frame's come late, on a link not yet measured.
    bool PlainlyOwn(TimePoint sent, TimePoint answeredAt) const;
    // Until something waits on the link or the deadline (or the stop, when
    // `cancellable`); true when something does.
    bool Watch(TimePoint deadline, bool cancellable = false);
    Datagram Take(bool answer, bool owed = false);
    void DropStaleAnswers();
    // Empties the link before a frame leaves, or before the verdict: takes the
    // answers still owed and waits for the copies of earlier answers still
    // expected, drops whatever else waits, and ends the exchange. False when
    // the run's confirmations can no longer be trusted.
    bool DrainLink();
    // Until nothing has arrived for `quiet`, or a stop.
    void WaitForQuiet(Duration quiet);
    void Delay();
    // The delay before another attempt, watching the link meanwhile.
    void BackOff();

    void Begin();
    UpdateResult End();
    void ShowProgress(int step);

    Pacer& pacer_;
    Link& modbus_;
    Link& boot_;
    image::ImageView firmware_;
    DelayInterval& delay_;
    UpdateListener& listener_;

    // Every datagram is taken in here whole first; larger than any answer a
    // bootloader gives.
    std::array<uint8_t, 2 * protocol::kLargestFrame> received_{};
    EchoGuard echoes_;
    RoundTripEstimate roundTrip_;
    TimePoint emptyAt_{};   // nothing waited on the link at this moment
    TimePoint lastSent_{};  // the latest bootloader frame left then
    TimePoint requestSent_{};
    // Frames whose answer has not come, and when the last of them is due.
    int unanswered_ = 0;
    TimePoint unansweredSent_{};  // the latest of them left then
    std::optional<TimePoint> answerDue_;
    bool lastMeasured_ = false;       // the latest frame's round trip counts
    bool awaitingLate_ = false;       // the latest frame's wait ended without its answer
    bool requestAnswerLate_ = false;  // nothing answered the boot-mode request in its wait
    TimePoint runStarted_{};
    int blocksToWrite_ = 0;
    int repairs_ = 0;

    std::string identityReply_;  // collected across both "VER?" attempts
    RunFacts facts_;
    bool requestAccepted_ = false;  // this run's boot-mode request got the normal answer
    UpdateResult result_;
};

}  // namespace update
