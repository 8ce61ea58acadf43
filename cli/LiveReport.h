// The run's report while the run goes on: on the disk from before the first
// meter starts, and rewritten as meters start, change stage and end, so that
// a run killed at any moment (or a computer that stops) leaves a report
// that is true of it: every meter ended, interrupted or not started. The end
// of the run writes the whole report over it (ReportJson).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/Fleet.h"
#include "cli/Report.h"

namespace cli {

class LiveReport final : public MeterObserver {
public:
    // Puts the report's text in place; why not, or empty.
    using Write = std::function<std::string(const std::string& text)>;
    // run: the report's head (command, firmware, start, what it continues);
    // its meters are `addresses`, none started yet. every: how often at
    // most the report is rewritten.
    LiveReport(const RunRecord& run, const std::vector<std::string>& addresses, Write write,
               std::chrono::milliseconds every = std::chrono::seconds(1));
    ~LiveReport() override;
    LiveReport(const LiveReport&) = delete;
    LiveReport& operator=(const LiveReport&) = delete;

    // Writes the report of a run with no meter started, then keeps it up to
    // date until Stop; why that first write failed, or empty (nothing
    // follows then).
    std::string Begin();
    // A rewrite under way is finished; none follows.
    void Stop();

    void Started(size_t meter) override;
    void StageChanged(size_t meter, update::Stage stage) override;
    void Finished(size_t meter, const MeterRecord& record) override;

    // Rewrites that failed since Begin, and why the last one did.
    int Failures() const;
    std::string LastFailure() const;

private:
    using Clock = std::chrono::steady_clock;
    std::string WriteNow(const std::vector<MeterSoFar>& meters);
    void Changed(std::unique_lock<std::mutex>& lock);
    void Rewrite();

    const RunRecord run_;
    const Write write_;
    const std::chrono::milliseconds every_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<MeterSoFar> meters_;
    bool dirty_ = false;
    bool stopping_ = false;
    Clock::time_point lastWrite_{};
    int failures_ = 0;
    std::string lastFailure_;
    std::thread writer_;
};

}  // namespace cli
