#include "Display.h"

#include "Frames.h"

namespace fleet {

std::string StageName(loader::Stage s) {
    switch (s) {
        case loader::Stage::BootModeRequest: return "requesting bootloader";
        case loader::Stage::StartingBootloader: return "bootloader starting";
        case loader::Stage::Identifying: return "identifying";
        case loader::Stage::Erasing: return "erasing";
        case loader::Stage::Writing: return "writing";
        case loader::Stage::Resetting: return "resetting";
        case loader::Stage::Done: return "done";
    }
    return {};
}

std::string NoticeText(loader::Notice n) {
    switch (n) {
        case loader::Notice::EraseError: return "Erase error!";
        case loader::Notice::CommunicationError: return "Communication error !";
        case loader::Notice::IncorrectPassword: return "Incorrect password. Please enter correct password.";
    }
    return {};
}

Display::Display(std::FILE* out, bool live, const std::vector<std::string>& addresses, Command command)
    : out_(out), live_(live), command_(command) {
    for (const auto& a : addresses) lines_.push_back(Line{a});
    if (live_) Redraw(true);
}

void Display::Log(size_t meter, const std::string& text) {
    std::fprintf(out_, "%s %s %s\n", IsoTime(std::chrono::system_clock::now()).c_str(), lines_[meter].address.c_str(),
                 text.c_str());
    std::fflush(out_);
}

void Display::StageChanged(size_t meter, loader::Stage stage) {
    std::lock_guard lock(mutex_);
    if (stage == loader::Stage::Done) return;  // the result follows with Finished
    lines_[meter].stage = StageName(stage);
    if (live_)
        Redraw(true);
    else
        Log(meter, lines_[meter].stage);
}

void Display::ProgressChanged(size_t meter, const loader::Progress& p) {
    std::lock_guard lock(mutex_);
    lines_[meter].step = p.step;
    lines_[meter].steps = p.steps;
    lines_[meter].percent = protocol::PercentText(static_cast<int32_t>(p.position), p.minimum, p.maximum) + "%";
    if (live_) Redraw(false);
}

void Display::RetriesChanged(size_t meter, int retries) {
    std::lock_guard lock(mutex_);
    lines_[meter].retries = retries;
    if (live_) Redraw(false);
}

void Display::Noticed(size_t meter, loader::Notice notice) {
    std::lock_guard lock(mutex_);
    if (!live_) Log(meter, NoticeText(notice));
}

void Display::Finished(size_t meter, const MeterRecord& record) {
    std::lock_guard lock(mutex_);
    Line& l = lines_[meter];
    l.done = true;
    l.ok = Succeeded(record, command_);
    l.stage = ResultName(record, command_);
    l.retries = record.result.retries;
    if (live_)
        Redraw(true);
    else
        Log(meter, l.stage + ": " + ResultMessage(record, command_));
}

void Display::Say(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (live_ && drawn_) {
        // Above the live lines, which are drawn again below it.
        std::fprintf(out_, "\x1b[%zuA\r\x1b[J", lines_.size() + 1);
        drawn_ = false;
    }
    std::fprintf(out_, "%s\n", text.c_str());
    if (live_) Redraw(true);
    std::fflush(out_);
}

void Display::Close() {
    std::lock_guard lock(mutex_);
    if (live_)
        Redraw(true);
    else
        std::fprintf(out_, "%s\n", Summary().c_str());
    std::fflush(out_);
}

std::string Display::Render(const Line& l) const {
    constexpr int kBar = 24;
    const int filled = l.steps > 0 ? l.step * kBar / l.steps : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBar, '.');
    char text[256];
    std::snprintf(text, sizeof text, "%-22s %-22s [%s] %5s  retries %d", l.address.c_str(), l.stage.c_str(),
                  bar.c_str(), l.percent.c_str(), l.retries);
    return text;
}

std::string Display::Summary() const {
    size_t done = 0, ok = 0;
    for (const Line& l : lines_) {
        done += l.done;
        ok += l.ok;
    }
    const char* verb = command_ == Command::Probe ? "probed" : "updated";
    return std::to_string(lines_.size()) + " meters: " + std::to_string(ok) + " " + verb + ", " +
           std::to_string(done - ok) + " failed, " + std::to_string(lines_.size() - done) + " running";
}

void Display::Redraw(bool now) {
    // A terminal takes a few lines ten times a second; more would only flicker.
    const auto t = std::chrono::steady_clock::now();
    if (!now && t - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = t;
    if (drawn_) std::fprintf(out_, "\x1b[%zuA", lines_.size() + 1);
    for (const Line& l : lines_) std::fprintf(out_, "\r\x1b[2K%s\n", Render(l).c_str());
    std::fprintf(out_, "\r\x1b[2K%s\n", Summary().c_str());
    std::fflush(out_);
    drawn_ = true;
}

}  // namespace fleet
