#include "history/Record.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/Clock.h"
#include "protocol/Constants.h"

namespace history {

using update::Outcome;

std::string ResultName(const MeterRun& m) {
    if (!m.busyWith.empty()) return "busy";
    if (!m.contacted) return "cancelled";
    switch (m.result.outcome) {
        case Outcome::Updated: return SuccessWord(false);
        case Outcome::Identified: return m.probe ? SuccessWord(true) : "communication-error";
        case Outcome::NotFound: return m.result.modbusAnswered ? "not-found" : "unreachable";
        case Outcome::PasswordRejected: return "password-rejected";
        case Outcome::CommunicationError:
        case Outcome::EraseUnconfirmed: return "communication-error";
        case Outcome::AmbiguousAnswers: return "ambiguous-answers";
        case Outcome::Cancelled: return "cancelled";
        case Outcome::NotBack: return "not-back";
        case Outcome::WrongRevision: return "wrong-revision";
    }
    return "communication-error";
}

bool Succeeded(const MeterRun& m) { return ResultName(m) == SuccessWord(m.probe); }

MeterLeft WhereLeft(const update::UpdateResult& r) {
    switch (r.outcome) {
        case Outcome::Updated:
        case Outcome::WrongRevision: return MeterLeft::Updated;
        case Outcome::NotBack:
            return r.back.state == update::ReturnState::InBootloader ? MeterLeft::InBootloader : MeterLeft::Unknown;
        case Outcome::Identified:
        case Outcome::NotFound:
        case Outcome::PasswordRejected: return MeterLeft::Unchanged;
        case Outcome::CommunicationError:
        case Outcome::EraseUnconfirmed:
        case Outcome::AmbiguousAnswers: return MeterLeft::InBootloader;
        case Outcome::Cancelled:
            // Programming had begun, or the stop found the meter in its
            // bootloader and sent no "RESET".
            return r.eraseAttempts > 0 || (!r.identity.empty() && !r.resetSent) ? MeterLeft::InBootloader
                                                                                : MeterLeft::Unchanged;
    }
    return MeterLeft::InBootloader;
}

namespace {

std::string WholeMs(double ms) { return std::to_string(static_cast<long long>(ms + 0.5)) + " ms"; }

// Why the meter's answers were of no use, after the message's own words.
std::string CauseText(const update::UpdateResult& r) {
    switch (r.cause) {
        case update::LinkCause::NoAnswer:
            // An unreachable meter's message says so already.
            if (r.outcome == update::Outcome::NotFound && !r.modbusAnswered) return {};
            return " Nothing came back from the meter at all.";
        case update::LinkCause::TooSlow:
            return " Its answers came, but later than the tool waits: up to " + WholeMs(r.slowestLateAnswerMs) +
                   " after their request" +
                   (r.roundTrip.samples > 0 ? ", with a round trip of " + WholeMs(r.roundTrip.medianMs) + " measured."
                                            : ".");
        case update::LinkCause::Copies:
        case update::LinkCause::None: break;
    }
    return {};
}

std::string WholeSeconds(double s) { return std::to_string(static_cast<long long>(s + 0.5)) + " s"; }

// The meter after its "RESET", as the watch found it.
std::string ReturnText(const update::UpdateResult& r) {
    const update::ReturnFacts& back = r.back;
    const std::string revision = back.revision.empty() ? "" : ", revision " + back.revision;
    switch (back.state) {
        case update::ReturnState::NotWatched:
            return back.stopped ? " Its return into service was not watched to the end: stopped on request." : "";
        case update::ReturnState::Back:
            if (r.outcome == Outcome::WrongRevision)
                return " It was back in service after " + WholeSeconds(*back.backAfterS) +
                       (back.revision.empty() ? ", but did not name its firmware revision"
                                              : ", but runs firmware revision " + back.revision) +
                       ", not the expected " + r.expectedRevision + ".";
            return " Back in service after " + WholeSeconds(back.backAfterS.value_or(0)) + revision + ".";
        case update::ReturnState::InBootloader:
        case update::ReturnState::NoAnswer: break;
    }
    const std::string found =
        back.state == update::ReturnState::InBootloader
            ? "its bootloader still answers (" + back.bootloader + "), so the new firmware did not start"
            : "nothing answered at all, neither its application on Modbus TCP port " +
                  std::to_string(protocol::kModbusPort) + " nor its bootloader";
    return " But the meter was not back in service within " + std::to_string(back.limit.count()) + " s: " + found +
           ". Run the update on it again, which rewrites it, or visit it.";
}

std::string OutcomeText(const MeterRun& m, const brand::Brand& b) {
    const update::UpdateResult& r = m.result;
    if (!m.busyWith.empty())
        return "Not contacted: another update of this meter is running on this computer (" + m.busyWith +
               "); nothing was sent. Try again once it has ended.";
    if (!m.contacted) return "Not contacted: the run was stopped before this meter's turn.";
    if (!m.fault.empty())
        return "The update stopped on a fault of this computer (" + m.fault +
               "); the meter may wait in its bootloader for another update.";
    char block[32];
    std::snprintf(block, sizeof block, "0x%05llX", static_cast<unsigned long long>(r.failedBlock.value_or(0)));
    // A probe's reset restarts the meter as an update's does, so its watch
    // can fail it too; it still wrote nothing.
    const std::string identified = "Bootloader " + r.identity + " identified; meter reset without programming.";
    const std::string written =
        std::to_string(r.blocksWritten) + " blocks written and confirmed, meter reset to start the new firmware.";
    switch (r.outcome) {
        case Outcome::Updated: return "Updated: " + written + ReturnText(r);
        case Outcome::WrongRevision: return (m.probe ? identified : "Updated: " + written) + ReturnText(r);
        case Outcome::Identified: return identified + ReturnText(r);
        case Outcome::NotBack: return (m.probe ? identified : "Written: " + written) + ReturnText(r);
        case Outcome::NotFound:
            if (r.modbusException != 0)
                return "The meter refused the boot-mode request with Modbus exception " +
                       std::to_string(r.modbusException) + ", and no bootloader identified itself on UDP port " +
                       std::to_string(protocol::kBootloaderPort) + "; nothing was erased. It may be no " + b.models +
                       ", or its Ethernet module may not take updates.";
            return r.modbusAnswered
                       ? "The meter answered the boot-mode request, but no bootloader identified itself "
                         "on UDP port " +
                             std::to_string(protocol::kBootloaderPort) + "; nothing was erased."
                       : "No answer on Modbus TCP port " + std::to_string(protocol::kModbusPort) +
                             " nor from a bootloader on UDP port " + std::to_string(protocol::kBootloaderPort) +
                             "; nothing was sent beyond the requests.";
        case Outcome::PasswordRejected: return "The meter rejected the password; nothing was changed.";
        case Outcome::CommunicationError:
            return std::string("Block ") + block + " was not confirmed after " +
                   std::to_string(protocol::kWriteAttempts) +
                   " attempts; the meter waits in its bootloader for another update.";
        case Outcome::EraseUnconfirmed:
            return "The erase was never confirmed, so the flash content is unknown; the meter waits in its bootloader "
                   "for another update.";
        case Outcome::AmbiguousAnswers:
            return "The link delivered answers again, late, so a block may have been confirmed by a copy of an earlier "
                   "answer while its own frame was lost: the flash content is unknown. The meter waits in its "
                   "bootloader for another update.";
        case Outcome::Cancelled:
            if (WhereLeft(r) == MeterLeft::InBootloader)
                return r.eraseAttempts > 0 ? "Stopped on request during programming; the meter waits in its "
                                             "bootloader for another update."
                                           : "Stopped on request before anything was erased; the meter was found in "
                                             "its bootloader and left there, without RESET.";
            if (r.resetSent)
                return "Stopped on request before anything was erased; the meter was reset to its application.";
            if (r.modbusAnswered)
                return "Stopped on request before anything was erased; the meter was not found in its bootloader.";
            return "Stopped on request before the boot-mode request; nothing was sent.";
    }
    return {};
}

}  // namespace

std::string ResultMessage(const MeterRun& m, const brand::Brand& b) {
    const std::string message = OutcomeText(m, b);
    return m.contacted && m.fault.empty() ? message + CauseText(m.result) : message;
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    const std::tm utc = platform::UtcTime(secs);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

nlohmann::ordered_json MeterFields(const MeterRun& m, const brand::Brand& b) {
    using nlohmann::ordered_json;
    ordered_json j;
    j["address"] = m.address;
    j["identity"] = m.result.identity.empty() ? ordered_json(nullptr) : ordered_json(m.result.identity);
    j["result"] = ResultName(m);
    j["blocks_written"] = m.result.blocksWritten;
    j["retries"] = m.result.retries;
    j["stale_answers_dropped"] = m.result.staleAnswersDropped;
    j["round_trip_ms"] = m.result.roundTrip.samples > 0
                             ? ordered_json{{"median", m.result.roundTrip.medianMs}, {"p95", m.result.roundTrip.p95Ms}}
                             : ordered_json(nullptr);
    const update::ReturnFacts& back = m.result.back;
    const auto known = [](const std::string& text) {
        return text.empty() ? ordered_json(nullptr) : ordered_json(text);
    };
    j["back_after_s"] = back.backAfterS ? ordered_json(std::round(*back.backAfterS * 10) / 10) : ordered_json(nullptr);
    j["vendor"] = known(back.vendor);
    j["product"] = known(back.product);
    j["revision"] = known(back.revision);
    j["started"] = m.contacted ? ordered_json(IsoTime(m.started)) : ordered_json(nullptr);
    j["finished"] = m.contacted ? ordered_json(IsoTime(m.finished)) : ordered_json(nullptr);
    j["duration_s"] = m.contacted ? std::chrono::duration<double>(m.finished - m.started).count() : 0.0;
    j["message"] = ResultMessage(m, b);
    j["trace"] = known(m.trace);
    return j;
}

namespace {

nlohmann::ordered_json OriginFields(const Origin& origin, const MeterRun& m) {
    nlohmann::ordered_json j;
    j["tool_version"] = origin.toolVersion;
    j["brand"] = origin.brand.name;
    j["front_end"] = origin.frontEnd;
    j["process"] = {{"pid", origin.pid}};
    j["command"] = CommandWord(m.probe);
    j["firmware"] = {{"sha256", origin.firmwareSha256}, {"source", origin.firmwareSource}};
    return j;
}

// Bytes that are not UTF-8 (a host name, a file name) are replaced rather
// than refused: the record is written in any case.
std::string Line(const nlohmann::ordered_json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string RecordLine(const Origin& origin, const MeterRun& m) {
    nlohmann::ordered_json j = OriginFields(origin, m);
    const nlohmann::ordered_json fields = MeterFields(m, origin.brand);
    for (const auto& [key, value] : fields.items()) j[key] = value;
    return Line(j);
}

std::string StartLine(const Origin& origin, const MeterRun& m) {
    nlohmann::ordered_json j = OriginFields(origin, m);
    j["event"] = "started";
    j["address"] = m.address;
    j["started"] = IsoTime(m.started);
    return Line(j);
}

}  // namespace history
