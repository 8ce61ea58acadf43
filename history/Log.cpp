#include "history/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/File.h"

namespace fs = std::filesystem;

namespace history {
namespace {

constexpr char kFile[] = "updates.jsonl";

// A failed file call in words, with the system's own number.
std::string Words(const platform::FileStatus& status) {
    const char* words = "the system refused it";
    switch (status.fault) {
        case platform::FileFault::None: return {};
        case platform::FileFault::NotFound: words = "no such file or folder"; break;
        case platform::FileFault::BadPath: words = "a folder in its path is missing, or is a file"; break;
        case platform::FileFault::TooManyOpen: words = "no file handle left"; break;
        case platform::FileFault::Denied: words = "access denied"; break;
        case platform::FileFault::DiskFull: words = "the disk is full"; break;
        case platform::FileFault::Exists: words = "a file of that name is in the way"; break;
        case platform::FileFault::Other: break;
    }
    return std::string(words) + " (system error " + std::to_string(status.code) + ")";
}

bool IsDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Field(const nlohmann::ordered_json& r, const char* key) {
    const auto it = r.find(key);
    if (it == r.end() || it->is_null()) return "-";
    if (it->is_string()) return it->get<std::string>();
    return it->dump();
}

}  // namespace

fs::path LogPath() {
    const fs::path home = platform::UserStateFolder();
    return home.empty() ? home : home / platform::kToolFolder / kFile;
}

std::optional<std::string> AppendLine(const fs::path& log, std::string_view line) {
    if (log.empty())
        return std::string(
            "no place for it: the environment names no folder for this user's state (XDG_STATE_HOME, HOME or "
            "LOCALAPPDATA)");
    std::error_code ec;
    fs::create_directories(log.parent_path(), ec);
    if (ec) return log.parent_path().string() + ": " + ec.message();
    if (const platform::FileStatus appended = platform::AppendLine(log, line); !appended.Ok())
        return log.string() + ": " + Words(appended);
    return std::nullopt;
}

LogContent ReadLog(const fs::path& log) {
    LogContent content;
    std::error_code ec;
    if (!fs::exists(log, ec) && !ec) {
        content.missing = true;
        return content;
    }
    if (fs::is_directory(log, ec)) throw std::runtime_error(log.string() + ": cannot be read: it is a folder");
    errno = 0;
    std::ifstream in(log, std::ios::binary);
    if (!in) throw std::runtime_error(log.string() + ": cannot be read: " + std::generic_category().message(errno));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        auto record = nlohmann::ordered_json::parse(line, nullptr, false);
        if (record.is_object())
            content.records.push_back(std::move(record));
        else
            ++content.unreadable;
    }
    if (in.bad())
        throw std::runtime_error(log.string() + ": cannot be read: " + std::generic_category().message(errno));
    return content;
}

std::optional<std::string> SinceKey(std::string_view date) {
    // YYYY-MM-DD, then optionally THH:MM
    const bool day = date.size() >= 10 && IsDigits(date.substr(0, 4)) && date[4] == '-' &&
                     IsDigits(date.substr(5, 2)) && date[7] == '-' && IsDigits(date.substr(8, 2));
    if (!day) return std::nullopt;
    const int month = std::atoi(std::string(date.substr(5, 2)).c_str());
    const int mday = std::atoi(std::string(date.substr(8, 2)).c_str());
    if (month < 1 || month > 12 || mday < 1 || mday > 31) return std::nullopt;
    if (date.size() == 10) return std::string(date);
    const bool time = date.size() == 16 && (date[10] == 'T' || date[10] == ' ') && IsDigits(date.substr(11, 2)) &&
                      date[13] == ':' && IsDigits(date.substr(14, 2));
    if (!time || std::atoi(std::string(date.substr(11, 2)).c_str()) > 23 ||
        std::atoi(std::string(date.substr(14, 2)).c_str()) > 59)
        return std::nullopt;
    std::string key(date);
    key[10] = 'T';
    return key;
}

std::vector<nlohmann::ordered_json> StartedSince(const std::vector<nlohmann::ordered_json>& records,
                                                 const std::string& key) {
    std::vector<nlohmann::ordered_json> out;
    for (const auto& r : records) {
        const auto started = r.find("started");
        // The times are ISO 8601 in UTC, so they compare as text.
        if (started != r.end() && started->is_string() && started->get<std::string>() >= key) out.push_back(r);
    }
    return out;
}

