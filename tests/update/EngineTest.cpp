// The update engine's scenarios on a virtual clock: each whole update runs in
// milliseconds, and the moment the meter sees every frame is exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "image/FlashImage.h"
#include "tests/update/RecordingListener.h"
#include "update/UpdateEngine.h"
#include "tests/update/VirtualMeter.h"

using namespace update;
using namespace testsupport;
using Reply = ScriptedMeter::Reply;

namespace {

const std::vector<uint8_t> kOk = {'O', 'K', '\r', '\n'};

struct Bench {
    explicit Bench(std::vector<uint8_t> img = {}, std::string identity = "TALVO-ETH-BOOTLOADER-V1.00")
        : firmware(img.empty() ? std::vector<uint8_t>(FlashImageARM, FlashImageARM + image::kImageSize)
                               : std::move(img)),
          meter(clock, std::move(identity)),
          engine(clock, meter.modbus, meter.boot, image::ImageView(firmware.data(), image::kImageSize), delay, seen) {}

    UpdateResult Procedure(bool program = true) { return engine.RunProcedure("127.0.0.1", program); }
    UpdateResult Request(std::optional<std::string> password = "1234") {
        return engine.Run({"127.0.0.1", std::move(password), true});
    }
    // The blocks that hold firmware, in the order an update writes them.
    std::vector<uint32_t> ExpectedOrder() const {
        std::vector<uint32_t> out;
        for (uint32_t a = 0x08400; a < 0x80000; a += 1024)
            if (!Blank(a)) out.push_back(a);
        if (!Blank(0x08000)) out.push_back(0x08000);
        return out;
    }
    bool Blank(uint32_t a) const {
        return std::all_of(firmware.begin() + a, firmware.begin() + a + 1024, [](uint8_t b) { return b == 0xFF; });
    }

    std::vector<uint8_t> firmware;
    VirtualClock clock;
    ScriptedMeter meter;
    RecordingListener seen;
    DelayInterval delay;
    UpdateEngine engine;
};

}  // namespace

// Copies of every answer that come within the wait change nothing but the
// count of dropped answers.
TEST(Engine, WholeUpdateAsTheMeterSeesIt) {
    for (const bool copies : {false, true}) {
        SCOPED_TRACE(copies ? "every answer copied 11 ms later" : "plain");
        Bench b;
        if (copies)
            b.meter.script = [](const Received&, int, std::vector<Reply> normal) {
                if (!normal.empty()) normal.push_back({normal[0].bytes, 11ms});
                return normal;
            };
        const UpdateResult r = b.Procedure();

        const auto order = b.ExpectedOrder();
        ASSERT_GT(order.size(), 10u);
        EXPECT_EQ(b.meter.Writes(), order) << "ascending from 0x08400, 0x08000 last, blank blocks never";
        // 500 ms after opening the first "VER?", 500 ms for its answer, 500 ms
        // for the erase, then one write every 50 ms and "RESET" 50 ms after the last.
        EXPECT_EQ(b.meter.Times("VER?"), std::vector<double>{500});
        EXPECT_EQ(b.meter.Times("E"), std::vector<double>{1000});
        const auto w = b.meter.Times("W");
        for (size_t i = 0; i < w.size(); ++i) ASSERT_EQ(w[i], 1500 + 50.0 * i) << "write " << i;
        EXPECT_EQ(b.meter.Times("RESET"), std::vector<double>{w.back() + 50});
        EXPECT_EQ(b.clock.Ms(), w.back() + 50 + 50 + 1000) << "then the 1000 ms delay";

        EXPECT_EQ(r.outcome, Outcome::Updated);
        EXPECT_EQ(r.identity, "BOOTLOADER-V1.00");
        EXPECT_EQ(r.blocksWritten, static_cast<int>(order.size()));
        EXPECT_EQ(r.retries, 0);
        EXPECT_EQ(r.staleAnswersDropped, copies ? static_cast<int>(w.size()) + 2 : 0);
        EXPECT_TRUE(r.resetSent);
        EXPECT_TRUE(b.seen.succeeded);
        EXPECT_TRUE(b.seen.notices.empty());
        EXPECT_EQ(b.seen.identities, (std::vector<std::string>{"...", "BOOTLOADER-V1.00"}));
        EXPECT_EQ(b.seen.Action(), "Finished.");
        EXPECT_EQ(b.seen.actions.front(), "erase sector 0x08000 - 0x7FFFF");
        EXPECT_EQ(b.seen.Count("erase sectors OK"), 1);
        EXPECT_EQ(b.seen.Count("writing sector 0x7FC00"), 1) << "blank blocks still show what they would have written";
        EXPECT_FALSE(b.seen.inProcedure);

        // The percentage at the start and after each of the 480 steps.
        const auto& p = b.seen.percents;
        ASSERT_EQ(p.size(), 481u);
        for (const auto& [step, text] : std::initializer_list<std::pair<int, const char*>>{
                 {1, "0%"}, {2, "0%"}, {3, "1%"}, {240, "50%"}, {477, "99%"}, {478, "100%"}, {480, "100%"}})
            EXPECT_EQ(p[step], text) << "step " << step;
        EXPECT_EQ(b.seen.position, 0x7FFFF) << "the last step stops at the bar's maximum";
    }
}

