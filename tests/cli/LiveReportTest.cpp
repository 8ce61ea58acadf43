// The report of a run still going on: what it says of each meter, that the
// tool's own readers take it as a run with failures, and how often it is
// rewritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/EarlierReports.h"
#include "cli/LiveReport.h"

using namespace cli;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using SteadyClock = std::chrono::steady_clock;

namespace {

RunRecord RunHead() {
    RunRecord run;
    run.command = Command::Update;
    run.toolVersion = "2.0.1";
    run.firmwareSha256 = std::string(64, 'a');
    run.firmwareSource = "compiled-in";
    run.started = std::chrono::system_clock::now() - 30s;
    return run;
}

MeterRecord Ended(const std::string& address, update::Outcome outcome) {
    MeterRecord m;
    m.address = address;
    m.contacted = true;
    m.result.outcome = outcome;
    m.started = std::chrono::system_clock::now() - 20s;
    m.finished = m.started + 15s;
    return m;
}

MeterRecord StartedAt(const std::string& address, std::chrono::system_clock::time_point at) {
    MeterRecord m;
    m.address = address;
    m.started = at;
    return m;
}

std::vector<std::string> Keys(const Json& j) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : j.items()) keys.push_back(key);
    return keys;
}

}  // namespace

TEST(ReportSoFar, ListsEveryMeterEndedInterruptedOrNotStartedAndReadsAsARunWithFailures) {
    using State = MeterSoFar::State;
    const auto now = std::chrono::system_clock::now();
    const struct {
        MeterSoFar meter;
        const char* result;
        const char* stage;  // nullptr: none given
        bool retried;
    } rows[] = {
        {{State::Ended, Ended("10.0.0.1", update::Outcome::Updated), {}}, "updated", nullptr, false},
        {{State::Ended, Ended("10.0.0.2", update::Outcome::PasswordRejected), {}}, "password-rejected", nullptr, true},
        {{State::Running, StartedAt("10.0.0.3", now - 5s), update::Stage::Writing}, "interrupted", "writing", true},
        {{State::Running, StartedAt("10.0.0.4", now), std::nullopt}, "interrupted", "starting", true},
        {{State::NotStarted, StartedAt("10.0.0.5", {}), std::nullopt}, "not-started", nullptr, true},
    };
    RunRecord run = RunHead();
    std::vector<MeterSoFar> meters;
    std::vector<std::string> retried;
    for (const auto& row : rows) {
        meters.push_back(row.meter);
        if (row.retried) retried.push_back(row.meter.record.address);
    }
    const Json j = ReportSoFar(run, meters, now);
    run.meters = {meters[0].record};
    EXPECT_EQ(Keys(j), Keys(ReportJson(run))) << "the report's own shape";
    EXPECT_TRUE(j["finished"].is_null());
    ASSERT_EQ(j["meters"].size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Json& m = j["meters"][i];
        SCOPED_TRACE(m.dump());
        EXPECT_EQ(m["address"], rows[i].meter.record.address);
        EXPECT_EQ(m["result"], rows[i].result);
        EXPECT_EQ(m.contains("stage"), rows[i].stage != nullptr);
        if (rows[i].stage) {
            EXPECT_EQ(m["stage"], rows[i].stage);
            EXPECT_TRUE(m["finished"].is_null());
            EXPECT_TRUE(m["blocks_written"].is_null()) << "not known before its end";
            EXPECT_TRUE(m["started"].is_string());
        }
        EXPECT_FALSE(m["message"].get<std::string>().empty());
    }
    EXPECT_NE(j["meters"][2]["message"].get<std::string>().find("flash partly written"), std::string::npos);
    EXPECT_TRUE(j["meters"][4]["started"].is_null());

    const std::string text = j.dump(2);
    const Retry retry = RetryFrom("live.json", text, Command::Update);
    ASSERT_EQ(retry.problem, "");
    EXPECT_EQ(retry.hosts, retried);
    const Merged merged = MergeReports({{"live.json", text}}, "2.0.1");
    ASSERT_EQ(merged.problem, "");
    EXPECT_FALSE(merged.allSucceeded);
    EXPECT_EQ(merged.report["counts"]["interrupted"], 2);
    EXPECT_EQ(merged.report["counts"]["not-started"], 1);
}

