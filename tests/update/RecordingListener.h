// Remembers everything an update reported, in order. The action line and
// the identity are kept as a log of readable entries, one per event, so that
// a test reads like what a window would have shown.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Frames.h"
#include "UpdateEvents.h"

namespace loader::testing {

struct RecordingListener : UpdateListener {
    std::vector<std::string> actions, identities, percents;
    std::vector<Stage> stages;
    std::vector<Notice> notices;
    std::vector<ProgrammingEnd> ends;
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
    static std::string Chars(const AnswerBytes& a) {
        std::string s(a.begin(), a.end());
        return s.substr(0, s.find('\0'));
    }
    static std::string Percent(const Progress& p) {
        return protocol::PercentText(static_cast<int32_t>(p.position), p.minimum, p.maximum) + "%";
    }

    void RequestStarted() override { busy = true; }
    void RequestEnded() override { busy = false; }
    void ProcedureStarted(const Progress& p) override {
        inProcedure = true;
        percents.push_back(Percent(p));
        identities.emplace_back("...");
    }
    void ProcedureEnded() override { inProcedure = false; }
    void StageChanged(Stage s) override {
        stages.push_back(s);
        if (s == Stage::StartingBootloader) actions.emplace_back("Bootloader mode. Please wait ...");
    }
    void Identified(std::string_view t) override {
        identities.emplace_back(t.empty() ? "not found" : t);
        if (t.empty()) actions.emplace_back("");
    }
    void EraseSent() override { actions.emplace_back("erase sector 0x08000 - 0x7FFFF"); }
    void EraseAnswered(const AnswerBytes& a) override { actions.push_back("erase sectors " + Chars(a)); }
    void BlockStarted(uint32_t a) override { actions.push_back("writing sector 0x" + Hex5(a)); }
    void BlockFailed(uint32_t a, const AnswerBytes& b) override {
        actions.push_back("writing sector 0x" + Hex5(a) + " : " + Chars(b));
    }
    void ProgressChanged(const Progress& p) override {
        percents.push_back(Percent(p));
        position = p.position;
    }
    void RetriesChanged(int n) override { retries = n; }
    void Notify(Notice n) override { notices.push_back(n); }
    void ProgrammingEnded(ProgrammingEnd e) override {
        ends.push_back(e);
        succeeded = e == ProgrammingEnd::Complete;
        actions.emplace_back(e == ProgrammingEnd::Failed             ? "Communication error!"
                             : e == ProgrammingEnd::EraseUnconfirmed ? "Erase not confirmed."
                                                                     : "Finished.");
    }

    void LeftInBootloader() override { actions.emplace_back("Stopped: meter left in bootloader."); }

    std::string Action() const { return actions.empty() ? std::string() : actions.back(); }
    int Count(const std::string& action) const {
        int n = 0;
        for (const auto& a : actions) n += a == action;
        return n;
    }
};

}  // namespace loader::testing
