// Reports of earlier runs, read back: the meters a run takes up again, and
// the reports of many sites joined into one. Pure functions on file texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Report.h"

namespace cli {

// The meters of an earlier report whose result was not a success, in the
// report's order, and what names that report.
struct Retry {
    std::string problem;  // empty: usable
    Continued from;
    std::vector<std::string> hosts;
};
Retry RetryFrom(const std::string& path, std::string_view content, Command command);

struct ReportFile {
    std::string path;  // as given; each merged meter names it
    std::string content;
};

struct Merged {
    std::string problem;  // empty: merged
    nlohmann::ordered_json report;
    bool allSucceeded = false;
    std::string counts;  // "3 reports, 240 meters: 236 updated, 3 communication-error, 1 unreachable"
};

// Joins reports (the sites of one rollout) into one: every meter with the
// report it comes from, and the counts per result. A meter that a later
// report of the list took up again (--retry-failed) counts with its last
// result only. The same address in two unrelated reports is two meters; the
// same report given twice (same content, whatever its name) counts once.
// Reports of different commands or firmware are refused unless allowMixed:
// their joined counts would say nothing true of either.
Merged MergeReports(const std::vector<ReportFile>& files, const std::string& toolVersion, bool allowMixed = false);

}  // namespace cli
