#include "cli/LiveReport.h"

namespace cli {

LiveReport::LiveReport(const RunRecord& run, const std::vector<std::string>& addresses, Write write,
                       std::chrono::milliseconds every)
    : run_(run), write_(std::move(write)), every_(every), meters_(addresses.size()) {
    for (size_t i = 0; i < addresses.size(); ++i) meters_[i].record.address = addresses[i];
}

LiveReport::~LiveReport() { Stop(); }

std::string LiveReport::WriteNow(const std::vector<MeterSoFar>& meters) {
    return write_(ReportSoFar(run_, meters, std::chrono::system_clock::now()).dump(2) + "\n");
}

std::string LiveReport::Begin() {
    std::vector<MeterSoFar> meters;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        meters = meters_;
        lastWrite_ = Clock::now();
    }
    if (std::string why = WriteNow(meters); !why.empty()) return why;
    writer_ = std::thread([this] { Rewrite(); });
    return {};
}

void LiveReport::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
}

// The meters' threads only mark the report changed: the writer takes the
// change up, so no meter waits for a file to reach the disk.
void LiveReport::Changed(std::unique_lock<std::mutex>& lock) {
    const bool wasDirty = dirty_;
    dirty_ = true;
    lock.unlock();
    if (!wasDirty) changed_.notify_one();
}

void LiveReport::Started(size_t meter) {
    std::unique_lock<std::mutex> lock(mutex_);
    MeterSoFar& m = meters_.at(meter);
    m.state = MeterSoFar::State::Running;
    m.record.started = std::chrono::system_clock::now();
    Changed(lock);
}

void LiveReport::StageChanged(size_t meter, update::Stage stage) {
    std::unique_lock<std::mutex> lock(mutex_);
    meters_.at(meter).stage = stage;
    Changed(lock);
}

void LiveReport::Finished(size_t meter, const MeterRecord& record) {
    std::unique_lock<std::mutex> lock(mutex_);
    MeterSoFar& m = meters_.at(meter);
    m.state = MeterSoFar::State::Ended;
    m.record = record;
    Changed(lock);
}

// At most one rewrite per `every_`: a change within it waits for its end,
// and every change made meanwhile goes into that one rewrite.
void LiveReport::Rewrite() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return dirty_ || stopping_; });
        if (changed_.wait_until(lock, lastWrite_ + every_, [this] { return stopping_; })) return;
        dirty_ = false;
        lastWrite_ = Clock::now();
        const std::vector<MeterSoFar> meters = meters_;
        lock.unlock();
        const std::string why = WriteNow(meters);
        lock.lock();
        if (!why.empty()) {
            ++failures_;
            lastFailure_ = why;
        }
    }
}

int LiveReport::Failures() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::string LiveReport::LastFailure() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lastFailure_;
}

}  // namespace cli
