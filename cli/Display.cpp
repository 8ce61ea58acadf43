#include "cli/Display.h"

#include <algorithm>
#include <limits>
#include <map>

#include "protocol/Frames.h"

namespace cli {
namespace {

using namespace std::chrono_literals;

// A terminal takes a few lines ten times a second; more would only flicker.
constexpr auto kDrawInterval = 100ms;
constexpr auto kTickInterval = 200ms;
// Before this, no meter is slow: a clean one is writing by then.
constexpr auto kSlowAfter = 10s;
constexpr size_t kSlowestShown = 3;
constexpr int kBar = 24;
constexpr int kDefaultRows = 24;

std::string Bar(double fraction) {
    const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kBar);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBar, '.');
    return "[" + bar + "]";
}

std::string MinutesSeconds(std::chrono::steady_clock::duration d) {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    return text;
}

}  // namespace

std::string StageName(update::Stage s) {
    switch (s) {
        case update::Stage::BootModeRequest: return "requesting bootloader";
        case update::Stage::StartingBootloader: return "bootloader starting";
        case update::Stage::Identifying: return "identifying";
        case update::Stage::Erasing: return "erasing";
        case update::Stage::Writing: return "writing";
        case update::Stage::Resetting: return "resetting";
        case update::Stage::Returning: return "awaiting its return";
        case update::Stage::Done: return "done";
    }
    return {};
}

DisplayMode ChooseDisplay(bool terminal, size_t meters, int rows) {
    if (!terminal) return DisplayMode::Log;
    // A line per meter, the summary line and the cursor's line.
    const size_t usable = static_cast<size_t>(rows > 0 ? rows : kDefaultRows);
    return meters + 2 <= usable ? DisplayMode::Lines : DisplayMode::Summary;
}

Display::Display(std::FILE* out, DisplayMode mode, const std::vector<std::string>& addresses, Command command,
                 int columns, std::function<Clock::time_point()> now)
    : out_(out),
      mode_(mode),
      command_(command),
      columns_(static_cast<size_t>(std::max(columns, 0))),
      now_(std::move(now)),
      begun_(now_()) {
    for (const auto& a : addresses) lines_.push_back(Line{a});
    if (mode_ == DisplayMode::Log) return;
    Redraw(true);
    ticker_ = std::thread([this] { Tick(); });
}

Display::~Display() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    tick_.notify_all();
    if (ticker_.joinable()) ticker_.join();
}

void Display::Tick() {
    std::unique_lock lock(mutex_);
    while (!tick_.wait_for(lock, kTickInterval, [this] { return closing_; })) {
        // The summary's clock moves on also while nothing else does.
        if (dirty_ || mode_ == DisplayMode::Summary) Redraw(true);
    }
}

void Display::Log(size_t meter, const std::string& text) {
    std::fprintf(out_, "%s %s %s\n", IsoTime(std::chrono::system_clock::now()).c_str(), lines_[meter].address.c_str(),
                 text.c_str());
    std::fflush(out_);
}

void Display::StageChanged(size_t meter, update::Stage stage) {
    std::lock_guard lock(mutex_);
    if (stage == update::Stage::Done) return;  // the result follows with Finished
    Line& l = lines_[meter];
    if (!l.started) {
        l.started = true;
        l.since = now_();
    }
    l.stage = StageName(stage);
    dirty_ = true;
    if (mode_ == DisplayMode::Log)
        Log(meter, l.stage);
    else
        Redraw(mode_ == DisplayMode::Lines);
}

void Display::ProgressChanged(size_t meter, const update::Progress& p) {
    std::lock_guard lock(mutex_);
    lines_[meter].step = p.step;
    lines_[meter].steps = p.steps;
    lines_[meter].percent = update::PercentText(p);
    dirty_ = true;
    if (mode_ != DisplayMode::Log) Redraw(false);
}

void Display::RetriesChanged(size_t meter, int retries) {
    std::lock_guard lock(mutex_);
    lines_[meter].retries = retries;
    dirty_ = true;
    if (mode_ != DisplayMode::Log) Redraw(false);
}