// The percentage divides first and rounds exact halves up, not to the even neighbour.
TEST(PercentText, RoundsHalvesAwayFromZero) {
    for (const auto& [position, text] :
         std::initializer_list<std::pair<int, const char*>>{{0, "0%"}, {1, "1%"}, {3, "2%"}, {5, "3%"}})
        EXPECT_EQ(PercentText({0, 0, position, 0, 200}), text) << position << "/200";
}

// The boot-mode request: what each answer leads to, and when the first "VER?" follows.
struct RequestCase {
    const char* name;
    std::vector<uint8_t> answer;  // empty: none
    double firstVer;              // -1: never
    bool waitText;
    Outcome outcome;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }
class BootModeRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(BootModeRequest, OnlyTheNormalAnswerWaitsAndOnlyCodeFourStops) {
    const RequestCase& c = GetParam();
    Bench b(SmallImage({0x08400}));
    b.meter.modbusAnswer = c.answer;
    const UpdateResult r = b.Request("s3cret");

    EXPECT_EQ(b.meter.Times("MODBUS"), std::vector<double>{500}) << "the connection gets 500 ms first";
    const auto ver = b.meter.Times("VER?");
    EXPECT_EQ(ver.empty() ? -1 : ver.front(), c.firstVer);
    EXPECT_EQ(b.seen.Count("Bootloader mode. Please wait ..."), c.waitText ? 1 : 0);
    EXPECT_EQ(b.delay.Value(), c.waitText ? 2000ms : 1000ms) << "the longer delay stays once a meter accepted";
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(b.seen.notices.size(), c.outcome == Outcome::PasswordRejected ? 1u : 0u);
    EXPECT_FALSE(b.meter.modbus.open) << "closed once the update procedure has returned";
    EXPECT_FALSE(b.seen.busy);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BootModeRequest,
    ::testing::Values(
        RequestCase{"Normal", {0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0, 0x0F}, 3500, true, Outcome::Updated},
        RequestCase{"AnyHeaderIsAccepted", {9, 9, 9, 9, 9, 9, 9, 0x10, 9, 9, 9, 9}, 3500, true, Outcome::Updated},
        RequestCase{"ExceptionFour", {0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x04}, -1, false, Outcome::PasswordRejected},
        RequestCase{"ExceptionTwo", {0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x02}, 1500, false, Outcome::Updated},
        RequestCase{"ElevenBytesOnly", {0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0}, 1500, false, Outcome::Updated},
        RequestCase{"NoAnswer", {}, 1500, false, Outcome::Updated}),
    [](const ::testing::TestParamInfo<RequestCase>& i) { return i.param.name; });

TEST(Engine, PasswordRuleStopsBeforeAnyConnection) {
    for (const std::optional<std::string>& p :
         {std::optional<std::string>("abc"), std::optional<std::string>("abcdefghijklmnopq"),
          std::optional<std::string>(""), std::optional<std::string>()}) {
        Bench b(SmallImage({}));
        const UpdateResult r = b.Request(p);
        EXPECT_EQ(r.outcome, Outcome::PasswordRejected);
        EXPECT_EQ(b.seen.notices, std::vector<Notice>{Notice::IncorrectPassword});
        EXPECT_TRUE(b.meter.received.empty());
        EXPECT_FALSE(b.meter.modbus.open);
        EXPECT_TRUE(b.seen.stages.empty() || b.seen.stages == std::vector<Stage>{Stage::Done}) << "no request started";
    }
}

// Identification: which answers identify the bootloader, and what follows.
struct IdentityCase {
    const char* name;
    std::string identity;
    std::vector<std::vector<uint8_t>> first;  // replies to the first "VER?" instead of the identity
    const char* shown;
    int verRequests;
};

void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name; }
class Identify : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(Identify, AcceptsExactlyTheTwoBootloaders) {
    const IdentityCase& c = GetParam();
    Bench b(SmallImage({}), c.identity);
    b.meter.script = [&c](const Received& r, int nth, std::vector<Reply> normal) {
        if (r.command != "VER?" || nth > 0 || c.first.empty()) return normal;
        std::vector<Reply> out;
        for (const auto& bytes : c.first)
            if (!bytes.empty()) out.push_back({bytes});
        return out;
    };
    const UpdateResult r = b.Procedure(false);

