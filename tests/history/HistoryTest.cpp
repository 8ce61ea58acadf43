// The update history: what a record holds, where the file is, that lines
// written at the same time never tear, and how the records are listed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "history/Log.h"
#include "history/Record.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace {

using testsupport::TempDir;

// Sets an environment variable for one test and puts the old value back.
class Env {
public:
    Env(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        Set(value);
    }
    ~Env() { Set(old_ ? old_->c_str() : nullptr); }

private:
    void Set(const char* value) {
#ifdef _WIN32
        _putenv_s(name_, value ? value : "");
#else
        if (value)
            ::setenv(name_, value, 1);
        else
            ::unsetenv(name_);
#endif
    }
    const char* name_;
    std::optional<std::string> old_;
};

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

history::MeterRun Updated() {
    history::MeterRun m;
    m.address = "10.1.4.21";
    m.contacted = true;
    m.result.outcome = update::Outcome::Updated;
    m.result.identity = "BOOTLOADER-V1.00";
    m.result.blocksWritten = 480;
    m.result.retries = 2;
    m.started = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'765'108'201'042));
    m.finished = m.started + std::chrono::milliseconds(31'500);
    return m;
}

const history::Origin kOrigin{"1.12", brand::kBrands[0], "window", std::string(64, 'a'), "compiled-in", 4242};

}  // namespace

TEST(Record, IsOneLineOfTheOriginAndTheMetersFields) {
    const std::string line = history::RecordLine(kOrigin, Updated());
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
    const ordered_json r = ordered_json::parse(line);
    std::string keys;
    for (const auto& [k, v] : r.items()) keys += k + " ";
    EXPECT_EQ(keys,
              "tool_version brand front_end process command firmware address identity result blocks_written retries "
              "stale_answers_dropped round_trip_ms back_after_s vendor product revision started finished duration_s "
              "message trace ");
    EXPECT_EQ(r["brand"], "VELTRONA");
    EXPECT_EQ(r["front_end"], "window");
    EXPECT_EQ(r["command"], "update");
    EXPECT_EQ(r["firmware"], ordered_json({{"sha256", std::string(64, 'a')}, {"source", "compiled-in"}}));
    EXPECT_EQ(r["result"], "updated");
    EXPECT_EQ(r["started"], "2025-12-07T11:50:01.042Z");
    EXPECT_EQ(r["finished"], "2025-12-07T11:50:32.542Z");
    EXPECT_DOUBLE_EQ(r["duration_s"].get<double>(), 31.5);
    EXPECT_EQ(r["message"], "Updated: 480 blocks written and confirmed, meter reset to start the new firmware.");
}

// A meter that refused the boot-mode request may be of another make: the
// record names the models of the brand that wrote it.
TEST(Record, ARefusedRequestNamesTheModelsOfTheRecordsBrand) {
    history::MeterRun m;
    m.contacted = true;
    m.result.modbusAnswered = true;
    m.result.modbusException = 2;
    const history::Origin second{"1.12", brand::kBrands[1], "window", std::string(64, 'a'), "compiled-in"};
    const ordered_json r = ordered_json::parse(history::RecordLine(second, m));
    EXPECT_EQ(r["brand"], "KORVAN");
    const std::string message = r["message"];
    EXPECT_NE(message.find("It may be no LRV715/LRV716, or its Ethernet module"), std::string::npos) << message;
    EXPECT_EQ(message.find("QT5"), std::string::npos) << message;
}

