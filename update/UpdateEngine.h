// The update of one meter: the boot-mode request over Modbus TCP
// (BootModeRequester), then the update procedure over the bootloader link
// (BootLink): identify, erase, write, reset. It keeps the protocol's timing
// as the meter sees it, lengthens a wait only where the link's measured
// round trip needs it, waits only through its pacer and reports only to its
// listener.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/Constants.h"
#include "protocol/Frames.h"
#include "image/ImageView.h"
#include "update/BootLink.h"
#include "update/BootModeRequest.h"
#include "update/Pacer.h"
#include "update/ReturnWatch.h"
#include "update/SendGate.h"
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
    // How long after "RESET" the meter is watched for its return (ReturnWatch);
    // zero: the update ends with "RESET" and its pause.
    std::chrono::seconds returnLimit{0};
    std::string expectedRevision{};  // the firmware revision it must come back with; empty: any
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
    // Each block's first frame waits its turn at `gate` (the meters sharing
    // this one's path); without one, none waits. It outlives the engine's runs.
    void PaceBlocksThrough(SendGate& gate) { gate_ = &gate; }

private:
    using TimePoint = Pacer::TimePoint;

    void RequestBootMode(const UpdateRequest& request);
    // Keeps what the meter answered the request and follows it: the
    // bootloader starts, or the password is refused (false then).
    bool FollowAnswer(const std::optional<protocol::BootModeAnswer>& answer);
    void BootloaderStarting();
    void RefusePassword();
    // The first "VER?" waits for a request answer that was late; false when
    // that answer refused the password.
    bool AwaitFirstIdentify();

    void UpdateProcedure(const std::string& address, bool program);
    std::optional<protocol::Identity> Identify();
    void Program();
    bool Erase();
    // Every block step of the range; true when each was done.
    bool WriteBlocks();
    BlockWrite WriteBlock(uint32_t address);
    // Confirmations the echo guard doubts are made again on a quiet link;
    // true when none is left in doubt.
    bool ConfirmAgain();
    bool WriteAgain(uint32_t address, BootLink::Duration quiet);
    void ResetMeter();
    void Delay();
    void WatchReturn(const UpdateRequest& request);

    void Begin();
    UpdateResult End();
    // The result as the facts so far decide it.
    const UpdateResult& Decided();
    void Notify(Notice n);
    void ShowProgress(int step);

    Pacer& pacer_;
    image::ImageView firmware_;
    DelayInterval& delay_;
    UpdateListener& listener_;
    BootLink link_;
    BootModeRequester request_;
    ReturnWatch watch_;
    OpenGate openGate_;
    SendGate* gate_ = &openGate_;

    // What one run keeps; each run starts from nothing.
    struct RunState {
        UpdateResult result;
        RunFacts facts;
        TimePoint started{};
        int blocksToWrite = 0;
        int repairs = 0;
        bool requestAccepted = false;    // this run's boot-mode request got the normal answer
        bool requestAnswerLate = false;  // nothing answered the boot-mode request in its wait
    };
    RunState run_;
};

}  // namespace update