void Display::TimeLeft(size_t meter, std::chrono::seconds left) {
    std::lock_guard lock(mutex_);
    Line& l = lines_[meter];
    l.left = update::TimeLeftText(left);
    dirty_ = true;
    if (mode_ != DisplayMode::Log) return Redraw(false);
    const long long minutes = (left.count() + 59) / 60;
    if (l.loggedMinutes < 0 || minutes < l.loggedMinutes) Log(meter, l.left);
    l.loggedMinutes = minutes;
}

void Display::Awaiting(size_t meter, std::chrono::seconds sinceReset) {
    std::lock_guard lock(mutex_);
    // The log has said what the meter is awaited for; a live line counts the seconds.
    if (mode_ == DisplayMode::Log) return;
    lines_[meter].left = std::to_string(sinceReset.count()) + " s since the reset";
    dirty_ = true;
    Redraw(false);
}

void Display::Noticed(size_t meter, update::Notice notice) {
    std::lock_guard lock(mutex_);
    if (mode_ == DisplayMode::Log) Log(meter, NoticeText(notice));
}

void Display::Finished(size_t meter, const MeterRecord& record) {
    std::lock_guard lock(mutex_);
    Line& l = lines_[meter];
    l.done = true;
    l.ok = Succeeded(record, command_);
    l.stage = ResultName(record, command_);
    l.retries = record.result.retries;
    dirty_ = true;
    const std::string verdict = l.stage + ": " + ResultMessage(record, command_);
    switch (mode_) {
        case DisplayMode::Log: Log(meter, verdict); break;
        // A line has room for the result's word only: why, and in what state
        // the meter is left, stays above the lines.
        case DisplayMode::Lines:
        case DisplayMode::Summary:
            // Every failure stays on the screen, above the summary.
            if (!l.ok) {
                Lift();
                Log(meter, verdict);
            }
            Redraw(!l.ok);
            break;
    }
}

void Display::Say(const std::string& text) {
    std::lock_guard lock(mutex_);
    Lift();
    std::fprintf(out_, "%s\n", text.c_str());
    if (mode_ != DisplayMode::Log) Redraw(true);
    std::fflush(out_);
}

void Display::Close() {
    std::lock_guard lock(mutex_);
    if (mode_ == DisplayMode::Log)
        std::fprintf(out_, "%s\n", Summary().c_str());
    else
        Redraw(true);
    closing_ = true;
    tick_.notify_all();
    std::fflush(out_);
}

std::string Display::Render(const Line& l) const {
    char text[256];
    std::snprintf(text, sizeof text, "%-22s %-22s %s %5s  retries %d", l.address.c_str(), l.stage.c_str(),
                  Bar(l.steps > 0 ? static_cast<double>(l.step) / l.steps : 0).c_str(), l.percent.c_str(), l.retries);
    return l.left.empty() || l.done ? text : text + ("  " + l.left);
}

std::string Display::Summary() const {
    size_t done = 0, ok = 0;
    for (const Line& l : lines_) {
        done += l.done;
        ok += l.ok;
    }
    const char* verb = history::SuccessWord(command_ == Command::Probe);
    std::string line = std::to_string(lines_.size()) + (lines_.size() == 1 ? " meter: " : " meters: ") +
                       std::to_string(ok) + " " + verb + ", " + std::to_string(done - ok) + " failed, " +
                       std::to_string(lines_.size() - done) + " running";
    for (const auto& [group, limit] : pathLimits_)
        line += "; " + group + ": " + std::to_string(limit) + (limit == 1 ? " write" : " writes") + " at once";
    return line;
}

void Display::PathLimit(const std::string& group, std::optional<int> limit) {
    const std::lock_guard lock(mutex_);
    if (limit)
        pathLimits_[group] = *limit;
    else
        pathLimits_.erase(group);
    dirty_ = true;
    if (mode_ != DisplayMode::Log) Redraw(false);
}