    EXPECT_EQ(b.seen.identities.back(), c.shown);
    EXPECT_EQ(b.meter.Count("VER?"), c.verRequests);
    EXPECT_EQ(b.meter.Count("E") + b.meter.Count("W"), 0);
    const bool found = std::string(c.shown) != "not found";
    EXPECT_EQ(b.meter.Count("RESET"), found ? 1 : 0) << "without programming the meter is still reset";
    EXPECT_EQ(r.outcome, found ? Outcome::Identified : Outcome::NotFound);
    EXPECT_FALSE(b.seen.succeeded);
    if (!found) {
        EXPECT_EQ(b.seen.Action(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Identify,
    ::testing::Values(IdentityCase{"First", "TALVO-ETH-BOOTLOADER-V1.00", {}, "BOOTLOADER-V1.00", 1},
                      IdentityCase{"SecondAfterNone", "QT51/QT52-BOOTLOADER-V1.01", {{}}, "BOOTLOADER-V1.01", 2},
                      IdentityCase{
                          "ZeroByteAddsNothing", "TALVO-ETH-BOOTLOADER-V1.00", {{0x00}}, "BOOTLOADER-V1.00", 2},
                      IdentityCase{"OneByteThenGood", "TALVO-ETH-BOOTLOADER-V1.00", {{'X'}}, "not found", 2},
                      IdentityCase{"WithLineEnd", "TALVO-ETH-BOOTLOADER-V1.00\r\n", {}, "not found", 2},
                      IdentityCase{"OtherLetterCase", "talvo-eth-bootloader-v1.00", {}, "not found", 2},
                      IdentityCase{"OneByteDiffers", "TALVO-ETH-BOOTLOADER-V1.01", {}, "not found", 2}),
    [](const ::testing::TestParamInfo<IdentityCase>& i) { return i.param.name; });

// The erase: confirmed late, sent again when unconfirmed, and never a success without it.
struct EraseCase {
    const char* name;
    int unconfirmed;  // erases answered wrongly or not at all before a good one
    bool answerWrong;
    milliseconds late = 1ms;  // when the good answer comes
};
void PrintTo(const EraseCase& c, std::ostream* os) { *os << c.name; }
class UnconfirmedErase : public ::testing::TestWithParam<EraseCase> {};

TEST_P(UnconfirmedErase, IsSentAgainAfterTheDelay) {
    const EraseCase& c = GetParam();
    Bench b(SmallImage({0x08000, 0x08400}));
    b.meter.script = [&c](const Received& r, int nth, std::vector<Reply> normal) {
        if (r.command != "E") return normal;
        if (nth >= c.unconfirmed) return std::vector<Reply>{{normal[0].bytes, c.late}};
        if (c.answerWrong) return std::vector<Reply>{{{'E', 'R', 'C', 'S'}}};
        return std::vector<Reply>{};
    };
    const UpdateResult r = b.Procedure();
    const int erases = std::min(c.unconfirmed + 1, 10);
    EXPECT_EQ(b.meter.Count("E"), erases);
    EXPECT_EQ(r.eraseAttempts, erases);
    const auto e = b.meter.Times("E");
    if (e.size() > 1) {
        EXPECT_EQ(e[1] - e[0], c.answerWrong ? 500 + 1000 : 10000 + 1000) << "grace (or answer), then the delay";
    }
    if (c.late > 500ms) {
        EXPECT_EQ(b.meter.Times("W").front(), e.back() + c.late.count())
            << "the first write follows the answer at once";
    }
    EXPECT_EQ(b.meter.Writes(), (std::vector<uint32_t>{0x08400, 0x08000})) << "the writes follow in any case";
    if (c.unconfirmed < 10) {
        EXPECT_EQ(r.outcome, Outcome::Updated);
        EXPECT_TRUE(b.seen.notices.empty());
        EXPECT_EQ(b.meter.Count("RESET"), 1);
    } else {
        EXPECT_EQ(b.seen.notices, std::vector<Notice>{Notice::EraseError});
        EXPECT_EQ(r.outcome, Outcome::EraseUnconfirmed);
        EXPECT_FALSE(b.seen.succeeded) << "the flash is unknown";
        EXPECT_EQ(b.seen.percents.back(), "100%");
        EXPECT_EQ(b.seen.ends, std::vector<ProgrammingEnd>{ProgrammingEnd::EraseUnconfirmed});
        EXPECT_EQ(b.meter.Count("RESET"), 0) << "the meter waits in its bootloader rather than start unknown flash";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UnconfirmedErase,
                         ::testing::Values(EraseCase{"AnsweredAfterThreeSeconds", 0, false, 3000ms},
                                           EraseCase{"LostOnce", 1, false}, EraseCase{"WrongAnswerOnce", 1, true},
                                           EraseCase{"NeverAnswered", 10, false}),
                         [](const ::testing::TestParamInfo<EraseCase>& i) { return i.param.name; });

// Write answers that come late, twice, or wrong: each answer belongs to its own frame.
struct WriteCase {
    const char* name;
    std::function<std::vector<Reply>(const Received&, int, std::vector<Reply>)> script;
    int writes;
    int retries;
    int stale;
    Outcome outcome;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }
class WriteAnswers : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteAnswers, NeverTakeOneFrameForAnother) {
    const WriteCase& c = GetParam();
    Bench b(SmallImage({0x08000, 0x08400, 0x08800, 0x08C00}));
    b.meter.script = c.script;
    const UpdateResult r = b.Procedure();
    EXPECT_EQ(b.meter.Count("W"), c.writes);
    EXPECT_EQ(r.retries, c.retries);
    EXPECT_EQ(r.staleAnswersDropped, c.stale);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(b.seen.succeeded, c.outcome == Outcome::Updated);
}

// Write answers `after` late: all of them, or only the one to the nth write frame.
std::vector<Reply> Late(const Received& r, int nth, std::vector<Reply> normal, milliseconds after, int only = -1) {
    if (r.command == "W" && (only < 0 || nth == only)) normal[0].after = after;
    return normal;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteAnswers,
    ::testing::Values(WriteCase{"Prompt", nullptr, 4, 0, 0, Outcome::Updated},
                      WriteCase{"AllLate120ms", [](auto& r, int n, auto v) { return Late(r, n, v, 120ms); }, 4, 0, 0,
                                Outcome::Updated},
                      // A slow meter: every write answered just inside the grace.
                      WriteCase{"AllLate499ms", [](auto& r, int n, auto v) { return Late(r, n, v, 499ms); }, 4, 0, 0,
                                Outcome::Updated},
                      // Answered after the grace: the attempt fails, and its answer is dropped before the retry.
                      WriteCase{"OnceLate600ms", [](auto& r, int n, auto v) { return Late(r, n, v, 600ms, 1); }, 5, 1,
                                1, Outcome::Updated},
                      // A refusal followed within the wait by another datagram: the refusal is the answer.
                      WriteCase{"RefusedThenStraggler",
                                [](auto& r, int n, auto v) {
                                    if (r.command == "W" && n == 0) v = {{{'E', 'R', '\r', '\n'}}, {v[0].bytes, 10ms}};
                                    return v;
                                },
                                5, 1, 1, Outcome::Updated},
                      WriteCase{"EveryAnswerTwice",
                                [](auto& r, int, auto v) {
                                    if (r.command == "W") v.push_back(v[0]);
                                    return v;
                                },
                                4, 0, 4, Outcome::Updated},
                      // A slow link: the first answer comes after the grace and
                      // teaches the round trip; the rest are waited for.
                      WriteCase{"AlwaysLate600ms", [](auto& r, int n, auto v) { return Late(r, n, v, 600ms); }, 5, 1, 1,
                                Outcome::Updated}),
    [](const ::testing::TestParamInfo<WriteCase>& i) { return i.param.name; });

// The gate of the meters sharing a path: asked once per block sent, before
// its first frame, and held through its retries; told what the block showed.
struct CountingGate final : SendGate {
    bool Enter(std::chrono::microseconds) override {
        ++entered;
        return open;
    }
    void Leave(const BlockSample& s) override { samples.push_back(s); }
    bool open = true;
    int entered = 0;
    std::vector<BlockSample> samples;
};

TEST(Engine, EachBlockWaitsAtTheGateOnceAndReportsItsAttempts) {
    Bench b(SmallImage({0x08000, 0x08400, 0x08800}));
    CountingGate gate;
    b.engine.PaceBlocksThrough(gate);
    // The second write frame is answered after the grace: its block is sent twice.
    b.meter.script = [](auto& r, int n, auto v) { return Late(r, n, v, 600ms, 1); };
    EXPECT_EQ(b.Procedure().outcome, Outcome::Updated);
    EXPECT_EQ(gate.entered, 3);
    ASSERT_EQ(gate.samples.size(), 3u);
    EXPECT_EQ(gate.samples[0].attempts, 1);
    EXPECT_EQ(gate.samples[1].attempts, 2);
    for (const BlockSample& s : gate.samples) EXPECT_TRUE(s.roundTrip && *s.roundTrip < 50ms);

    // A stop while held there: nothing more is sent, and no RESET.
    Bench stopped(SmallImage({0x08000, 0x08400}));
    CountingGate shut;
    shut.open = false;
    stopped.engine.PaceBlocksThrough(shut);
    stopped.Procedure();
    EXPECT_EQ(stopped.meter.Count("W"), 0);
    EXPECT_EQ(stopped.meter.Count("RESET"), 0);
    EXPECT_TRUE(shut.samples.empty());
}

// Answers that the link delivers again, `lag` after the answer: a copy must
// never confirm a write frame that never reached the meter. Where the copies
// come early enough to wait for, the lost frame is sent again; where they do
// not, the run ends without success and without "RESET".
struct EchoCase {
    const char* name;
    milliseconds lag;
    milliseconds late = 1ms;  // every answer leaves this long after its frame
    int lostWrite = -1;       // this write frame (0: the first) is lost on its way
    bool writesOnly = false;  // only write answers are copied
    int copyEvery = 1;        // only every Nth answer is copied
    Outcome outcome = Outcome::Updated;
    bool repaired = false;  // doubtful confirmations were made again on a quiet link
};
void PrintTo(const EchoCase& c, std::ostream* os) { *os << c.name; }
class Echoes : public ::testing::TestWithParam<EchoCase> {};

TEST_P(Echoes, NeverConfirmALostFrame) {
    const EchoCase& c = GetParam();
    std::vector<uint32_t> blocks;
    for (uint32_t a = 0x08000; a < 0x08000 + 40 * 1024; a += 1024) blocks.push_back(a);
    Bench b(SmallImage({}));
    for (uint32_t a : blocks)
        for (uint32_t i = 0; i < 1024; ++i) b.firmware[a + i] = static_cast<uint8_t>(a >> 10 ^ i);
    int answers = 0;
    uint32_t lost = 0;
    b.meter.script = [&](const Received& r, int nth, std::vector<Reply> normal) {
        if (r.command == "W" && nth == c.lostWrite) {
            lost = r.address;
            return std::vector<Reply>{};
        }
        if (normal.empty()) return normal;
        normal[0].after = c.late;
        if ((!c.writesOnly || r.command == "W") && ++answers % c.copyEvery == 0)
            normal.push_back({normal[0].bytes, c.late + c.lag});
        return normal;
    };
    const UpdateResult r = b.Procedure();

    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(b.seen.succeeded, c.outcome == Outcome::Updated);
    EXPECT_EQ(b.meter.Count("RESET"), c.outcome == Outcome::Updated ? 1 : 0);
    const auto w = b.meter.Writes();
    for (uint32_t a : blocks) {
        if (c.outcome == Outcome::Updated && !c.repaired) {
            EXPECT_EQ(std::count(w.begin(), w.end(), a), a == lost ? 2 : 1) << std::hex << a;
        } else if (c.outcome == Outcome::Updated) {
            // The lost frame's block was written again; no block was left out.
            EXPECT_GE(std::count(w.begin(), w.end(), a), a == lost ? 2 : 1) << std::hex << a;
        }
    }
    if (c.repaired) {
        EXPECT_GE(r.retries, 1);
    } else if (c.outcome == Outcome::Updated) {
        EXPECT_EQ(r.retries, c.lostWrite < 0 ? 0 : 1);
    } else {
        EXPECT_EQ(b.seen.notices, std::vector<Notice>{Notice::CommunicationError});
        EXPECT_EQ(b.seen.Action(), "Communication error!");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Echoes,
    ::testing::Values(EchoCase{"Lag10", 10ms}, EchoCase{"Lag10LostFrame", 10ms, 1ms, 5},
                      EchoCase{"Lag60LostFrame", 60ms, 1ms, 5}, EchoCase{"Lag400LostFrame", 400ms, 1ms, 30},
                      EchoCase{"Late80Lag40LostFrame", 40ms, 80ms, 5},
                      EchoCase{"EveryTenthAnswerCopiedAtOnce", 0ms, 1ms, -1, false, 10},
                      EchoCase{"Lag1000LostFrame", 1000ms, 1ms, 30, false, 1, Outcome::AmbiguousAnswers},
                      // Only write answers copied: the first copy comes after the next frame left.
                      EchoCase{"WriteAnswersLag60LostFrame", 60ms, 1ms, 5, true},
                      EchoCase{"WriteAnswersLag60FirstCopyConfirmsLostFrame", 60ms, 1ms, 1, true, 1, Outcome::Updated,
                               true}),
    [](const ::testing::TestParamInfo<EchoCase>& i) { return i.param.name; });

// Every answer comes again 120 ms later, but for the second write's.
std::vector<Reply> CopiedButTheSecondWrite(const Received& r, int nth, std::vector<Reply> normal) {
    if (!normal.empty() && !(r.command == "W" && nth == 1)) normal.push_back({normal[0].bytes, 121ms});
    return normal;
}

TEST(Engine, NextFrameLeavesOnceTheCopyHasComeOrCannotBeDueAnyMore) {
    Bench b(SmallImage({0x08000, 0x08400, 0x08800, 0x08C00, 0x09000}));
    b.meter.script = CopiedButTheSecondWrite;
    const UpdateResult r = b.Procedure();
    EXPECT_EQ(r.outcome, Outcome::Updated);
    EXPECT_EQ(r.retries, 0);
    // The identity's copy comes within the 500 ms of "VER?": the erase leaves on time.
    EXPECT_EQ(b.meter.Times("E"), std::vector<double>{1000});
    const auto w = b.meter.Times("W");
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0], 1500) << "the erase's copy came within its wait";
    EXPECT_EQ(w[1] - w[0], 121) << "as soon as the copy has come";
    EXPECT_EQ(w[2] - w[1], 1 + 120 + 30) << "a copy that does not come is waited for up to its lag and a margin";
    EXPECT_EQ(w[3] - w[2], 121);
    EXPECT_EQ(b.meter.Times("RESET"), std::vector<double>{w[4] + 121}) << "the last copy is waited for too";
}

TEST(Engine, BlockThatNeverGetsAGoodAnswerIsSentTenTimesThenTheRunStops) {
    Bench b(SmallImage({0x08000, 0x08400, 0x08800, 0x0A000}));
    b.meter.script = [](const Received& r, int, std::vector<Reply> normal) {
        if (r.address == 0x08800) normal[0].bytes = {'O', 'K', '\r'};  // three bytes never confirm
        return normal;
    };
    const UpdateResult r = b.Procedure();

    std::vector<uint32_t> expected{0x08400};
    expected.insert(expected.end(), 10, 0x08800);
    EXPECT_EQ(b.meter.Writes(), expected) << "ten frames for the failing block, none for any later one";
    const auto w = b.meter.Times("W");
    EXPECT_EQ(w[2] - w[1], 50 + 1000) << "each failure is followed by the delay";
    EXPECT_EQ(r.outcome, Outcome::CommunicationError);
    EXPECT_EQ(r.failedBlock, 0x08800);
    EXPECT_EQ(r.retries, 10);
    EXPECT_EQ(b.seen.retries, 10);
    EXPECT_EQ(b.seen.notices, std::vector<Notice>{Notice::CommunicationError});
    EXPECT_EQ(b.seen.Count("writing sector 0x08800 : OK"), 10);
    EXPECT_EQ(b.seen.Action(), "Communication error!");
    EXPECT_EQ(b.meter.Count("RESET"), 0) << "a failed meter stays in its bootloader";
    EXPECT_EQ(b.seen.percents.back(), "0%") << "the percentage of the last completed step";
}

// A stop request at each stage: the meter is either untouched and back in its
// application, or partly written and waiting in its bootloader; never erased
// after the request. RESET follows a stop only when this run's boot-mode
// request was accepted: a meter found already in its bootloader may hold what
// an earlier, unfinished update left, and RESET could start it.
struct StopCase {
    const char* name;
    std::function<bool(const ScriptedMeter&, double ms)> when;
    bool accepted;  // false: the boot-mode request gets no answer
    bool program;
    int erases;
    bool reset;
    bool anyFrame;
    const char* action;  // the last action text; nullptr: not checked
    // Every answer but the second write's is copied: the third write waits
    // for a copy that never comes. No further block leaves, and the bar
    // stands at the last block written.
    bool copies = false;
    int writes = -1;  // -1: not checked
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }
class Stop : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stop, NeverErasesAfterTheRequest) {
    const StopCase& c = GetParam();
    Bench b(SmallImage({0x08000, 0x08400, 0x08800, 0x08C00, 0x09000}));
    if (!c.accepted) b.meter.modbusAnswer.clear();
    if (c.copies) b.meter.script = CopiedButTheSecondWrite;
    // Checked at every moment something falls due on the clock.
    std::function<void()> watch = [&] {
        if (c.when(b.meter, b.clock.Ms()))
            b.clock.Cancel();
        else
            b.clock.At(b.clock.Now() + 10ms, watch);
    };
    b.clock.At(b.clock.Now(), watch);
    const UpdateResult r = b.engine.Run({"127.0.0.1", "1234", c.program});

