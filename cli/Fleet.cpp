#include "cli/Fleet.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "core/MeterRun.h"
#include "core/PathPacing.h"

namespace cli {
namespace {

// An update needs a few KiB of stack (its frames, a name lookup); the
// system's default of megabytes per thread is address space for nothing.
constexpr size_t kStackBytes = 256 * 1024;

// Runs work on `count` threads at once (the calling one among them) and
// returns when all are done. pthreads, also on Windows (winpthreads), as
// std::thread cannot choose its stack size.
void OnThreads(size_t count, const std::function<void()>& work) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackBytes);
    const auto entry = [](void* w) -> void* {
        (*static_cast<const std::function<void()>*>(w))();
        return nullptr;
    };
    std::vector<pthread_t> threads;
    for (size_t i = 1; i < count; ++i) {
        pthread_t t;
        // Fewer threads than asked still finish the work, only later.
        if (pthread_create(&t, &attr, entry, const_cast<std::function<void()>*>(&work)) != 0) break;
        threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    work();
    for (pthread_t t : threads) pthread_join(t, nullptr);
}

// One meter's update events, to the display and to the observers.
class FleetListener final : public update::UpdateListener {
public:
    FleetListener(Display& display, size_t meter, const std::vector<MeterObserver*>& observers)
        : display_(display, meter), meter_(meter), observers_(observers) {}
    void StageChanged(update::Stage s) override {
        display_.StageChanged(s);
        for (MeterObserver* o : observers_) o->StageChanged(meter_, s);
    }
    void ProgressChanged(const update::Progress& p) override { display_.ProgressChanged(p); }
    void RetriesChanged(int n) override { display_.RetriesChanged(n); }
    void TimeLeft(std::chrono::seconds left) override { display_.TimeLeft(left); }
    void Awaiting(std::chrono::seconds sinceReset) override { display_.Awaiting(sinceReset); }
    void Notify(update::Notice n, const update::UpdateResult& soFar) override { display_.Notify(n, soFar); }

private:
    MeterListener display_;
    size_t meter_;
    const std::vector<MeterObserver*>& observers_;
};

// One gate per group of the run, each meter's among them.
class Gates {
public:
    Gates(const FleetOptions& options, const update::CancelToken& stop, Display& display) {
        for (const std::string& name : options.groups) {
            if (!index_.contains(name)) {
                index_[name] = groups_.size();
                groups_.push_back({name});
                gates_.push_back(std::make_unique<core::PathGate>(
                    stop, [&display, name](std::optional<int> limit) { display.PathLimit(name, limit); }));
            }
            of_.push_back(gates_[index_[name]].get());
            ++groups_[index_[name]].meters;
        }
    }
    update::SendGate* Of(size_t meter) const { return meter < of_.size() ? of_[meter] : nullptr; }
    std::vector<GroupRecord> Records() const {
        std::vector<GroupRecord> records = groups_;
        for (size_t g = 0; g < records.size(); ++g) {
            const core::PathFigures f = gates_[g]->Figures();
            records[g].bytesSent = f.bytesSent;
            records[g].framesSentAgain = f.framesSentAgain;
            records[g].limitLowest = f.lowest;
            records[g].limitHighest = f.highest;
        }
        return records;
    }

private:
    std::map<std::string, size_t> index_;
    std::vector<GroupRecord> groups_;
    std::vector<std::unique_ptr<core::PathGate>> gates_;
    std::vector<core::PathGate*> of_;
};

}  // namespace

void ForEachOnThreads(size_t count, int jobs, const std::function<void(size_t)>& work) {
    if (count == 0) return;
    std::atomic<size_t> next{0};
    OnThreads(std::clamp<size_t>(static_cast<size_t>(std::max(jobs, 1)), 1, count), [&] {
        for (size_t i; (i = next.fetch_add(1)) < count;) work(i);
    });
}

std::vector<MeterRecord> RunFleet(const std::vector<std::string>& hosts, const FleetOptions& options,
                                  const update::CancelToken& stop, Display& display, std::vector<GroupRecord>* groups) {
    std::vector<MeterRecord> records(hosts.size());
    const Gates gates(options, stop, display);
    ForEachOnThreads(hosts.size(), options.jobs, [&](size_t i) {
        if (stop.Cancelled()) {
            records[i].address = hosts[i];
            records[i].result.outcome = update::Outcome::Cancelled;
        } else {
            for (MeterObserver* o : options.observers) o->Started(i);
            FleetListener listener(display, i, options.observers);
            update::UpdateRequest request{hosts[i], options.password, options.command == Command::Update,
                                          options.connectLimit};
            request.returnLimit = options.returnLimit;
            request.expectedRevision = options.expectedRevision;
            const core::RunBegun begun = [&](const MeterRecord& m) {
                for (MeterObserver* o : options.observers) o->Begun(i, m);
            };
            records[i] = core::RunMeterOnOwnLinks(
                request, {options.firmware, options.ports, options.lockScope, begun, options.trace, gates.Of(i)},
                listener, stop);
        }
        display.Finished(i, records[i]);
        for (MeterObserver* o : options.observers) o->Finished(i, records[i]);
    });
    if (groups) *groups = gates.Records();
    return records;
}

}  // namespace cli
