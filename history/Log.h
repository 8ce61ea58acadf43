// The update history: one JSON line per meter and update, appended to a
// per-user file, and read back to show what was done.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace history {

// Where this user's history is kept: $XDG_STATE_HOME/ethernet-loader/updates.jsonl
// (~/.local/state/... when it is unset or not an absolute path);
// %LOCALAPPDATA%\ethernet-loader\updates.jsonl on Windows. Empty when the
// environment names no such place.
std::filesystem::path LogPath();

// Appends `line` to the file, creating it and its folders as needed, with a
// single write to a file opened for appending: lines written at the same
// time by other threads or programs never interleave with it. Returns why
// not, or nothing.
std::optional<std::string> AppendLine(const std::filesystem::path& log, std::string_view line);

struct LogContent {
    bool missing = false;
    std::vector<nlohmann::ordered_json> records;  // in the order written
    int unreadable = 0;                           // lines that are no JSON object
};
// Reads the history; throws std::runtime_error when it exists but cannot be read.
LogContent ReadLog(const std::filesystem::path& log);

// "2026-03-01" or "2026-03-01T14:30" (UTC, as the records' times are):
// the form the records' times compare with; nothing when the text is
// neither.
std::optional<std::string> SinceKey(std::string_view date);

// The records that started at or after the key, in their order.
std::vector<nlohmann::ordered_json> StartedSince(const std::vector<nlohmann::ordered_json>& records,
                                                 const std::string& key);

// The runs the records tell of, in the order they began: each run's end
// record, and for a start whose end never came, the start with the result
// "running" while `running(pid)` says its process is, else "interrupted"
// and a message that the meter may wait in its bootloader.
std::vector<nlohmann::ordered_json> Runs(const std::vector<nlohmann::ordered_json>& records,
                                         const std::function<bool(long pid)>& running);

// The runs above whose process is gone before their end, of `address` as a
// record names it: the last run of that address when it is one; nothing
// otherwise.
std::optional<nlohmann::ordered_json> Interrupted(const std::vector<nlohmann::ordered_json>& runs,
                                                  std::string_view address);

// The records as a table, one line each under a header line.
std::string Table(const std::vector<nlohmann::ordered_json>& records);

}  // namespace history
