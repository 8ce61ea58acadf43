// Remembers everything an update reported, in order.
#pragma once

#include <string>
#include <vector>

#include "UpdateEvents.h"

namespace loader::testing {

struct RecordingListener : UpdateListener {
    std::vector<std::string> actions, identities, percents;
    std::vector<Stage> stages;
    std::vector<Notice> notices;
    int retries = 0;
    bool succeeded = false;
    bool busy = false, inProcedure = false;
    int64_t position = 0;

    void RequestStarted() override { busy = true; }
    void RequestEnded() override { busy = false; }
    void ProcedureStarted(const Progress& p) override {
        inProcedure = true;
        percents.push_back(p.percent);
    }
    void ProcedureEnded() override { inProcedure = false; }
    void StageChanged(Stage s) override { stages.push_back(s); }
    void ActionChanged(std::string_view t) override { actions.emplace_back(t); }
    void IdentityChanged(std::string_view t) override { identities.emplace_back(t); }
    void ProgressChanged(const Progress& p) override {
        percents.push_back(p.percent);
        position = p.position;
    }
    void RetriesChanged(int n) override { retries = n; }
    void Notify(Notice n) override { notices.push_back(n); }
    void Succeeded() override { succeeded = true; }

    std::string Action() const { return actions.empty() ? std::string() : actions.back(); }
    int Count(const std::string& action) const {
        int n = 0;
        for (const auto& a : actions) n += a == action;
        return n;
    }
};

}  // namespace loader::testing