// A stop leaves the meter where it found it unless programming had begun or
// it was found in its bootloader and not reset; the message says the same.
TEST(Record, AStopSaysWhereTheMeterIsLeft) {
    using history::MeterLeft;
    const struct {
        int eraseAttempts;
        const char* identity;
        bool resetSent;
        MeterLeft left;
        const char* says;
    } cases[] = {
        {1, "BOOTLOADER-V1.00", false, MeterLeft::InBootloader, "during programming; the meter waits in its"},
        {0, "BOOTLOADER-V1.00", false, MeterLeft::InBootloader, "found in its bootloader and left there"},
        {0, "BOOTLOADER-V1.00", true, MeterLeft::Unchanged, "reset to its application"},
        {0, "", false, MeterLeft::Unchanged, "before the boot-mode request"},
    };
    for (const auto& c : cases) {
        history::MeterRun m;
        m.contacted = true;
        m.result.outcome = update::Outcome::Cancelled;
        m.result.eraseAttempts = c.eraseAttempts;
        m.result.identity = c.identity;
        m.result.resetSent = c.resetSent;
        EXPECT_EQ(history::WhereLeft(m.result), c.left) << c.says;
        EXPECT_NE(history::ResultMessage(m, brand::kBrands[0]).find(c.says), std::string::npos) << c.says;
    }
}

// A probe's reset restarts the meter too, so its watch may fail it; its
// message still says that nothing was written.
TEST(Record, AProbeFailedByTheWatchSaysItWroteNothing) {
    const struct {
        update::Outcome outcome;
        update::ReturnState state;
        const char* found;
    } cases[] = {
        {update::Outcome::NotBack, update::ReturnState::NoAnswer, " But the meter was not back in service within 60 s"},
        {update::Outcome::WrongRevision, update::ReturnState::Back, " It was back in service after 3 s, but runs"},
    };
    const std::string identified = "Bootloader BOOTLOADER-V1.00 identified; meter reset without programming.";
    for (const auto& c : cases) {
        history::MeterRun m = Updated();
        m.probe = true;
        m.result.blocksWritten = 0;
        m.result.outcome = c.outcome;
        m.result.expectedRevision = "2.40";
        m.result.back = {c.state, std::chrono::seconds(60), 3.0, false, "VELTRONA", "QT5201", "2.31", ""};
        const std::string message = history::ResultMessage(m, brand::kBrands[0]);
        EXPECT_EQ(message.rfind(identified + c.found, 0), 0u) << message;
    }
}

#ifndef _WIN32
TEST(Log, LivesInTheUsersStateFolder) {
    const struct {
        const char* xdg;  // nullptr: unset
        const char* home;
        std::string path;
    } rows[] = {
        {"/srv/state", "/home/tech", "/srv/state/ethernet-loader/updates.jsonl"},
        {nullptr, "/home/tech", "/home/tech/.local/state/ethernet-loader/updates.jsonl"},
        {"", "/home/tech", "/home/tech/.local/state/ethernet-loader/updates.jsonl"},
        {"relative/state", "/home/tech", "/home/tech/.local/state/ethernet-loader/updates.jsonl"},
        {nullptr, nullptr, ""},
    };
    for (const auto& r : rows) {
        Env xdg("XDG_STATE_HOME", r.xdg);
        Env home("HOME", r.home);
        EXPECT_EQ(history::LogPath().string(), r.path) << (r.xdg ? r.xdg : "(unset)");
    }
}
#else
TEST(Log, LivesInTheUsersLocalAppData) {
    Env local("LOCALAPPDATA", "C:\\Users\\tech\\AppData\\Local");
    EXPECT_EQ(history::LogPath().wstring(), L"C:\\Users\\tech\\AppData\\Local\\ethernet-loader\\updates.jsonl");
}
#endif

// Writers in several threads (and, where there are processes to fork,
// several processes) at once, with lines longer than any pipe's or page's
// size: every line arrives whole.
TEST(Log, LinesWrittenAtOnceNeverTear) {
    TempDir dir;
    const fs::path log = dir.path() / "state" / "ethernet-loader" / "updates.jsonl";
    constexpr int kLines = 40;
    auto writer = [&log](int id) {
        for (int i = 0; i < kLines; ++i) {
            ordered_json j;
            j["writer"] = id;
            j["line"] = i;
            j["pad"] =
                std::string(static_cast<size_t>(100 + (id * 7919 + i * 104729) % 20000), static_cast<char>('a' + id));
            if (auto why = history::AppendLine(log, j.dump() + "\n")) ADD_FAILURE() << *why;
        }
    };
    int writers = 0;
#ifndef _WIN32
    std::vector<pid_t> children;
    for (int p = 0; p < 3; ++p, ++writers) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            writer(writers);
            ::_exit(0);
        }
        children.push_back(pid);
    }
