// What the fleet updater shows while it runs: on a terminal that holds them,
// one live line per meter and a summary; on a smaller one, one live summary
// block (a bar, counts per stage and result, the slowest meters) with every
// failure printed above it as it happens; without a terminal one plain line
// per meter and stage change, fit for a log. Called from every meter's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/Report.h"
#include "update/UpdateEvents.h"

namespace cli {

enum class DisplayMode {
    Log,      // no terminal
    Lines,    // a live line per meter
    Summary,  // a live summary block
};

// Lines when a line per meter and the summary fit the terminal's rows
// (0: unknown, taken as 24).
DisplayMode ChooseDisplay(bool terminal, size_t meters, int rows);

class Display {
public:
    using Clock = std::chrono::steady_clock;

    // columns: the terminal's width, which live lines are cut to (0: not cut).
    // now: the clock for times shown (a test's own).
    Display(std::FILE* out, DisplayMode mode, const std::vector<std::string>& addresses, Command command,
            int columns = 0, std::function<Clock::time_point()> now = Clock::now);
    ~Display();
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    void StageChanged(size_t meter, update::Stage stage);
    void ProgressChanged(size_t meter, const update::Progress& p);
    void RetriesChanged(size_t meter, int retries);
    void TimeLeft(size_t meter, std::chrono::seconds left);
    void Awaiting(size_t meter, std::chrono::seconds sinceReset);
    void Noticed(size_t meter, update::Notice notice);
    void Finished(size_t meter, const MeterRecord& record);
    // The writes a group's pacing lets go at once while it holds some back;
    // none: it holds none back. The summary line names it meanwhile.
    void PathLimit(const std::string& group, std::optional<int> limit);
    // A note for the person at the terminal (stop requested ...).
    void Say(const std::string& text);
    // The last state drawn once more, and the summary line.
    void Close();

private:
    struct Line {
        std::string address;
        std::string stage = "waiting";
        int step = 0, steps = 0;
        std::string percent = "0%";
        int retries = 0;
        std::string left{};            // on a long update: "2:35 left"
        long long loggedMinutes = -1;  // the log tells the time left once a minute
        bool started = false;
        bool done = false;
        bool ok = false;
        Clock::time_point since{};  // when the meter was started
    };
    void Log(size_t meter, const std::string& text);
    // Draws when something changed and the last drawing is old enough, or now.
    void Redraw(bool now);
    // Moves above the live lines and clears them, for a line that stays.
    void Lift();
    std::vector<std::string> LiveLines(Clock::time_point now) const;
    std::string Render(const Line& l) const;
    std::string Summary() const;
    std::vector<std::string> SummaryBlock(Clock::time_point now) const;
    std::string Slowest(Clock::time_point now) const;
    void Tick();

    std::mutex mutex_;
    std::FILE* out_;
    DisplayMode mode_;
    Command command_;
    size_t columns_;
    std::vector<Line> lines_;
    std::map<std::string, int> pathLimits_;  // the groups held back now
    std::function<Clock::time_point()> now_;
    Clock::time_point begun_;
    size_t drawnLines_ = 0;  // live lines on the screen now, below the cursor's line
    bool dirty_ = false;
    Clock::time_point lastDraw_{};
    // A live display is brought up to date a few times a second also while
    // no meter reports anything (the clock, a stage that went unshown).
    std::condition_variable tick_;
    bool closing_ = false;
    std::thread ticker_;
};

// One meter's update events, passed to the display.
class MeterListener final : public update::UpdateListener {
public:
    MeterListener(Display& display, size_t meter) : display_(display), meter_(meter) {}
    void StageChanged(update::Stage s) override { display_.StageChanged(meter_, s); }
    void ProgressChanged(const update::Progress& p) override { display_.ProgressChanged(meter_, p); }
    void RetriesChanged(int n) override { display_.RetriesChanged(meter_, n); }
    void TimeLeft(std::chrono::seconds left) override { display_.TimeLeft(meter_, left); }
    void Awaiting(std::chrono::seconds sinceReset) override { display_.Awaiting(meter_, sinceReset); }
    void Notify(update::Notice n, const update::UpdateResult&) override { display_.Noticed(meter_, n); }

private:
    Display& display_;
    size_t meter_;
};

std::string StageName(update::Stage s);

}  // namespace cli
