// One update of one meter in words and fields: what the run's report shows
// for the meter and what the update history keeps of it.
#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "brand/Brand.h"
#include "update/UpdateEvents.h"

namespace history {

// The command and its success, as the reports and the history word them.
inline constexpr const char* CommandWord(bool probe) { return probe ? "probe" : "update"; }
inline constexpr const char* SuccessWord(bool probe) { return probe ? "probed" : "updated"; }

struct MeterRun {
    std::string address;
    update::UpdateResult result;
    bool probe = false;      // identify and reset only
    bool contacted = false;  // false: the run was stopped before this meter's turn
    std::string fault;       // the update ended on a fault of this machine, not of the meter
    std::chrono::system_clock::time_point started{}, finished{};
    // Not contacted: another run on this computer held the meter ("process 1234 (…)").
    std::string busyWith{};
    // The support trace's file (core::TraceSetup); empty: none was asked
    // for, or it could not be written, and then traceProblem says why.
    std::string trace{}, traceProblem{};
};

// One of updated, probed, password-rejected, not-found,
// communication-error, ambiguous-answers, cancelled, unreachable, busy,
// not-back, wrong-revision.
std::string ResultName(const MeterRun& m);
bool Succeeded(const MeterRun& m);
// Where an update leaves the meter: every text that says so asks here.
enum class MeterLeft {
    Updated,       // reset to start its new firmware
    Unchanged,     // its flash untouched, the meter in (or reset to) its application
    InBootloader,  // waiting there for another update, its flash content unknown
    Unknown,       // reset, but nothing answered since
};
MeterLeft WhereLeft(const update::UpdateResult& r);

// What happened and what state the meter is left in, in plain words, with
// the cause when the meter's answers were of no use. A meter that may be of
// another make is told by the models the tool's brand serves.
std::string ResultMessage(const MeterRun& m, const brand::Brand& b);

// "2026-12-07T11:50:00.123Z"
std::string IsoTime(std::chrono::system_clock::time_point t);

// The meter's fields: address, identity, result, blocks written, retries,
// stale answers dropped, round trip, its return after "RESET" (seconds to
// it, vendor, product, revision), start, end, duration, the message and
// the support trace's file (null: none).
nlohmann::ordered_json MeterFields(const MeterRun& m, const brand::Brand& b);

// The firmware source of an update without an image file, as records name it.
inline constexpr char kCompiledIn[] = "compiled-in";

// Where an update came from.
struct Origin {
    std::string toolVersion;
    const brand::Brand& brand;  // recorded by its maker's name, "VELTRONA"
    std::string frontEnd;       // "window" or "cli"
    std::string firmwareSha256;
    std::string firmwareSource;  // kCompiledIn or the file given
    long pid = 0;                // the process that runs the update
};

// The history's line for one meter: the origin, the command and the meter's
// fields, as one line of JSON ending in "\n". Nothing in it comes from the
// password.
std::string RecordLine(const Origin& origin, const MeterRun& m);

// The history's line for a meter whose run begins, written before anything
// is sent to it: the origin, the process, the command, the address and the
// start ("event": "started"). The run's own line, with the same process,
// address and start, follows when it ends; a start without it, whose
// process is gone, is a run that died on the way.
std::string StartLine(const Origin& origin, const MeterRun& m);

}  // namespace history