#endif
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t, ++writers) threads.emplace_back(writer, writers);
    for (auto& t : threads) t.join();
#ifndef _WIN32
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
#endif

    std::set<std::pair<int, int>> seen;
    for (const std::string& line : Lines(log)) {
        const auto j = ordered_json::parse(line, nullptr, false);
        ASSERT_TRUE(j.is_object()) << "a torn line: " << line.substr(0, 80);
        const int id = j["writer"];
        EXPECT_EQ(j["pad"].get<std::string>().find_first_not_of(static_cast<char>('a' + id)), std::string::npos);
        EXPECT_TRUE(seen.emplace(id, j["line"].get<int>()).second);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(writers * kLines));
    const history::LogContent read = history::ReadLog(log);
    EXPECT_EQ(read.records.size(), seen.size());
    EXPECT_EQ(read.unreadable, 0);
}

// A line torn by a crash must not take the next record with it.
TEST(Log, AnAppendAfterATornLineStartsALineOfItsOwn) {
    TempDir dir;
    const fs::path log = dir.path() / "updates.jsonl";
    const struct {
        const char* before;
        int records, torn;
    } cases[] = {
        {"", 1, 0},
        {"{\"result\":\"updated\"}\n", 2, 0},
        {"{\"result\":\"upd", 1, 1},
        {"{\"result\":\"updated\"}\n{\"res", 2, 1},
    };
    for (const auto& c : cases) {
        std::ofstream(log, std::ios::binary | std::ios::trunc) << c.before;
        ASSERT_FALSE(history::AppendLine(log, "{\"result\":\"probed\"}\n"));
        const history::LogContent read = history::ReadLog(log);
        ASSERT_EQ(read.records.size(), static_cast<size_t>(c.records)) << c.before;
        EXPECT_EQ(read.records.back()["result"], "probed") << c.before;
        EXPECT_EQ(read.unreadable, c.torn) << c.before;
    }
}

TEST(Log, AFailedWriteSaysWhyAndThrowsNothing) {
    TempDir dir;
    std::ofstream(dir.path() / "state") << "a file where the folder would be";
    const auto why = history::AppendLine(dir.path() / "state" / "ethernet-loader" / "updates.jsonl", "{}\n");
    ASSERT_TRUE(why);
    EXPECT_NE(why->find("state"), std::string::npos) << *why;
    EXPECT_TRUE(history::AppendLine({}, "{}\n"));
}

