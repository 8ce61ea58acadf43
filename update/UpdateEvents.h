// What an update tells its front end, in the update's own terms. The window
// turns these into its labels, bar, colours and boxes; the headless updater
// into progress lines and a report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace loader {

enum class Stage {
    BootModeRequest,     // Modbus TCP: connecting, asking for the bootloader
    StartingBootloader,  // the meter accepted; giving its bootloader time to start
    Identifying,         // "VER?"
    Erasing,
    Writing,
    Resetting,  // "RESET"
    Done,
};

// The texts the operator must acknowledge.
enum class Notice {
    EraseError,          // "Erase error!"
    CommunicationError,  // "Communication error !"
    IncorrectPassword,   // "Incorrect password. Please enter correct password."
};
std::string_view NoticeText(Notice n);

enum class Outcome {
    Updated,             // every block confirmed, success shown, "RESET" sent
    Identified,          // identified and reset without programming
    NotFound,            // no bootloader identified; nothing sent after "VER?"
    PasswordRejected,    // by the rule before sending, or by the meter
    CommunicationError,  // a block failed ten times; the meter waits in its bootloader
    EraseUnconfirmed,    // blocks written, but no erase was ever confirmed
    AmbiguousAnswers,    // answers came again, late: a confirmation may have been a copy; no "RESET"
    Cancelled,
};

struct Progress {
    int step = 0;          // block steps done, 0 before the first
    int steps = 0;         // block steps in the run
    int64_t position = 0;  // the bar's position, inside [minimum, maximum]
    int32_t minimum = 0;
    int32_t maximum = 0;
    std::string percent;  // "37%"
};

struct UpdateResult {
    Outcome outcome = Outcome::NotFound;
    std::string identity;         // "BOOTLOADER-V1.00"; empty when not identified
    bool modbusAnswered = false;  // any byte came back to the boot-mode request
    int blocksWritten = 0;        // write frames the meter confirmed
    int retries = 0;              // failed write attempts
    int eraseAttempts = 0;
    int staleAnswersDropped = 0;  // answers to earlier frames, and copies of answers, discarded
    int64_t failedBlock = -1;     // the block that failed ten times
    bool resetSent = false;
};

// Called on the thread that runs the update, in the order things happen.
// Texts are Latin-1 bytes as they would show in a label: they end at their
// first zero byte.
class UpdateListener {
public:
    virtual ~UpdateListener() = default;
    // The password passed its rule; the request and the update procedure
    // it starts are the only run until RequestEnded.
    virtual void RequestStarted() {}
    virtual void RequestEnded() {}
    // The update procedure begins; the bar takes the flash range and "0%".
    virtual void ProcedureStarted(const Progress&) {}
    virtual void ProcedureEnded() {}
    virtual void StageChanged(Stage) {}
    virtual void ActionChanged(std::string_view) {}    // the action line
    virtual void IdentityChanged(std::string_view) {}  // "...", "not found", "BOOTLOADER-V1.00"
    virtual void ProgressChanged(const Progress&) {}
    virtual void RetriesChanged(int) {}
    // Returns once the operator has seen it.
    virtual void Notify(Notice) {}
    // Every block confirmed: "Successfully updated."
    virtual void Succeeded() {}
    virtual void Finished(const UpdateResult&) {}
};

}  // namespace loader
