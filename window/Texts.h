// Every text the window makes, in UTF-8. The engine reports events; these
// word them exactly as the window shows them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brand/Brand.h"
#include "update/UpdateEvents.h"
#include "window/WindowModel.h"

namespace window {

inline constexpr char kFirmwareUpdate[] = "FIRMWARE UPDATE";
inline constexpr char kGenerateImageFile[] = "Generate Image File";
inline constexpr char kAsking[] = "...";  // the action and identity lines until the first activation
inline constexpr char kBootloaderStarting[] = "Bootloader mode. Please wait ...";
inline constexpr char kNotFound[] = "not found";
inline constexpr char kFinished[] = "Finished.";
inline constexpr char kCommunicationErrorLine[] = "Communication error!";
inline constexpr char kEraseUnconfirmedLine[] = "Erase not confirmed.";
inline constexpr char kSucceeded[] = "Successfully updated.";
inline constexpr char kNotUpdated[] = "Not updated.";
// A stop found the meter already in its bootloader and left it there.
inline constexpr char kLeftInBootloader[] = "Stopped: meter left in bootloader.";
inline constexpr char kExportFileName[] = "Code_Image_Main_MCU.pas";
// The export's file dialog shows these files.
inline constexpr char kHexFilesName[] = "Intel Hex";
inline constexpr char kHexFilesPattern[] = "*.hex";

// The question a close asks while a run lasts; yes stops the run and closes.
inline constexpr char kCloseQuestion[] =
    "The update is still running. Stopping it now leaves the meter waiting in its bootloader; it can be "
    "updated again later.\n\nStop the update and close the window?";

// The verdict while the meter is watched for its return after "RESET", and
// after: "Waiting for the meter to come back: 5 s", "Back in service after
// 14 s, revision 2.31"; or not back, with the box's first line.
std::string AwaitingReturnText(std::chrono::seconds sinceReset);
std::string BackInServiceText(const update::ReturnFacts& back);
inline constexpr char kNotBack[] = "Not back in service.";
inline constexpr char kNotBackLine[] = "The meter did not come back into service after the update.";

// At start-up, for an update of the address that a dead process began and
// never ended, in the verdict's place: "Interrupted update of 10.1.4.21
// (2026-12-08 10:42 UTC): may wait in its bootloader."; and on the action
// line what to do.
std::string InterruptedUpdateText(const std::string& address, const std::string& begun);
inline constexpr char kFinishInterrupted[] = "Press FIRMWARE UPDATE to finish it.";

// Latin-1 bytes as UTF-8, up to the first zero byte: what a label shows of them.
std::string FromLatin1(std::string_view latin1);

std::string EraseSentText();                                  // "erase sector 0x08000 - 0x7FFFF"
std::string EraseAnsweredText(const update::AnswerBytes& a);  // "erase sectors OK"
std::string WritingSectorText(uint32_t address);              // "writing sector 0x08400"
// "writing sector 0x08400 : ER": the attempt's text, then what came back.
std::string BlockFailedText(uint32_t address, const update::AnswerBytes& a);
std::string ProgrammingEndText(update::ProgrammingEnd end);

// The box at the end of a run that did not succeed and showed no box of its
// own yet; empty when none is due. `b`: the brand the window shows.
std::string RunEndBoxText(const update::UpdateResult& r, std::string_view address, const brand::Brand& b);

// The verdict after a run that did not update the meter: "Not updated." and
// where the meter is left (history::WhereLeft); empty after a success or an
// identification.
std::string FailureVerdictText(const update::UpdateResult& r);
// The verdict after a run that a fault of this computer broke off.
inline constexpr char kNotUpdatedUnknownState[] = "Not updated. The meter may wait in its bootloader.";

// Under the password box's first line: the rule, and why this password
// breaks it (`typed` as UTF-8), or that the meter refused it.
std::string PasswordRuleText(std::string_view typed, bool refusedByMeter);

// What to do after each failure box; each names the button by its label.
std::string RepeatAdvice();
std::string EraseAdvice();
// After a field's content was refused: "Type the meter's IP address, then
// press FIRMWARE UPDATE again." for `what`, "IP address".
std::string TypeAgainAdvice(std::string_view what);

// The application's error display: the message with a full stop unless its
// last character already is one, or sorts before it (a blank, "!", ")" ...).
std::string WithFullStop(std::string msg);

// A text in the system's narrow encoding (an error message that names a
// file) as UTF-8: the ANSI code page on Windows, UTF-8 elsewhere.
std::string LocalToUtf8(const std::string& local);

// The box when another run on this computer holds the meter ("process 1234 (…)").
std::string BusyText(const std::string& holder);

// The box after a run whose record the update history could not take.
std::string HistoryWarningText(const std::string& why);

// The widest texts each place can show, for a front end to check they fit.
std::vector<std::string> WidestTexts(Text place);

}  // namespace window