TEST(Log, ListsTheRecordsSinceADate) {
    const struct {
        const char* text;
        std::optional<std::string> key;
    } dates[] = {
        {"2026-03-01", "2026-03-01"},
        {"2026-03-01T14:30", "2026-03-01T14:30"},
        {"2026-03-01 14:30", "2026-03-01T14:30"},
        {"2026-3-1", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"yesterday", std::nullopt},
        {"2026-03-01T25:00", std::nullopt},
        {"2026-03-01T14:30:00", std::nullopt},
    };
    for (const auto& d : dates) EXPECT_EQ(history::SinceKey(d.text), d.key) << d.text;

    TempDir dir;
    const fs::path log = dir.path() / "updates.jsonl";
    history::MeterRun early = Updated(), late = Updated();
    early.result.back.state = update::ReturnState::Back;
    early.result.back.backAfterS = 2.46;
    early.result.back.revision = "2.31";
    late.address = "10.1.4.22";
    late.result.outcome = update::Outcome::CommunicationError;
    late.started += std::chrono::hours(48);
    late.finished += std::chrono::hours(48);
    ASSERT_FALSE(history::AppendLine(log, history::RecordLine(kOrigin, early)));
    ASSERT_FALSE(history::AppendLine(log, "not a record\n"));
    ASSERT_FALSE(history::AppendLine(log, history::RecordLine(kOrigin, late)));

    const history::LogContent content = history::ReadLog(log);
    EXPECT_EQ(content.unreadable, 1);
    ASSERT_EQ(content.records.size(), 2u);
    EXPECT_EQ(content.records[0]["back_after_s"], 2.5) << "to a tenth of a second";
    const auto since = history::StartedSince(content.records, *history::SinceKey("2025-12-08"));
    ASSERT_EQ(since.size(), 1u);
    EXPECT_EQ(since[0]["address"], "10.1.4.22");

    const std::string table = history::Table(content.records);
    const std::vector<std::string> expected = {
        "STARTED (UTC)        FRONT END  ADDRESS    RESULT               IDENTITY          BLOCKS  RETRIES  REVISION  "
        "BACK AFTER  FIRMWARE",
        "2025-12-07 11:50:01  window     10.1.4.21  updated              BOOTLOADER-V1.00  480     2        2.31      "
        "2.5 s       aaaaaaaaaaaa compiled-in",
        "2025-12-09 11:50:01  window     10.1.4.22  communication-error  BOOTLOADER-V1.00  480     2        -         "
        "-           aaaaaaaaaaaa compiled-in",
    };
    std::string joined;
    for (const auto& l : expected) joined += l + "\n";
    EXPECT_EQ(table, joined);
    EXPECT_TRUE(history::ReadLog(dir.path() / "none.jsonl").missing);
}

// A run's start and its end are one run; a start whose end never came is a
// run that died on the way (its process gone) or one still going.
TEST(Log, PairsEachStartWithItsEndAndTellsOfTheRunsThatDied) {
    const auto at = [](int minute) {
        history::MeterRun m = Updated();
        m.started += std::chrono::minutes(minute);
        m.finished = m.started + std::chrono::seconds(20);
        return m;
    };
    history::MeterRun ended = at(0), died = at(1), going = at(2), other = at(3), again = at(4);
    other.address = "10.1.4.22";
    history::Origin alive = kOrigin;
    alive.pid = 777;
    history::Origin otherProcess = kOrigin;
    otherProcess.pid = 4343;
    const std::vector<std::string> lines = {
        history::StartLine(kOrigin, ended),
        history::StartLine(kOrigin, died),
        history::RecordLine(kOrigin, ended),
        history::StartLine(alive, going),
        history::StartLine(kOrigin, other),
        history::RecordLine(kOrigin, other),
        // The same meter and start in another process is another run.
        history::RecordLine(otherProcess, died),
    };
    std::vector<ordered_json> records;
    for (const std::string& l : lines) records.push_back(ordered_json::parse(l));
    const auto runs = history::Runs(records, [](long pid) { return pid == 777; });

    std::vector<std::string> seen;
    for (const auto& r : runs) seen.push_back(r["result"].get<std::string>() + " " + r["started"].get<std::string>());
    const std::string t0 = history::IsoTime(ended.started), t1 = history::IsoTime(died.started),
                      t2 = history::IsoTime(going.started), t3 = history::IsoTime(other.started);
    EXPECT_EQ(seen, (std::vector<std::string>{"updated " + t0, "interrupted " + t1, "running " + t2, "updated " + t3,
                                              "updated " + t1}));
    EXPECT_NE(runs[1]["message"].get<std::string>().find("may wait in its bootloader"), std::string::npos);
    EXPECT_FALSE(runs[1].contains("event"));

    // The window asks for the last run of its meter.
    EXPECT_EQ(history::Interrupted(runs, "10.1.4.22"), std::nullopt);
    EXPECT_EQ(history::Interrupted(runs, "10.1.4.23"), std::nullopt);
    EXPECT_EQ(history::Interrupted(runs, "10.1.4.21"), std::nullopt) << "its last run ended";
    const auto lastDied = history::Runs({records[0], records[1]}, [](long) { return false; });
    ASSERT_TRUE(history::Interrupted(lastDied, "10.1.4.21"));
    EXPECT_EQ((*history::Interrupted(lastDied, "10.1.4.21"))["started"], t1);
}