// The meters expected to end last: of those running for a while, the
// longest left to go at their own pace so far; one not yet writing after
// that while is further behind than any that is.
std::string Display::Slowest(Clock::time_point now) const {
    struct Slow {
        const Line* line;
        double left;  // seconds, at its pace so far
        Clock::duration running;
    };
    std::vector<Slow> slow;
    for (const Line& l : lines_) {
        if (!l.started || l.done || now - l.since < kSlowAfter) continue;
        const double elapsed = std::chrono::duration<double>(now - l.since).count();
        const double fraction = l.steps > 0 ? static_cast<double>(l.step) / l.steps : 0;
        const double left =
            fraction > 0 ? elapsed * (1 - fraction) / fraction : std::numeric_limits<double>::infinity();
        slow.push_back({&l, left, now - l.since});
    }
    const size_t shown = std::min(slow.size(), kSlowestShown);
    std::partial_sort(
        slow.begin(), slow.begin() + static_cast<long>(shown), slow.end(),
        [](const Slow& a, const Slow& b) { return a.left != b.left ? a.left > b.left : a.running > b.running; });
    std::string text = "slowest:";
    if (shown == 0) return text + " -";
    for (size_t i = 0; i < shown; ++i) {
        const Line& l = *slow[i].line;
        text += (i ? ", " : " ") + l.address + " " + l.stage;
        if (l.steps > 0) text += " " + l.percent;
        if (l.retries > 0) text += " retries " + std::to_string(l.retries);
        text += " (" + MinutesSeconds(slow[i].running) + ")";
    }
    return text;
}

std::vector<std::string> Display::SummaryBlock(Clock::time_point now) const {
    double progress = 0;
    size_t running = 0, waiting = 0;
    std::map<std::string, size_t> stages;  // running meters per stage
    std::map<std::string, size_t> results;
    for (const Line& l : lines_) {
        if (l.done) {
            progress += 1;
            ++results[l.stage];
        } else if (l.started) {
            if (l.steps > 0) progress += static_cast<double>(l.step) / l.steps;
            ++running;
            ++stages[l.stage];
        } else {
            ++waiting;
        }
    }
    const double fraction = lines_.empty() ? 1 : progress / static_cast<double>(lines_.size());
    char head[128];
    std::snprintf(head, sizeof head, "%s %3d%%  %zu meters, %s elapsed", Bar(fraction).c_str(),
                  static_cast<int>(fraction * 100), lines_.size(), MinutesSeconds(now - begun_).c_str());

    // The stages in the order a meter goes through them.
    std::string stageLine = "running " + std::to_string(running);
    std::string sep = ": ";
    for (auto s : {update::Stage::BootModeRequest, update::Stage::StartingBootloader, update::Stage::Identifying,
                   update::Stage::Erasing, update::Stage::Writing, update::Stage::Resetting}) {
        const auto it = stages.find(StageName(s));
        if (it == stages.end()) continue;
        stageLine += sep + std::to_string(it->second) + " " + it->first;
        sep = ", ";
    }
    if (waiting > 0) stageLine += "; " + std::to_string(waiting) + " not started";

    std::string resultLine = "results:";
    if (results.empty()) resultLine += " -";
    sep = " ";
    for (const auto& [result, n] : results) {
        resultLine += sep + std::to_string(n) + " " + result;
        sep = ", ";
    }
    return {head, stageLine, resultLine, Slowest(now), Summary()};
}

std::vector<std::string> Display::LiveLines(Clock::time_point now) const {
    if (mode_ == DisplayMode::Summary) return SummaryBlock(now);
    std::vector<std::string> out;
    for (const Line& l : lines_) out.push_back(Render(l));
    out.push_back(Summary());
    return out;
}

void Display::Lift() {
    if (mode_ == DisplayMode::Log || drawnLines_ == 0) return;
    std::fprintf(out_, "\x1b[%zuA\r\x1b[J", drawnLines_);
    drawnLines_ = 0;
}

void Display::Redraw(bool now) {
    if (mode_ == DisplayMode::Log) return;
    const auto t = now_();
    if (!now && t - lastDraw_ < kDrawInterval) return;
    lastDraw_ = t;
    dirty_ = false;
    if (drawnLines_ > 0) std::fprintf(out_, "\x1b[%zuA", drawnLines_);
    const auto lines = LiveLines(t);
    for (std::string line : lines) {
        // A line longer than the terminal would wrap, and the next drawing
        // would start below where this one did.
        if (columns_ > 1 && line.size() >= columns_) line.resize(columns_ - 1);
        std::fprintf(out_, "\r\x1b[2K%s\n", line.c_str());
    }
    drawnLines_ = lines.size();
    std::fflush(out_);
}

}  // namespace cli