namespace {

using Results = std::vector<std::string>;

// What the live report wrote, and when each write began.
class Writes {
public:
    std::string Write(const std::string& text) {
        const auto at = SteadyClock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        if (slow_) {
            lock.unlock();
            std::this_thread::sleep_for(400ms);
            lock.lock();
        }
        writes_.emplace_back(at, Json::parse(text));
        written_.notify_all();
        return {};
    }
    // From now on each write takes 400 ms, as on a slow disk.
    void SlowDown() {
        const std::lock_guard<std::mutex> lock(mutex_);
        slow_ = true;
    }
    bool Await(const Results& wanted) {
        std::unique_lock<std::mutex> lock(mutex_);
        return written_.wait_for(lock, 10s, [&] { return !writes_.empty() && ResultsOf(writes_.back()) == wanted; });
    }
    size_t Count() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return writes_.size();
    }
    Results Last() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return writes_.empty() ? Results{} : ResultsOf(writes_.back());
    }
    // The shortest time between the starts of two writes.
    SteadyClock::duration ShortestGap() {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto gap = SteadyClock::duration::max();
        for (size_t i = 1; i < writes_.size(); ++i) gap = std::min(gap, writes_[i].first - writes_[i - 1].first);
        return gap;
    }

private:
    static Results ResultsOf(const std::pair<SteadyClock::time_point, Json>& write) {
        Results r;
        for (const Json& m : write.second["meters"]) r.push_back(m["result"]);
        return r;
    }
    std::mutex mutex_;
    std::condition_variable written_;
    std::vector<std::pair<SteadyClock::time_point, Json>> writes_;
    bool slow_ = false;
};

}  // namespace

// The report is on the disk before the first meter starts; then a burst of
// changes is one rewrite at most each period, the last change is never
// lost, a slow disk holds up no meter, and nothing is written after Stop.
TEST(LiveReport, CoalescesChangesIntoOneRewritePerPeriodWithoutHoldingUpTheMeters) {
    constexpr auto kEvery = 100ms;
    Writes writes;
    LiveReport live(
        RunHead(), {"10.0.0.1", "10.0.0.2", "10.0.0.3"},
        [&writes](const std::string& text) { return writes.Write(text); }, kEvery);
    ASSERT_EQ(live.Begin(), "");
    ASSERT_EQ(writes.Count(), 1u) << "written before Begin returns";
    EXPECT_EQ(writes.Last(), (Results{"not-started", "not-started", "not-started"}));

    for (int round = 0; round < 50; ++round) {
        live.Started(0);
        live.StageChanged(0, update::Stage::Writing);
        live.Started(1);
    }
    live.Finished(1, Ended("10.0.0.2", update::Outcome::Updated));
    ASSERT_TRUE(writes.Await({"interrupted", "updated", "not-started"}));
    EXPECT_LE(writes.Count(), 3u) << "151 changes, written together";

    writes.SlowDown();
    live.Started(2);
    std::this_thread::sleep_for(kEvery * 2);  // the slow rewrite is under way
    const auto before = SteadyClock::now();
    live.Finished(0, Ended("10.0.0.1", update::Outcome::CommunicationError));
    EXPECT_LT(SteadyClock::now() - before, 200ms) << "a meter's thread does not wait for the disk";
    ASSERT_TRUE(writes.Await({"communication-error", "updated", "interrupted"}));

    live.Stop();
    live.Finished(2, Ended("10.0.0.3", update::Outcome::Updated));
    std::this_thread::sleep_for(kEvery * 2);
    EXPECT_EQ(writes.Last(), (Results{"communication-error", "updated", "interrupted"})) << "no rewrite after Stop";
    // Measured inside the writes, a little after each began: not to the millisecond.
    EXPECT_GE(writes.ShortestGap(), kEvery / 2);
}
