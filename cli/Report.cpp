#include "Report.h"

#include <cstdio>
#include <ctime>

namespace fleet {

using loader::Outcome;

std::string ResultName(const MeterRecord& m, Command c) {
    if (!m.contacted) return "cancelled";
    switch (m.result.outcome) {
        case Outcome::Updated: return "updated";
        case Outcome::Identified: return c == Command::Probe ? "probed" : "communication-error";
        case Outcome::NotFound: return m.result.modbusAnswered ? "not-found" : "unreachable";
        case Outcome::PasswordRejected: return "password-rejected";
        case Outcome::CommunicationError:
        case Outcome::EraseUnconfirmed: return "communication-error";
        case Outcome::Cancelled: return "cancelled";
    }
    return "communication-error";
}

bool Succeeded(const MeterRecord& m, Command c) {
    const std::string r = ResultName(m, c);
    return r == (c == Command::Probe ? "probed" : "updated");
}

std::string ResultMessage(const MeterRecord& m, Command c) {
    const loader::UpdateResult& r = m.result;
    if (!m.contacted) return "Not contacted: the run was stopped before this meter's turn.";
    char block[32];
    std::snprintf(block, sizeof block, "0x%05llX",
                  static_cast<unsigned long long>(r.failedBlock < 0 ? 0 : r.failedBlock));
    switch (r.outcome) {
        case Outcome::Updated:
            return "Updated: " + std::to_string(r.blocksWritten) +
                   " blocks written and confirmed, meter reset to start the new firmware.";
        case Outcome::Identified: return "Bootloader " + r.identity + " identified; meter reset without programming.";
        case Outcome::NotFound:
            return r.modbusAnswered ? "The meter answered the boot-mode request, but no bootloader identified itself "
                                      "on UDP port 5555; nothing was erased."
                                    : "No answer on Modbus TCP port 502 nor from a bootloader on UDP port 5555; "
                                      "nothing was sent beyond the requests.";
        case Outcome::PasswordRejected: return "The meter rejected the password; nothing was changed.";
        case Outcome::CommunicationError:
            return std::string("Block ") + block +
                   " was not confirmed after 10 attempts; the meter waits in its bootloader for another update.";
        case Outcome::EraseUnconfirmed:
            return "The erase was never confirmed, so the flash content is unknown; the meter waits in its bootloader "
                   "for another update.";
        case Outcome::Cancelled:
            if (r.eraseAttempts > 0)
                return "Stopped on request during programming; the meter waits in its bootloader for another update.";
            if (r.resetSent)
                return "Stopped on request before anything was erased; the meter was reset to its application.";
            if (!r.identity.empty())
                return "Stopped on request before anything was erased; the meter was found in its bootloader and "
                       "left there, without RESET.";
            if (r.modbusAnswered)
                return "Stopped on request before anything was erased; the meter was not found in its bootloader.";
            return "Stopped on request before the boot-mode request; nothing was sent.";
    }
    (void)c;
    return {};
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &secs);
#else
    gmtime_r(&secs, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

nlohmann::ordered_json ReportJson(const RunRecord& run) {
    nlohmann::ordered_json meters = nlohmann::ordered_json::array();
    for (const MeterRecord& m : run.meters) {
        nlohmann::ordered_json j;
        j["address"] = m.address;
        j["identity"] =
            m.result.identity.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(m.result.identity);
        j["result"] = ResultName(m, run.command);
        j["blocks_written"] = m.result.blocksWritten;
        j["retries"] = m.result.retries;
        j["stale_answers_dropped"] = m.result.staleAnswersDropped;
        j["started"] = m.contacted ? nlohmann::ordered_json(IsoTime(m.started)) : nlohmann::ordered_json(nullptr);
        j["finished"] = m.contacted ? nlohmann::ordered_json(IsoTime(m.finished)) : nlohmann::ordered_json(nullptr);
        j["duration_s"] = m.contacted ? std::chrono::duration<double>(m.finished - m.started).count() : 0.0;
        j["message"] = ResultMessage(m, run.command);
        meters.push_back(std::move(j));
    }
    nlohmann::ordered_json report;
    report["tool"] = "ethernet-loader-cli";
    report["tool_version"] = run.toolVersion;
    report["command"] = run.command == Command::Probe ? "probe" : "update";
    report["firmware"] = {{"sha256", run.firmwareSha256}, {"source", run.firmwareSource}};
    report["started"] = IsoTime(run.started);
    report["finished"] = IsoTime(run.finished);
    report["meters"] = std::move(meters);
    return report;
}

}  // namespace fleet