namespace {

bool IsStart(const nlohmann::ordered_json& r) {
    const auto e = r.find("event");
    return e != r.end() && e->is_string() && e->get<std::string>() == "started";
}

long Pid(const nlohmann::ordered_json& r) {
    const auto p = r.find("process");
    if (p == r.end() || !p->is_object()) return 0;
    const auto pid = p->find("pid");
    return pid != p->end() && pid->is_number_integer() ? pid->get<long>() : 0;
}

// A run's start and its end name the same process, address and start.
std::string RunKey(const nlohmann::ordered_json& r) {
    return std::to_string(Pid(r)) + " " + Field(r, "address") + " " + Field(r, "started");
}

}  // namespace

std::vector<nlohmann::ordered_json> Runs(const std::vector<nlohmann::ordered_json>& records,
                                         const std::function<bool(long pid)>& running) {
    std::map<std::string, size_t> ends;
    for (size_t i = 0; i < records.size(); ++i)
        if (!IsStart(records[i]) && Pid(records[i]) != 0) ends.emplace(RunKey(records[i]), i);
    std::vector<bool> shown(records.size());
    std::vector<nlohmann::ordered_json> runs;
    for (size_t i = 0; i < records.size(); ++i) {
        if (shown[i]) continue;
        if (!IsStart(records[i])) {
            runs.push_back(records[i]);
            continue;
        }
        if (const auto end = ends.find(RunKey(records[i])); end != ends.end()) {
            shown[end->second] = true;
            runs.push_back(records[end->second]);
            continue;
        }
        nlohmann::ordered_json run = records[i];
        run.erase("event");
        const long pid = Pid(run);
        if (running(pid)) {
            run["result"] = "running";
            run["message"] = "Running now, in process " + std::to_string(pid) + ".";
        } else {
            run["result"] = "interrupted";
            run["message"] =
                "Interrupted: the process that ran this update ended before it did, so the meter may wait in its "
                "bootloader. Updating it again finishes it.";
        }
        runs.push_back(std::move(run));
    }
    return runs;
}

std::optional<nlohmann::ordered_json> Interrupted(const std::vector<nlohmann::ordered_json>& runs,
                                                  std::string_view address) {
    for (auto r = runs.rbegin(); r != runs.rend(); ++r) {
        if (Field(*r, "address") != address) continue;
        if (Field(*r, "result") == "interrupted") return *r;
        return std::nullopt;
    }
    return std::nullopt;
}

std::string Table(const std::vector<nlohmann::ordered_json>& records) {
    const std::vector<std::string> heads = {"STARTED (UTC)", "FRONT END", "ADDRESS",  "RESULT",     "IDENTITY",
                                            "BLOCKS",        "RETRIES",   "REVISION", "BACK AFTER", "FIRMWARE"};
    std::vector<std::vector<std::string>> rows;
    for (const auto& r : records) {
        std::string started = Field(r, "started");
        if (started.size() >= 19) started = started.substr(0, 10) + " " + started.substr(11, 8);
        std::string firmware = "-";
        if (const auto f = r.find("firmware"); f != r.end() && f->is_object()) {
            firmware = Field(*f, "sha256").substr(0, 12);
            const std::string source = Field(*f, "source");
            if (source != "-") firmware += " " + source;
        }
        std::string back = "-";
        // As recorded, to a tenth: rounded again to whole seconds, 2.46 s
        // would show as 3 s beside a message that says 2 s.
        if (const auto b = r.find("back_after_s"); b != r.end() && b->is_number()) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f s", b->get<double>());
            back = text;
        }
        rows.push_back({started, Field(r, "front_end"), Field(r, "address"), Field(r, "result"), Field(r, "identity"),
                        Field(r, "blocks_written"), Field(r, "retries"), Field(r, "revision"), back, firmware});
    }
    std::vector<size_t> width(heads.size());
    for (size_t c = 0; c < heads.size(); ++c) {
        width[c] = heads[c].size();
        for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
    }
    std::ostringstream out;
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < cells.size(); ++c) {
            text += cells[c];
            if (c + 1 < cells.size()) text += std::string(width[c] - cells[c].size() + 2, ' ');
        }
        out << text << "\n";
    };
    line(heads);
    for (const auto& row : rows) line(row);
    return out.str();
}

}  // namespace history
