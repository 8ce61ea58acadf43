// What the fleet updater shows while it runs: on a terminal one live line
// per meter and a summary; otherwise one plain line per meter and stage
// change, fit for a log. Called from every meter's thread.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Report.h"
#include "UpdateEvents.h"

namespace fleet {

class Display {
public:
    Display(std::FILE* out, bool live, const std::vector<std::string>& addresses, Command command);

    void StageChanged(size_t meter, loader::Stage stage);
    void ProgressChanged(size_t meter, const loader::Progress& p);
    void RetriesChanged(size_t meter, int retries);
    void Noticed(size_t meter, loader::Notice notice);
    void Finished(size_t meter, const MeterRecord& record);
    // A note for the person at the terminal (stop requested ...).
    void Say(const std::string& text);
    // The last state of every line, drawn once more.
    void Close();

private:
    struct Line {
        std::string address;
        std::string stage = "waiting";
        int step = 0, steps = 0;
        std::string percent = "0%";
        int retries = 0;
        bool done = false;
        bool ok = false;
    };
    void Log(size_t meter, const std::string& text);
    void Redraw(bool now);
    std::string Render(const Line& l) const;
    std::string Summary() const;

    std::mutex mutex_;
    std::FILE* out_;
    bool live_;
    Command command_;
    std::vector<Line> lines_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// One meter's update events, passed to the display.
class MeterListener final : public loader::UpdateListener {
public:
    MeterListener(Display& display, size_t meter) : display_(display), meter_(meter) {}
    void StageChanged(loader::Stage s) override { display_.StageChanged(meter_, s); }
    void ProgressChanged(const loader::Progress& p) override { display_.ProgressChanged(meter_, p); }
    void RetriesChanged(int n) override { display_.RetriesChanged(meter_, n); }
    void Notify(loader::Notice n) override { display_.Noticed(meter_, n); }

private:
    Display& display_;
    size_t meter_;
};

std::string StageName(loader::Stage s);
// A notice as a log line says it, in the window's words.
std::string NoticeText(loader::Notice n);

}  // namespace fleet
