// The update of one meter: the boot-mode request over Modbus TCP, then the
// bootloader link over UDP (identify, erase, write, reset). It keeps the
// protocol's timing as the meter sees it, waits only through its pacer and
// reports only to its listener.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Constants.h"
#include "EchoGuard.h"
#include "FlashImage.h"
#include "Pacer.h"
#include "UpdateEvents.h"

namespace update {

struct UpdateRequest {
    std::string address;  // the meter's address as typed: a dotted address or a host name
    // Windows-1252 bytes (PasswordBytes). Empty when the typed text holds a
    // character without such a byte: it could not reach the meter as typed.
    std::optional<std::string> password;
    bool program = true;  // off: identify and reset only
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
    void RequestBootMode(const std::string& address, const std::string& password, bool program);
    void UpdateProcedure(const std::string& address, bool program);
    bool Identify();
    void ProgramMainMcu();
    bool Erase();
    // One bootloader exchange: send, wait the full time, and, when nothing has
    // come by then, go on listening up to the grace (or, with graceStops, up
    // to a stop request). The first datagram after the send is the answer.
    // True when the number of bytes taken (modulo 65536) is the expected count.
    bool BootTransact(int32_t sendCount, int32_t expectedCount, std::chrono::milliseconds wait,
                      std::chrono::milliseconds grace = {}, bool graceStops = false);
    // Before a frame leaves, or before the verdict: waits for the copies of
    // earlier answers still expected, drops whatever waits, and ends the
    // exchange. False when the run's confirmations can no longer be trusted.
    bool Settle();
    // Sends a frame and takes what arrives until `waitEnd`, and when no
    // answer has come by then, up to `graceEnd`. The answer's length, or
    // nothing when none came.
    std::optional<int32_t> Exchange(const uint8_t* frame, int32_t count, Pacer::TimePoint waitEnd,
                                    Pacer::TimePoint graceEnd, bool graceStops, uint8_t* answer, int32_t answerMax);
    // Until something waits on the link or the deadline (or the stop, when
    // `cancellable`); true when something does.
    bool Watch(Pacer::TimePoint deadline, bool cancellable = false);
    // Takes the oldest waiting datagram; its length, -1 when unknown.
    int32_t Take(bool answer);
    void DropStaleAnswers();
    void Delay();
    // The delay before another attempt, watching the link meanwhile.
    void BackOff();

    void Begin();
    UpdateResult End();
    void SetStage(Stage s);
    void ShowProgress(int step);

    Pacer& pacer_;
    Link& modbus_;
    Link& boot_;
    image::ImageView firmware_;
    DelayInterval& delay_;
    UpdateListener& listener_;

    // Frames are built in place; a receive never clears what it does not overwrite.
    uint8_t TxBuffer[2000] = {};
    uint8_t RxBuffer[2000] = {};
    uint8_t scratch_[2000] = {};  // every datagram is taken in here whole first
    EchoGuard echoes_;
    Pacer::TimePoint emptyAt_{};  // nothing waited on the link at this moment
    bool UpdateError = false;
    int32_t FlashStart = 0;
    uint32_t FlashEnd = 0;

    std::string identityReply_;  // collected across both "VER?" attempts
    bool eraseConfirmed_ = false;
    bool succeeded_ = false;
    bool cancelledUntouched_ = false;
    bool requestAccepted_ = false;  // this run's boot-mode request got the normal answer
    bool ambiguous_ = false;        // a confirmation may have been a copy of an earlier answer
    UpdateResult result_;
};

}  // namespace update
