// The pacing of a group against a small model of its shared path, on a
// virtual clock: stop-and-wait meters behind one uplink with a drop-tail
// buffer, each write held at least the protocol's write wait, a lost one
// retried after the grace and the delay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <thread>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <tuple>
#include <vector>

#include "core/PathPacing.h"

namespace core {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

struct Path {
    const char* name;
    int meters;
    double kbps;
    int bufferBytes;
    milliseconds base;
    milliseconds jitter{0};  // the most added to a round trip at random
    double loss = 0;         // lost at random, apart from the buffer
};

struct Outcome {
    double wallOverFloor = 0;
    double sentAgainShare = 0;
    std::optional<int> lowest, highest;  // the limit while it held writes back
};

constexpr int kBlocks = 60;
constexpr double kDatagram = 1057;  // a write on the link, headers included

class PathModel {
public:
    PathModel(const Path& p, bool paced) : p_(p), paced_(paced), left_(p.meters, kBlocks) {}

    Outcome Run() {
        // The identification's round trip, before the writes.
        pacing_.Heard(std::max<microseconds>(p_.base, microseconds(100)));
        for (int m = 0; m < p_.meters; ++m) Ask(m, 0);
        double end = 0;
        while (!events_.empty()) {
            const auto [at, meter, retry] = events_.top();
            events_.pop();
            end = at;
            if (retry > 0)
                Send(meter, at, retry);
            else
                Finish(meter, at);
        }
        const double serial = kDatagram * 8 / (p_.kbps * 1000);
        const double alone = kBlocks * std::max(0.05, Seconds(p_.base) + serial);
        const double floor = std::max(p_.meters * kBlocks * serial, alone);
        return {end / floor, static_cast<double>(again_) / (p_.meters * kBlocks), lowest_, highest_};
    }

private:
    // When a meter's write ends, or (retry: its attempt) is sent again.
    using Event = std::tuple<double, int, int>;
    static double Seconds(microseconds d) { return std::chrono::duration<double>(d).count(); }

    void Ask(int meter, double at) {
        if (!waiting_.empty() || !MayStart()) {
            waiting_.push_back(meter);
            const int limit = *pacing_.Limit();
            lowest_ = std::min(lowest_.value_or(limit), limit);
            highest_ = std::max(highest_.value_or(limit), limit);
            return;
        }
        ++inFlight_;
        Send(meter, at, 1);
    }

    // One attempt at `at`: lost, it ends the grace and the delay later and is tried again.
    void Send(int meter, double at, int attempt) {
        const double serial = kDatagram * 8 / (p_.kbps * 1000);
        const double queued = std::max(0.0, linkFree_ - at) * p_.kbps * 1000 / 8;
        std::uniform_real_distribution<double> unit(0, 1);
        if (queued + kDatagram > p_.bufferBytes || unit(random_) < p_.loss) {
            ++again_;
            events_.push({at + 0.5 + 2.0, meter, attempt + 1});
            return;
        }
        linkFree_ = std::max(at, linkFree_) + serial;
        const double answer = linkFree_ + Seconds(p_.base) + unit(random_) * Seconds(p_.jitter);
        const double end = std::max(at + 0.05, answer);
        attempts_[meter] = {answer - at, attempt};
        events_.push({end, meter, 0});
    }

    bool MayStart() const { return !paced_ || pacing_.MayStart(inFlight_); }

    void Finish(int meter, double at) {
        const auto [roundTrip, attempts] = attempts_[meter];
        const auto moment = PathPacing::TimePoint{} +
                            std::chrono::duration_cast<microseconds>(std::chrono::duration<double>(at + 1000));
        pacing_.Ended({moment, microseconds(static_cast<long long>(roundTrip * 1e6)), attempts > 1, inFlight_,
                       static_cast<int>(waiting_.size())});
        --inFlight_;
        if (--left_[meter] > 0) Ask(meter, at);
        while (!waiting_.empty() && MayStart()) {
            const int next = waiting_.front();
            waiting_.pop_front();
            ++inFlight_;
            Send(next, at, 1);
        }
    }

