// A front end for the window model in tests: this thread is its GUI thread,
// and it remembers what the model drew and asked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "window/WindowModel.h"

namespace testsupport {

class FakeView final : public window::View {
public:
    using Clock = std::chrono::steady_clock;

    void Post(std::function<void()> call) override {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(call));
        wake_.notify_all();
    }
    void PostAfter(int ms, std::function<void()> call) override {
        if (!runLater) return;
        std::lock_guard lock(mutex_);
        later_.emplace(Clock::now() + std::chrono::milliseconds(ms), std::move(call));
    }

    // Runs posted calls on this thread until `done` holds.
    void PumpUntil(const std::function<bool()>& done) {
        std::unique_lock lock(mutex_);
        while (!done()) {
            std::function<void()> call;
            if (!ready_.empty()) {
                call = std::move(ready_.front());
                ready_.pop_front();
            } else if (!later_.empty() && later_.begin()->first <= Clock::now()) {
                call = std::move(later_.begin()->second);
                later_.erase(later_.begin());
            } else if (later_.empty()) {
                wake_.wait(lock);
                continue;
            } else {
                wake_.wait_until(lock, later_.begin()->first);
                continue;
            }
            lock.unlock();
            call();
            lock.lock();
        }
    }

    void ShowText(window::Text place, const std::string& utf8) override {
        texts[place] = utf8;
        if (place == window::Text::Action) actions.push_back(utf8);
        if (place == window::Text::Verdict) verdicts.push_back(utf8);
    }
    void ShowBar(const window::Bar& b) override { bar = b; }
    void ShowVerdictBackground(std::optional<window::Rgb> c) override { verdictBackground = c; }
    void SetEnabled(window::Control c, bool on) override { enabled[c] = on; }
    void SetVisible(window::Control c, bool on) override { visible[c] = on; }
    void SetReadOnly(window::Control c, bool on) override { readOnly[c] = on; }
    void SetChecked(window::Control c, bool on) override { checked[c] = on; }
    void Focus(window::Control c) override { focused.push_back(c); }
    void ShowBox(const window::Box& box) override {
        // What the window showed behind the box.
        boxes.push_back(box);
        behindBoxes.push_back(texts[window::Text::Action] + "|" + texts[window::Text::Verdict]);
        if (onBox) onBox(box);
        // As Enter would: the default button.
        if (answerBoxes) Post([this, id = box.id] { model->BoxClosed(id, true); });
    }
    void ChooseFile(const std::vector<window::FileFilter>& f) override { filters.push_back(f); }
    void EndProgram() override { ++ended; }

    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const window::Box& b : boxes) out.push_back(b.text);
        return out;
    }

    window::WindowModel* model = nullptr;
    bool answerBoxes = true;
    bool runLater = true;  // false: what is posted for later never runs
    std::function<void(const window::Box&)> onBox;

    std::map<window::Text, std::string> texts;
    std::vector<std::string> actions, verdicts;
    window::Bar bar;
    std::optional<window::Rgb> verdictBackground;
    std::map<window::Control, bool> enabled, visible, readOnly, checked;
    std::vector<window::Control> focused;
    std::vector<window::Box> boxes;
    std::vector<std::string> behindBoxes;
    std::vector<std::vector<window::FileFilter>> filters;
    int ended = 0;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> ready_;
    std::multimap<Clock::time_point, std::function<void()>> later_;
};

}  // namespace testsupport
