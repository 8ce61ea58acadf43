#include "window/Texts.h"

#include "protocol/Frames.h"
#include "history/Record.h"

namespace window {
namespace {

std::string AnswerChars(const update::AnswerBytes& a) {
    return FromLatin1(std::string_view(reinterpret_cast<const char*>(a.data()), a.size()));
}

}  // namespace

std::string FromLatin1(std::string_view latin1) {
    latin1 = latin1.substr(0, latin1.find('\0'));
    std::string out;
    out.reserve(latin1.size());
    for (const char c : latin1) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string EraseSentText() { return protocol::EraseAreaText(); }

std::string EraseAnsweredText(const update::AnswerBytes& a) { return "erase sectors " + AnswerChars(a); }

std::string WritingSectorText(uint32_t address) { return protocol::WritingSectorText(address); }

std::string BlockFailedText(uint32_t address, const update::AnswerBytes& a) {
    return WritingSectorText(address) + " : " + AnswerChars(a);
}

std::string InterruptedUpdateText(const std::string& address, const std::string& begun) {
    // At most 89 characters for a dotted address: the verdict's width.
    return "Interrupted update of " + address + " (" + begun + "): may wait in its bootloader.";
}

std::string AwaitingReturnText(std::chrono::seconds sinceReset) {
    return "Waiting for the meter to come back: " + std::to_string(sinceReset.count()) + " s";
}

std::string BackInServiceText(const update::ReturnFacts& back) {
    const auto seconds = static_cast<long long>(back.backAfterS.value_or(0) + 0.5);
    return "Back in service after " + std::to_string(seconds) + " s" +
           (back.revision.empty() ? "" : ", revision " + FromLatin1(back.revision));
}

std::string ProgrammingEndText(update::ProgrammingEnd end) {
    switch (end) {
        case update::ProgrammingEnd::Complete: return kFinished;
        case update::ProgrammingEnd::Failed: return kCommunicationErrorLine;
        case update::ProgrammingEnd::EraseUnconfirmed: return kEraseUnconfirmedLine;
    }
    return {};
}

std::string RunEndBoxText(const update::UpdateResult& r, std::string_view address, const brand::Brand& b) {
    switch (r.outcome) {
        case update::Outcome::NotFound: {
            history::MeterRun run;
            run.result = r;
            run.contacted = true;
            return "No bootloader answered at " + std::string(address) + ". The meter was not updated.\n\n" +
                   history::ResultMessage(run, b) +
                   "\n\nCheck the IP address, the admin password and the network "
                   "connection to the meter, then press " +
                   kFirmwareUpdate + " again.";
        }
        case update::Outcome::EraseUnconfirmed:
            return std::string(
                       "The meter did not confirm the erase of its flash, so the new firmware may not be "
                       "complete. The meter was not updated and waits in its bootloader.\n\nPress ") +
                   kFirmwareUpdate + " again to repeat the update.";
        // A rejected password and a communication error (ambiguous answers
        // included) have shown their box during the run; a stop ends the
        // program; the rest succeeded.
        case update::Outcome::Updated:
        case update::Outcome::Identified:
        case update::Outcome::PasswordRejected:
        case update::Outcome::CommunicationError:
        case update::Outcome::AmbiguousAnswers:
        case update::Outcome::Cancelled:
        // The meter's return is told once it is known.
        case update::Outcome::NotBack:
        case update::Outcome::WrongRevision: break;
    }
    return {};
}

std::string FailureVerdictText(const update::UpdateResult& r) {
    if (r.outcome == update::Outcome::Updated || r.outcome == update::Outcome::Identified) return {};
    if (r.outcome == update::Outcome::NotFound) return std::string(kNotUpdated) + " No bootloader answered.";
    return std::string(kNotUpdated) + (history::WhereLeft(r) == history::MeterLeft::InBootloader
                                           ? " The meter waits in its bootloader."
                                           : " The meter is unchanged.");
}

std::string PasswordRuleText(std::string_view typed, bool refusedByMeter) {
    const std::string rule = "The admin password has " + protocol::PasswordLimitsText() + " characters";
    if (refusedByMeter) return "The meter rejected the password; nothing was changed.\n\n" + rule + ".";
    size_t characters = 0;
    for (const char c : typed) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < protocol::kMinPassword || characters > protocol::kMaxPassword)
        return rule + "; the one typed has " + std::to_string(characters) + ". Nothing was sent to the meter.";
    return rule +
           " of the Western European (Windows-1252) set; the one typed has another. Nothing was sent to "
           "the meter.";
}

std::string RepeatAdvice() {
    return std::string("Check the network connection to the meter, then press ") + kFirmwareUpdate +
           " again to repeat the update.";
}

std::string EraseAdvice() {
    return std::string(
               "After OK the blocks are written all the same, but the meter cannot be updated by this run: once it "
               "has ended, press ") +
           kFirmwareUpdate + " again.";
}

std::string TypeAgainAdvice(std::string_view what) {
    return "Type the meter's " + std::string(what) + ", then press " + kFirmwareUpdate + " again.";
}

std::string WithFullStop(std::string msg) {
    if (!msg.empty() && static_cast<unsigned char>(msg.back()) > '.') msg += '.';
    return msg;
}

std::string BusyText(const std::string& holder) {
    return "Another update of this meter is running on this computer (" + holder +
           ").\n\nNothing was sent. Try again once it has ended";
}

std::string HistoryWarningText(const std::string& why) {
    return "This update was not recorded in the update history: " + why + ".\n\nIts result stands as shown.";
}

std::vector<std::string> WidestTexts(Text place) {
    const update::AnswerBytes wide{'W', 'W'};
    switch (place) {
        case Text::Action:
            return {kBootloaderStarting,
                    EraseSentText(),
                    EraseAnsweredText(wide),
                    BlockFailedText(0x7FC00, wide),
                    BlockFailedText(0x7FC00, {0xC6, 0xC6}),
                    kCommunicationErrorLine,
                    kEraseUnconfirmedLine,
                    kLeftInBootloader,
                    kFinished};
        case Text::Identity: return {"BOOTLOADER-V1.00", "BOOTLOADER-V1.01", kNotFound, kAsking};
        case Text::Verdict: {
            update::UpdateResult r;
            std::vector<std::string> out{kSucceeded, kNotUpdated, "100%", kNotUpdatedUnknownState};
            for (const auto o :
                 {update::Outcome::NotFound, update::Outcome::PasswordRejected, update::Outcome::CommunicationError}) {
                r.outcome = o;
                out.push_back(FailureVerdictText(r));
            }
            return out;
        }
        case Text::Repeat: return {"10", "4800"};
        case Text::Version: return {brand::kBrands[0].versionText, brand::kBrands[1].versionText};
        case Text::UpdateButton: return {kFirmwareUpdate, kGenerateImageFile};
        case Text::Caption:
            return {std::string(brand::kBrands[0].titlePrefix) + brand::kBrands[0].versionText,
                    std::string(brand::kBrands[1].titlePrefix) + brand::kBrands[1].versionText};
        case Text::Address:
        case Text::ExportPath: break;  // typed or chosen; their fields scroll
    }
    return {};
}

}  // namespace window