    EXPECT_EQ(r.outcome, Outcome::Cancelled);
    EXPECT_EQ(b.meter.Count("E"), c.erases);
    EXPECT_EQ(b.meter.Count("RESET"), c.reset ? 1 : 0);
    EXPECT_EQ(r.resetSent, c.reset);
    EXPECT_EQ(!b.meter.received.empty(), c.anyFrame);
    if (c.action) {
        EXPECT_EQ(b.seen.Action(), c.action);
    }
    if (c.writes >= 0) {
        EXPECT_EQ(b.meter.Count("W"), c.writes);
        EXPECT_EQ(b.seen.position, 0x08000 + c.writes * 1024);
    }
    EXPECT_TRUE(b.seen.notices.empty()) << "a stop shows no box";
    EXPECT_FALSE(b.seen.succeeded);
    EXPECT_FALSE(b.seen.busy);
    EXPECT_LT(b.clock.Ms(), 10000);
}

constexpr char kLeftInBootloader[] = "Stopped: meter left in bootloader.";

INSTANTIATE_TEST_SUITE_P(
    Stages, Stop,
    ::testing::Values(
        StopCase{"BeforeTheRequest", [](auto&, double ms) { return ms >= 200; }, true, true, 0, false, false, nullptr},
        StopCase{"WhileTheBootloaderStarts", [](auto&, double ms) { return ms >= 1500; }, true, true, 0, true, true,
                 nullptr},
        StopCase{"DuringIdentification", [](auto& m, double) { return m.Count("VER?") == 1; }, true, true, 0, true,
                 true, nullptr},
        StopCase{"DuringIdentificationOfAMeterFoundInItsBootloader",
                 [](auto& m, double) { return m.Count("VER?") == 1; }, false, true, 0, false, true, kLeftInBootloader},
        StopCase{"DuringAProbeOfAMeterFoundInItsBootloader", [](auto& m, double) { return m.Count("VER?") == 1; },
                 false, false, 0, false, true, kLeftInBootloader},
        StopCase{"DuringProgramming", [](auto& m, double) { return m.Count("W") == 2; }, true, true, 1, false, true,
                 "Communication error!"},
        StopCase{"WhileACopyIsAwaited",
                 [](auto& m, double ms) {
                     const auto w = m.Times("W");
                     return w.size() == 2 && ms >= w[1] + 80;
                 },
                 true, true, 1, false, true, nullptr, true, 2}),
    [](const ::testing::TestParamInfo<StopCase>& i) { return i.param.name; });

// The erase gets up to ten seconds for its answer; a close meanwhile takes
// effect within half a second. The erase has been sent, so the meter is left
// in its bootloader, as after a close during programming.
TEST(Engine, CloseDuringTheErasesGraceWaitTakesEffectWithinHalfASecond) {
    for (const int closeAfterErase : {100, 600, 5000, 9900}) {
        SCOPED_TRACE(closeAfterErase);
        Bench b(SmallImage({0x08000, 0x08400}));
        b.meter.script = [](const Received& r, int, std::vector<Reply> normal) {
            if (r.command == "E") normal[0].after = 20000ms;  // a meter that takes long, or never answers
            return normal;
        };
        const double erase = 3500 + 500;  // the first "VER?" after the accepted request, and its wait
        b.clock.At(b.clock.Now() + milliseconds(static_cast<int>(erase) + closeAfterErase), [&] { b.clock.Cancel(); });
        const UpdateResult r = b.Request();

        EXPECT_EQ(b.meter.Times("E"), std::vector<double>{erase});
        EXPECT_LE(b.clock.Ms(), erase + closeAfterErase + 500) << "the run has ended";
        EXPECT_EQ(r.outcome, Outcome::Cancelled);
        EXPECT_EQ(b.meter.Count("W"), 0);
        EXPECT_EQ(b.meter.Count("RESET"), 0);
        EXPECT_FALSE(r.resetSent);
        EXPECT_TRUE(b.seen.notices.empty());
        EXPECT_EQ(b.seen.Action(), "Communication error!");
    }
}

// Meters behind slow links: every wait follows the round trip the engine
// measures, so each updates in about the time a stop-and-wait protocol
// allows (the LAN update plus one round trip per written block), and a link
// slower than any wait fails without success.
struct SlowCase {
    const char* name;
    milliseconds roundTrip;
    milliseconds jitter{0};  // each answer's round trip varies by up to this, either way
    int loseEvery = 0;       // every Nth bootloader answer is lost
    bool relayed = false;    // the connection completes at once, as a relay does; the answers take the round trip
    Outcome outcome = Outcome::Updated;
    // The meter waits in its bootloader: no request measures the link first,
    // and with losses, the first answer is lost too.
    bool inBootloader = false;
};
void PrintTo(const SlowCase& c, std::ostream* os) { *os << c.name; }
class SlowLink : public ::testing::TestWithParam<SlowCase> {};

TEST_P(SlowLink, UpdatesNearTheStopAndWaitFloor) {
    const SlowCase& c = GetParam();
    const auto image = SmallImage({0x08000, 0x08400, 0x08800, 0x10000, 0x20000, 0x30000, 0x40000, 0x7FC00});
    Bench lan(image);
    const auto run = [&](Bench& bench) { return c.inBootloader ? bench.Procedure() : bench.Request(); };
    ASSERT_EQ(run(lan).outcome, Outcome::Updated);
    Bench b(image);
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> spread(-c.jitter.count(), c.jitter.count());
    b.meter.SlowLink([&] { return c.roundTrip + milliseconds(spread(random)); });
    if (c.relayed) b.meter.modbus.handshake = 0ms;
    int answers = 0;
    b.meter.script = [&](const Received&, int, std::vector<Reply> normal) {
        if (c.loseEvery > 0 && !normal.empty() && (++answers % c.loseEvery == 0 || (c.inBootloader && answers == 1)))
            normal.clear();
        return normal;
    };
    const UpdateResult r = run(b);

    ASSERT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(b.seen.succeeded, c.outcome == Outcome::Updated);
    if (c.outcome != Outcome::Updated) {
        EXPECT_EQ(r.cause, LinkCause::NoAnswer);
        return;
    }
    const auto order = b.ExpectedOrder();
    const auto w = b.meter.Writes();
    for (uint32_t a : order) EXPECT_GE(std::count(w.begin(), w.end(), a), 1) << std::hex << a;
    EXPECT_EQ(w.back(), 0x08000u) << "the first block last, always";
    // The request, the identity and the erase each take a round trip too.
    const double floor = lan.clock.Ms() + static_cast<double>((order.size() + 3) * c.roundTrip.count());
    if (c.loseEvery == 0) {
        EXPECT_LE(b.clock.Ms(), floor * 1.10) << "LAN " << lan.clock.Ms() << " ms";
        EXPECT_EQ(r.retries, 0);
    } else if (c.roundTrip == 0ms) {
        // A quick link that loses frames costs each its designed wait and delay, no more.
        EXPECT_LE(b.clock.Ms(), lan.clock.Ms() + 1500.0 * (r.retries + 1)) << "LAN " << lan.clock.Ms() << " ms";
    }
    EXPECT_NEAR(r.roundTrip.medianMs, static_cast<double>(c.roundTrip.count()), c.jitter.count() + 1.0);
    if (b.clock.Ms() < 25000 || b.clock.Ms() > 35000) {
        EXPECT_EQ(b.seen.TimeLeftShown(), b.clock.Ms() > 30000) << "the time left, on a long update only";
    }
}

INSTANTIATE_TEST_SUITE_P(
    RoundTrips, SlowLink,
    ::testing::Values(SlowCase{"Lan", 0ms}, SlowCase{"Rtt700", 700ms},
                      SlowCase{"Rtt700Jitter140Lossy", 700ms, 140ms, 40},
                      SlowCase{"Rtt1500Relayed", 1500ms, 0ms, 0, true}, SlowCase{"Rtt2500Jitter500", 2500ms, 500ms},
                      SlowCase{"Rtt2500Jitter500RelayedLossy", 2500ms, 500ms, 30, true},
                      SlowCase{"Rtt2700InBootloader", 2700ms, 0ms, 0, false, Outcome::Updated, true},
                      SlowCase{"LanLossyInBootloader", 0ms, 0ms, 4, false, Outcome::Updated, true},
                      // Slower than anything is waited for: never a success.
                      SlowCase{"Rtt30s", 30000ms, 0ms, 0, false, Outcome::NotFound}),
    [](const ::testing::TestParamInfo<SlowCase>& i) { return i.param.name; });

struct ReturnCase {
    const char* name;
    std::function<void(ScriptedMeter&)> meter;
    std::chrono::seconds limit;
    std::string expected;  // revision
    Outcome outcome;
    ReturnState state;
    std::optional<double> askedAfterS;  // the request that was answered, from "RESET"
    std::string revision, bootloader;
    int requests;  // read-only requests
};

void PrintTo(const ReturnCase& c, std::ostream* os) { *os << c.name; }
class WaysBack : public ::testing::TestWithParam<ReturnCase> {};

TEST_P(WaysBack, DecideTheVerdictAndOnlyTheReadReachesTheMeter) {
    const ReturnCase& c = GetParam();
    Bench b(SmallImage({0x08400}));
    c.meter(b.meter);
    UpdateRequest request{"127.0.0.1", "1234"};
    request.returnLimit = c.limit;
    request.expectedRevision = c.expected;
    const UpdateResult r = b.engine.Run(request);

    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.back.state, c.state);
    EXPECT_EQ(r.back.revision, c.revision);
    EXPECT_EQ(r.back.bootloader, c.bootloader);
    EXPECT_EQ(b.meter.Count("MODBUS"), 1) << "never the boot-mode request again";
    EXPECT_EQ(b.meter.Count("DEVICE-ID"), c.requests);
    const double reset = b.meter.Times("RESET").at(0);
    const auto asked = b.meter.Times("DEVICE-ID");
    ASSERT_EQ(r.back.backAfterS.has_value(), c.askedAfterS.has_value());
    if (c.askedAfterS) {
        EXPECT_EQ(asked.at(0), reset + *c.askedAfterS * 1000) << "first after the pause, then each second";
        EXPECT_NEAR(*r.back.backAfterS, *c.askedAfterS, 0.002);
    }
    if (c.state == ReturnState::InBootloader || c.state == ReturnState::NoAnswer) {
        EXPECT_EQ(b.meter.Times("VER?").back(), reset + 10'000) << "asked once the limit has passed";
        EXPECT_EQ(b.meter.Count("VER?"), 2);
    }
    if (c.state == ReturnState::NotWatched) {
        EXPECT_EQ(b.clock.Ms(), reset + 50 + 2000) << "ends as without a watch";
    }
}

// After "RESET" the meter is watched until its application answers: each way
// back decides the verdict, and nothing but the read-only request reaches
// its Modbus port.
const auto kNone = [](ScriptedMeter&) {};
const auto kExceptionAnswer = [](ScriptedMeter& m) { m.deviceIdAnswer = protocol::DeviceIdAnswer{1}.Encode(); };
INSTANTIATE_TEST_SUITE_P(
    Rows, WaysBack,
    ::testing::Values(ReturnCase{"back with its revision", kNone, 60s, "2.31", Outcome::Updated, ReturnState::Back,
                                 2.05, "2.31", "", 1},
                      ReturnCase{"back with an exception answer", kExceptionAnswer, 60s, "", Outcome::Updated,
                                 ReturnState::Back, 2.05, "", "", 1},
                      ReturnCase{"back late, once a second until then", [](ScriptedMeter& m) { m.bootTime = 14s; }, 60s,
                                 "", Outcome::Updated, ReturnState::Back, 14.05, "2.31", "", 1},
                      ReturnCase{"stays in its bootloader",
                                 [](ScriptedMeter& m) {
                                     m.bootTime.reset();
                                     m.staysInBootloader = true;
                                 },
                                 10s, "", Outcome::NotBack, ReturnState::InBootloader, std::nullopt, "",
                                 "TALVO-ETH-BOOTLOADER-V1.00", 0},
                      ReturnCase{"never back", [](ScriptedMeter& m) { m.bootTime.reset(); }, 10s, "", Outcome::NotBack,
                                 ReturnState::NoAnswer, std::nullopt, "", "", 0},
                      ReturnCase{"another revision", kNone, 60s, "2.40", Outcome::WrongRevision, ReturnState::Back,
                                 2.05, "2.31", "", 1},
                      ReturnCase{"no revision named, one expected", kExceptionAnswer, 60s, "2.31",
                                 Outcome::WrongRevision, ReturnState::Back, 2.05, "", "", 1},
                      ReturnCase{"a limit the pause has used up: one attempt all the same", kNone, 1s, "",
                                 Outcome::Updated, ReturnState::Back, 2.05, "2.31", "", 1},
                      ReturnCase{"not watched", kNone, 0s, "2.40", Outcome::Updated, ReturnState::NotWatched,
                                 std::nullopt, "", "", 0}),
    [](const auto& info) {
        std::string name;
        for (const char ch : std::string(info.param.name))
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

// A stop while the meter is watched ends the watch at once and leaves the
// verdict as the update made it.
TEST(Engine, StopDuringTheWatchEndsItAtOnce) {
    Bench b(SmallImage({0x08400}));
    b.meter.bootTime.reset();
    UpdateRequest request{"127.0.0.1", "1234"};
    request.returnLimit = 60s;
    b.clock.At(b.clock.Now() + 10s, [&b] { b.clock.Cancel(); });
    const UpdateResult r = b.engine.Run(request);
    EXPECT_EQ(r.outcome, Outcome::Updated);
    EXPECT_TRUE(r.back.stopped);
    EXPECT_EQ(r.back.state, ReturnState::NotWatched);
    EXPECT_EQ(b.clock.Ms(), 10'000);
}
