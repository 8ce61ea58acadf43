// Remembers everything an update reported, in order. The action line and
// the identity are kept as a log of readable entries, one per event, so that
// a test reads like what a window would have shown.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "update/UpdateEvents.h"

namespace testsupport {

struct RecordingListener : update::UpdateListener {
    std::vector<std::string> actions, identities, percents;
    std::vector<update::Stage> stages;
    std::vector<update::Notice> notices;
    std::vector<update::ProgrammingEnd> ends;
    int retries = 0;
    bool succeeded = false;
    bool busy = false, inProcedure = false;
    int64_t position = 0;

    static std::string Hex5(uint32_t a) {
        char b[16];
        std::snprintf(b, sizeof b, "%05X", a);
        return b;
    }
    // Up to the first zero byte, as a label shows it.
    static std::string Chars(const update::AnswerBytes& a) {
        std::string s(a.begin(), a.end());
        return s.substr(0, s.find('\0'));
    }

    void RequestStarted() override { busy = true; }
    void RequestEnded() override { busy = false; }
    void ProcedureStarted(const update::Progress& p) override {
        inProcedure = true;
        percents.push_back(update::PercentText(p));
        identities.emplace_back("...");
    }
    void ProcedureEnded() override { inProcedure = false; }
    void StageChanged(update::Stage s) override {
        stages.push_back(s);
        if (s == update::Stage::StartingBootloader) actions.emplace_back("Bootloader mode. Please wait ...");
    }
    void Identified(std::string_view t) override {
        identities.emplace_back(t.empty() ? "not found" : t);
        if (t.empty()) actions.emplace_back("");
    }
    void EraseSent() override { actions.emplace_back("erase sector 0x08000 - 0x7FFFF"); }
    void EraseAnswered(const update::AnswerBytes& a) override { actions.push_back("erase sectors " + Chars(a)); }
    void BlockStarted(uint32_t a) override { actions.push_back("writing sector 0x" + Hex5(a)); }
    void BlockFailed(uint32_t a, const update::AnswerBytes& b) override {
        actions.push_back("writing sector 0x" + Hex5(a) + " : " + Chars(b));
    }
    void ProgressChanged(const update::Progress& p) override {
        percents.push_back(update::PercentText(p));
        position = p.position;
    }
    void RetriesChanged(int n) override { retries = n; }
    std::vector<std::chrono::seconds> timeLeft;
    void TimeLeft(std::chrono::seconds left) override { timeLeft.push_back(left); }
    bool TimeLeftShown() const { return !timeLeft.empty(); }
    void Notify(update::Notice n, const update::UpdateResult&) override { notices.push_back(n); }
    void ProgrammingEnded(update::ProgrammingEnd e) override {
        ends.push_back(e);
        succeeded = e == update::ProgrammingEnd::Complete;
        actions.emplace_back(e == update::ProgrammingEnd::Failed             ? "Communication error!"
                             : e == update::ProgrammingEnd::EraseUnconfirmed ? "Erase not confirmed."
                                                                             : "Finished.");
    }

    void LeftInBootloader() override { actions.emplace_back("Stopped: meter left in bootloader."); }

    std::string Action() const { return actions.empty() ? std::string() : actions.back(); }
    int Count(const std::string& action) const { return static_cast<int>(std::ranges::count(actions, action)); }
};

}  // namespace testsupport