    Path p_;
    bool paced_;
    PathPacing pacing_;
    std::vector<int> left_;
    std::map<int, std::pair<double, int>> attempts_;
    std::priority_queue<Event, std::vector<Event>, std::greater<>> events_;
    std::deque<int> waiting_;
    int inFlight_ = 0, again_ = 0;
    double linkFree_ = 0;
    std::optional<int> lowest_, highest_;
    std::mt19937 random_{7};
};

// Whether the limit held writes back: never; only the opening's writes
// (PathPacing::kOpening) until the path's round trips showed no queue; or
// cut below that.
enum class Bound { Never, Opening, Cut };

struct Expect {
    Bound bound;
    double wallOverFloor;  // at most
    double sentAgain;      // share of blocks, at most
};

void PrintTo(const Path& p, std::ostream* os) { *os << p.name; }
void PrintTo(const Expect&, std::ostream*) {}

class PathPacingTest : public testing::TestWithParam<std::pair<Path, Expect>> {};

TEST_P(PathPacingTest, KeepsThePathFullWithoutOverflowingIt) {
    const auto& [path, expect] = GetParam();
    const Outcome o = PathModel(path, true).Run();
    const Outcome unpaced = PathModel(path, false).Run();
    EXPECT_LE(o.wallOverFloor, expect.wallOverFloor);
    EXPECT_LE(o.sentAgainShare, expect.sentAgain);
    EXPECT_LE(o.sentAgainShare, unpaced.sentAgainShare);
    EXPECT_EQ(o.lowest.has_value(), expect.bound != Bound::Never);
    if (expect.bound == Bound::Opening) EXPECT_GE(o.lowest.value_or(0), PathPacing::kOpening);
    if (expect.bound == Bound::Cut) {
        EXPECT_GE(*o.lowest, 1);
        EXPECT_LT(*o.lowest, PathPacing::kOpening);
        EXPECT_GT(*o.highest, PathPacing::kOpening) << "grown past the opening";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathPacingTest,
    testing::Values(
        std::pair{Path{"cellular_1M", 120, 1000, 32000, milliseconds(200)}, Expect{Bound::Opening, 1.02, 0.005}},
        std::pair{Path{"cellular_2M", 200, 2000, 16000, milliseconds(200)}, Expect{Bound::Opening, 1.08, 0.005}},
        // Down to two writes at a time, never below one, and still far fewer sent again.
        std::pair{Path{"thin", 30, 64, 2200, milliseconds(200)}, Expect{Bound::Cut, 1.3, 0.15}},
        std::pair{Path{"not_full", 20, 1000, 32000, milliseconds(200)}, Expect{Bound::Opening, 1.02, 0}},
        // Scheduling jitter on a loaded machine, and loss without a queue.
        std::pair{Path{"loopback", 200, 1e6, 1 << 20, milliseconds(0), milliseconds(25)},
                  Expect{Bound::Never, 1.01, 0}},
        std::pair{Path{"lossy_lan", 40, 1e5, 1 << 20, milliseconds(1), milliseconds(5), 0.05},
                  Expect{Bound::Never, 7, 0.06}}),
    [](const auto& info) { return std::string(info.param.first.name); });

}  // namespace
}  // namespace core

namespace core {
namespace {

// A write held back at the gate goes at the stop request, as not begun, and
// one let through before it still ends; its figures count what was sent.
TEST(PathGate, AStopLetsTheHeldBackWritesGoAsNotBegun) {
    platform::CancelToken stop;
    std::vector<std::optional<int>> told;
    PathGate gate(stop, [&told](std::optional<int> limit) { told.push_back(limit); });
    for (int i = 0; i < PathPacing::kOpening; ++i) ASSERT_TRUE(gate.Enter(milliseconds(200)));
    std::promise<bool> entered;
    std::thread held([&] { entered.set_value(gate.Enter(milliseconds(200))); });
    auto result = entered.get_future();
    EXPECT_EQ(result.wait_for(milliseconds(50)), std::future_status::timeout) << "the opening's writes are in flight";
    stop.Cancel();
    EXPECT_FALSE(result.get());
    held.join();
    gate.Leave({{}, milliseconds(200), 2});
    const PathFigures f = gate.Figures();
    EXPECT_EQ(f.bytesSent, 2 * 1029);
    EXPECT_EQ(f.framesSentAgain, 1);
    EXPECT_EQ(f.lowest, PathPacing::kOpening);
    EXPECT_EQ(told, (std::vector<std::optional<int>>{PathPacing::kOpening, std::nullopt}));
}

}  // namespace
}  // namespace core
