// A window for the update logic without a window toolkit: texts, states,
// message boxes and real-time one-shot timers.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "UpdateForm.h"

namespace loader::testing {

class FakeForm : public IUpdateForm {
public:
    using Clock = std::chrono::steady_clock;

    FakeForm() {
        texts_[Control::Perc1] = "0%";
        texts_[Control::Label1] = "";
        texts_[Control::Label4] = "";
        texts_[Control::LabelRepeat] = "0";
        texts_[Control::Button2] = "FIRMWARE UPDATE";
        checked_[Control::CheckBox1] = true;
        timers_[WaitTimer::TimerIP].interval = 50;
        timers_[WaitTimer::TimerDelay].interval = 1000;
    }

    // What the operator typed.
    void Type(Control c, std::string text) { texts_[c] = std::move(text); }
    void SetChecked(Control c, bool on) { checked_[c] = on; }
    void RequestClose() { closing_ = true; }

    // Called on every pass of the event pump, as other window events would run.
    std::function<void()> onEvents;
    // Called when a message box opens; it is dismissed when this returns.
    std::function<void(const std::string&)> onMessage;

    std::vector<std::string> messages;
    // Every text each control was given, in order.
    std::map<Control, std::vector<std::string>> history;
    bool passwordNotLatin1 = false;
    std::string chosenFile;

    bool Enabled(Control c) const {
        auto it = enabled_.find(c);
        return it == enabled_.end() || it->second;
    }
    uint32_t Perc1Color() const { return perc1Color_; }
    uint32_t Interval(WaitTimer t) const { return timers_.at(t).interval; }

    // IUpdateForm
    bool TextIsLatin1(Control c) const override { return !(c == Control::EditPass && passwordNotLatin1); }
    void SetEnabled(Control c, bool enabled) override { enabled_[c] = enabled; }
    bool Checked(Control c) const override {
        auto it = checked_.find(c);
        return it != checked_.end() && it->second;
    }
    void SetPerc1Color(uint32_t color) override { perc1Color_ = color; }
    void SetProgressMin(int32_t v) override { min_ = v; pos_ = std::clamp(pos_, min_, std::max(min_, max_)); }
    void SetProgressMax(int32_t v) override { max_ = v; pos_ = std::clamp(pos_, std::min(min_, max_), max_); }
    void SetProgressPosition(int64_t v) override { pos_ = static_cast<int32_t>(std::clamp<int64_t>(v, min_, max_)); }
    int32_t ProgressMin() const override { return min_; }
    int32_t ProgressMax() const override { return max_; }
    int32_t ProgressPosition() const override { return pos_; }
    void ShowMessage(std::string_view text) override {
        messages.emplace_back(text);
        if (onMessage) onMessage(messages.back());
    }
    void SetTimerEnabled(WaitTimer t, bool enabled) override {
        Timer& tm = timers_[t];
        if (tm.enabled == enabled) return;
        tm.enabled = enabled;
        if (enabled) tm.due = Clock::now() + std::chrono::milliseconds(tm.interval);
    }
    void SetTimerInterval(WaitTimer t, uint32_t ms) override {
        Timer& tm = timers_[t];
        if (tm.interval == ms) return;
        tm.interval = ms;
        if (tm.enabled) tm.due = Clock::now() + std::chrono::milliseconds(ms);
    }
    bool TimerEnabled(WaitTimer t) const override { return timers_.at(t).enabled; }
    void ProcessMessages() override {
        // Sleep until the next tick, the only event this window has of its
        // own; whatever else happened meanwhile is handled before the tick.
        Clock::time_point next = Clock::time_point::max();
        for (auto& [id, tm] : timers_)
            if (tm.enabled) next = std::min(next, tm.due);
        if (next != Clock::time_point::max()) std::this_thread::sleep_until(next);
        if (onEvents) onEvents();
        const auto now = Clock::now();
        for (auto& [id, tm] : timers_)
            if (tm.enabled && tm.due <= now) tm.enabled = false;
    }
    bool Closing() const override { return closing_; }
    std::string ChosenFileText() const override { return chosenFile; }

private:
    struct Timer {
        bool enabled = false;
        uint32_t interval = 0;
        Clock::time_point due{};
    };

    std::string GetText(Control c) const override {
        auto it = texts_.find(c);
        return it == texts_.end() ? std::string() : it->second;
    }
    void PutText(Control c, std::string_view text) override {
        texts_[c] = std::string(text);
        history[c].emplace_back(text);
    }

    std::map<Control, std::string> texts_;
    std::map<Control, bool> enabled_;
    std::map<Control, bool> checked_;
    std::map<WaitTimer, Timer> timers_;
    uint32_t perc1Color_ = clBtnFace;
    int32_t min_ = 14, max_ = 65000, pos_ = 14;
    bool closing_ = false;
};

}  // namespace loader::testing
