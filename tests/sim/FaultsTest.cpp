// Fault rules as written on the command line, what they do to an exchange,
// and that a seed replays the same faults.
#include <gtest/gtest.h>

#include "sim/src/MeterCore.h"
#include "tests/sim/SimTestSupport.h"

namespace sim {
namespace {

using testsupport::Bytes;
using testsupport::Text;

struct ParseCase {
    const char* text;
    FaultAction action;
    uint32_t exchange, every;
    std::optional<uint32_t> block;
    std::string command;
    int delayMs;
    Bytes payload;
    int lagMs = 0;
};

class FaultParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(FaultParseTest, Parses) {
    const ParseCase& c = GetParam();
    std::string error;
    const auto rule = ParseFaultRule(c.text, &error);
    ASSERT_TRUE(rule) << error;
    EXPECT_EQ(rule->action, c.action);
    EXPECT_EQ(rule->exchange, c.exchange);
    EXPECT_EQ(rule->every, c.every);
    EXPECT_EQ(rule->blockAddress, c.block);
    EXPECT_EQ(rule->command, c.command);
    EXPECT_EQ(rule->delayMs, c.delayMs);
    EXPECT_EQ(rule->payload, c.payload);
    EXPECT_EQ(rule->lagMs, c.lagMs);
}

using FA = FaultAction;
INSTANTIATE_TEST_SUITE_P(Table, FaultParseTest,
                         testing::Values(ParseCase{"drop@3", FA::Drop, 3, 0, {}, "", 0, {}},
                                         ParseCase{"drop@every=5", FA::Drop, 0, 5, {}, "", 0, {}},
                                         ParseCase{"wrong@block=0x08800", FA::Wrong, 0, 0, 0x08800, "", 0, {}},
                                         ParseCase{"delay:70@cmd=W", FA::Delay, 0, 0, {}, "W", 70, {}},
                                         ParseCase{"script:4F4b0a@2", FA::Script, 2, 0, {}, "", 0, {0x4F, 0x4B, 0x0A}},
                                         ParseCase{
                                             "duplicate@cmd=VER?,every=2", FA::Duplicate, 0, 2, {}, "VER?", 0, {}},
                                         ParseCase{"duplicate:60@cmd=W", FA::Duplicate, 0, 0, {}, "W", 0, {}, 60},
                                         ParseCase{"reboot@10", FA::Reboot, 10, 0, {}, "", 0, {}}));

TEST(FaultParse, RefusesWithAReason) {
    for (const char* text : {"drop@0", "delay@3", "script:4f4@1", "short:3", "drop@cmd=X", "drop@", "vanish@1",
                             "duplicate:", "duplicate:-5", "duplicate:700000"}) {
        std::string error;
        EXPECT_FALSE(ParseFaultRule(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

MeterOptions InBootloader() {
    MeterOptions o;
    o.bootloaderFromStart = true;
    return o;
}

FaultRule Rule(const char* text) {
    std::string error;
    auto rule = ParseFaultRule(text, &error);
    EXPECT_TRUE(rule) << error;
    return rule.value_or(FaultRule{});
}

// Three exchanges: VER?, erase, a write to 0x08400; the rule hits the one it selects.
struct ActionCase {
    const char* rule;
    int hitExchange;            // 1..3
    std::vector<Bytes> answer;  // datagrams sent for the hit exchange
    int delayMs = 0;
    bool foreign = false;
};

class FaultActionTest : public testing::TestWithParam<ActionCase> {};

TEST_P(FaultActionTest, ChangesOnlyTheSelectedExchange) {
    const ActionCase& c = GetParam();
    MeterOptions o = InBootloader();
    o.faults.rules.push_back(Rule(c.rule));
    MeterCore core(o);
    const Bytes block(1024, 0x11);
    const Bytes datagrams[] = {Text("VER?"), testsupport::EraseFrame(), testsupport::WriteFrame(0x08400, block.data())};
    const Bytes normal[] = {Text("TALVO-ETH-BOOTLOADER-V1.00"), Text("OK\r\n"), Text("OK\r\n")};
    for (int i = 0; i < 3; ++i) {
        const Reaction r = core.OnDatagram(datagrams[i]);
        std::vector<Bytes> sent;
        for (const auto& s : r.sends) sent.push_back(s.bytes);
        if (i + 1 != c.hitExchange) {
            EXPECT_EQ(sent, std::vector<Bytes>{normal[i]}) << "exchange " << i + 1;
            EXPECT_EQ(r.event.fault, "");
            continue;
        }
        EXPECT_EQ(sent, c.answer);
        EXPECT_NE(r.event.fault, "");
        for (const auto& s : r.sends) {
            EXPECT_EQ(s.delayMs, c.delayMs);
            EXPECT_EQ(s.foreignPort, c.foreign);
        }
    }
    // Whatever happened to the answers, the frames themselves were handled.
    EXPECT_EQ(core.Flash().Bytes()[0x08400], 0x11);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FaultActionTest,
    testing::Values(ActionCase{"drop@2", 2, {}}, ActionCase{"drop@every=3", 3, {}},
                    ActionCase{"short@block=0x08400", 3, {Text("OK\r")}},
                    ActionCase{"oversized@cmd=E", 2, {Text("OK\r\n\n")}},
                    ActionCase{"oversized@cmd=VER?", 1, {Text("TALVO-ETH-BOOTLOADER-V1.00\n")}},
                    ActionCase{"zero@3", 3, {Bytes(4, 0)}}, ActionCase{"script:4f@3", 3, {Bytes{0x4F}}},
                    ActionCase{"duplicate@2", 2, {Text("OK\r\n"), Text("OK\r\n")}},
                    ActionCase{"delay:70@cmd=W", 3, {Text("OK\r\n")}, 70},
                    ActionCase{"foreign-port@1", 1, {Text("TALVO-ETH-BOOTLOADER-V1.00")}, 0, true}));

// A duplicate with a lag: the answer, then its copy LAG ms after it, both
// after any delay; not on exchanges the rule does not select.
struct CopyCase {
    const char* name;
    std::vector<const char*> rules;
    std::vector<int> delays;  // of the datagrams sent for the write, in order
};
void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }
class DuplicateLagTest : public testing::TestWithParam<CopyCase> {};

TEST_P(DuplicateLagTest, SendsTheCopyAfterTheAnswer) {
    const CopyCase& c = GetParam();
    MeterOptions o = InBootloader();
    for (const char* text : c.rules) o.faults.rules.push_back(Rule(text));
    MeterCore core(o);
    const Bytes block(1024, 0x44);
    const Reaction r = core.OnDatagram(testsupport::WriteFrame(0x08400, block.data()));
    std::vector<int> delays;
    for (const auto& s : r.sends) {
        EXPECT_EQ(s.bytes, Text("OK\r\n"));
        delays.push_back(s.delayMs);
    }
    EXPECT_EQ(delays, c.delays);
}

INSTANTIATE_TEST_SUITE_P(Table, DuplicateLagTest,
                         testing::Values(CopyCase{"NoLag", {"duplicate"}, {0, 0}},
                                         CopyCase{"Echo60", {"duplicate:60"}, {0, 60}},
                                         CopyCase{"LateAnswerThenEcho", {"delay:80", "duplicate:40"}, {80, 120}},
                                         CopyCase{"EchoAfterDelayInAnyOrder", {"duplicate:40", "delay:80"}, {80, 120}},
                                         CopyCase{"OtherCommandOnly", {"duplicate:60@cmd=E"}, {0}}),
                         [](const testing::TestParamInfo<CopyCase>& i) { return i.param.name; });

// The way back loses an answer and its copy each on its own: every one of the
// four outcomes happens, and a seed replays them.
std::vector<std::string> CopyLossPattern(uint64_t seed) {
    MeterOptions o = InBootloader();
    o.seed = seed;
    o.faults.lossOutPercent = 40;
    o.faults.rules.push_back(Rule("duplicate:30"));
    MeterCore core(o);
    std::vector<std::string> out;
    for (int i = 0; i < 200; ++i) {
        const Reaction r = core.OnDatagram(Text("VER?"));
        std::string delays;
        for (const auto& s : r.sends) delays += std::to_string(s.delayMs) + " ";
        out.push_back(delays + "/" + r.event.fault);
    }
    return out;
}

TEST(FaultSeed, AnswerAndCopyAreLostEachOnItsOwn) {
    const auto a = CopyLossPattern(5);
    for (const char* outcome : {"0 30 /duplicate:30", "30 /duplicate:30,lost-out", "0 /duplicate:30,copy-lost-out",
                                "/duplicate:30,lost-out,copy-lost-out"})
        EXPECT_GT(std::count(a.begin(), a.end(), outcome), 10) << outcome;
}

TEST(FaultAction, WrongAnswerNeverStartsWithO) {
    MeterOptions o = InBootloader();
    o.faults.rules.push_back(Rule("wrong@cmd=W"));
    MeterCore core(o);
    const Bytes block(1024, 0);
    for (int i = 0; i < 50; ++i) {
        const Reaction r = core.OnDatagram(testsupport::WriteFrame(0x08400, block.data()));
        ASSERT_EQ(r.sends.size(), 1u);
        ASSERT_EQ(r.sends[0].bytes.size(), 4u);
        EXPECT_NE(r.sends[0].bytes[0], 'O');
    }
}

TEST(FaultAction, RebootLeavesTheBootloaderWithFlashAsItIs) {
    MeterOptions o = InBootloader();
    o.faults.rules.push_back(Rule("reboot@3"));
    MeterCore core(o);
    const Bytes block(1024, 0x22);
    core.OnDatagram(testsupport::EraseFrame());
    core.OnDatagram(testsupport::WriteFrame(0x08400, block.data()));
    const Reaction r = core.OnDatagram(testsupport::WriteFrame(0x08800, block.data()));
    EXPECT_TRUE(r.sends.empty());
    EXPECT_FALSE(core.InBootloader());
    EXPECT_EQ(core.Flash().Bytes()[0x08400], 0x22);
    EXPECT_EQ(core.Flash().Bytes()[0x08800], 0xFF);
    const Reaction after = core.OnDatagram(Text("VER?"));
    EXPECT_TRUE(after.sends.empty());
    EXPECT_EQ(after.event.fault, "ignored");
}

// The faults of 300 exchanges under random loss.
std::vector<std::string> LossPattern(uint64_t seed) {
    MeterOptions o = InBootloader();
    o.seed = seed;
    o.faults.lossInPercent = 10;
    o.faults.lossOutPercent = 10;
    MeterCore core(o);
    std::vector<std::string> faults;
    for (int i = 0; i < 300; ++i) faults.push_back(core.OnDatagram(Text("VER?")).event.fault);
    return faults;
}

// The first byte of 20 wrong answers.
std::vector<std::string> WrongPattern(uint64_t seed) {
    MeterOptions o = InBootloader();
    o.seed = seed;
    o.faults.rules.push_back(Rule("wrong"));
    MeterCore core(o);
    std::vector<std::string> firstBytes;
    for (int i = 0; i < 20; ++i)
        firstBytes.push_back(std::to_string(core.OnDatagram(Text("VER?")).sends.at(0).bytes.at(0)));
    return firstBytes;
}

TEST(FaultSeed, ReplaysWithTheSameSeedAndDiffersWithAnother) {
    const struct {
        const char* name;
        std::vector<std::string> (*pattern)(uint64_t seed);
    } cases[] = {{"loss", LossPattern}, {"answer and copy lost", CopyLossPattern}, {"wrong answers", WrongPattern}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.pattern(7), c.pattern(7));
        EXPECT_NE(c.pattern(7), c.pattern(8));
    }
}

TEST(FaultSeed, LosesAsManyAsAsked) {
    const auto a = LossPattern(7);
    const auto lostIn = std::count(a.begin(), a.end(), "lost-in");
    const auto lostOut = std::count(a.begin(), a.end(), "lost-out");
    // 10 % of 300, and 10 % of the rest: far from either bound unless the draw is broken.
    EXPECT_GT(lostIn, 10);
    EXPECT_LT(lostIn, 60);
    EXPECT_GT(lostOut, 8);
    EXPECT_LT(lostOut, 55);
}

TEST(MeterCoreFlash, WriteWithoutEraseIsRecordedAndRetryIsNot) {
    MeterCore core(InBootloader());
    const Bytes block(1024, 0x33);
    const Bytes frame = testsupport::WriteFrame(0x08400, block.data());
    EXPECT_EQ(core.OnDatagram(frame).event.fault, "program-over-unerased");
    EXPECT_EQ(core.ProgramFaults(), 1);
    core.OnDatagram(testsupport::EraseFrame());
    core.OnDatagram(frame);
    EXPECT_EQ(core.OnDatagram(frame).event.fault, "");  // a retried block
    EXPECT_EQ(core.ProgramFaults(), 1);
}

}  // namespace
}  // namespace sim
