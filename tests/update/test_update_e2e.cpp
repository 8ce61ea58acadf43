// Whole update procedures against the simulated meter. Each scenario costs
// real seconds (the protocol's waits), so each one is chosen to catch a fault.
#include <gtest/gtest.h>

#include <algorithm>

#include "UpdateRig.h"

using namespace loader;
using namespace loader::testing;
using metersim::FaultAction;
using metersim::FaultRule;

namespace {

FaultRule Rule(FaultAction a, std::string command = {}, uint32_t exchange = 0) {
    FaultRule r;
    r.action = a;
    r.command = std::move(command);
    r.exchange = exchange;
    return r;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

int Count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<int>(std::count(v.begin(), v.end(), s));
}

}  // namespace

TEST(Update, CompleteUpdateWritesEveryFirmwareBlockOnceWithTheFirstBlockLast) {
    Rig rig(BootloaderOnLoopback());
    rig.updater.Button1Click();

    EXPECT_TRUE(rig.FlashIsImage()) << "first difference at " << rig.meter.FirstMismatch(rig.firmware.data());
    EXPECT_EQ(rig.meter.ProgramFaults(), 0);
    EXPECT_EQ(rig.WrittenBlocks(), rig.ExpectedOrder()) << "ascending from 0x08400, 0x08000 last, blank blocks never";
    EXPECT_EQ(rig.Received("VER?").size(), 1u);
    EXPECT_EQ(rig.Received("E").size(), 1u);
    EXPECT_EQ(rig.LastCommand(), "RESET");
    EXPECT_EQ(rig.Received("RESET").size(), 1u);

    EXPECT_EQ(rig.form.Text(Control::Perc1), "Successfully updated.");
    EXPECT_EQ(rig.form.Perc1Color(), clLime);
    EXPECT_EQ(rig.form.Text(Control::Label1), "Finished.");
    EXPECT_EQ(rig.form.Text(Control::Label4), "BOOTLOADER-V1.00");
    EXPECT_EQ(rig.form.Text(Control::LabelRepeat), "0");
    EXPECT_TRUE(rig.form.messages.empty());
    EXPECT_EQ(rig.form.ProgressPosition(), 0x7FFFF);
    for (Control c : {Control::ButtonCPU1, Control::Edit1, Control::CheckBox1}) EXPECT_TRUE(rig.form.Enabled(c));

    // The percentage after each of the 480 steps, blank ones included.
    const auto& perc = rig.form.history[Control::Perc1];
    ASSERT_EQ(perc.size(), 1u + 480u + 1u);  // "0%", the steps, the verdict
    EXPECT_EQ(perc[1], "0%");
    EXPECT_EQ(perc[3], "1%");
    EXPECT_EQ(perc[240], "50%");
    EXPECT_EQ(perc[477], "99%");
    EXPECT_EQ(perc[478], "100%");
    EXPECT_EQ(perc[480], "100%");
    // Blank blocks still show what they would have written.
    const auto& l1 = rig.form.history[Control::Label1];
    EXPECT_EQ(Count(l1, "writing sector 0x7FC00"), 1);
    EXPECT_EQ(l1.front(), "erase sector 0x08000 - 0x7FFFF");
    EXPECT_EQ(Count(l1, "erase sectors OK"), 1);
}

// Identification: which answers identify the bootloader, and what follows.
struct IdentityCase {
    const char* name;
    std::vector<uint8_t> identity;
    std::vector<FaultRule> rules;
    const char* label4;
    size_t verRequests;
    const char* edit2;
};

void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name; }

class Identify : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(Identify, AcceptsExactlyTheTwoBootloaders) {
    const IdentityCase& c = GetParam();
    auto opts = BootloaderOnLoopback();
    if (!c.identity.empty()) opts.identity = c.identity;
    opts.faults.rules = c.rules;
    Rig rig(opts, SmallImage({}));
    rig.form.SetChecked(Control::CheckBox1, false);  // identify and reset only
    rig.updater.Button1Click();

    EXPECT_EQ(rig.form.Text(Control::Label4), c.label4);
    EXPECT_EQ(rig.Received("VER?").size(), c.verRequests);
    EXPECT_EQ(rig.form.Text(Control::Edit2), c.edit2);
    EXPECT_TRUE(rig.Received("E").empty());
    EXPECT_TRUE(rig.Received("W").empty());
    const bool found = std::string(c.label4) != "not found";
    // Without programming the meter is still reset; a bootloader not found is left alone.
    EXPECT_EQ(rig.Received("RESET").size(), found ? 1u : 0u);
    if (!found) {
        EXPECT_EQ(rig.form.Text(Control::Label1), "");
    }
    EXPECT_EQ(rig.form.Text(Control::Perc1), "0%") << "no success without programming";
    for (Control k : {Control::ButtonCPU1, Control::Edit1, Control::CheckBox1}) EXPECT_TRUE(rig.form.Enabled(k));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Identify,
    ::testing::Values(
        IdentityCase{"FirstAnswer", {}, {}, "BOOTLOADER-V1.00", 1, "TALVO-ETH-BOOTLOADER-V1.00"},
        IdentityCase{"SecondAnswerAfterNone", Bytes("QT51/QT52-BOOTLOADER-V1.01"),
                     {Rule(FaultAction::Drop, "VER?", 1)}, "BOOTLOADER-V1.01", 2, "QT51/QT52-BOOTLOADER-V1.01"},
        // A zero byte adds nothing to the collected text, so the second answer still identifies.
        IdentityCase{"ZeroByteAddsNothing", {}, {[] {
                         auto r = Rule(FaultAction::Script, "VER?", 1);
                         r.payload = {0x00};
                         return r;
                     }()},
                     "BOOTLOADER-V1.00", 2, "TALVO-ETH-BOOTLOADER-V1.00"},
        // One stray byte first: the second answer is appended to it, nothing matches.
        IdentityCase{"OneByteThenGood", {}, {[] {
                         auto r = Rule(FaultAction::Script, "VER?", 1);
                         r.payload = {'X'};
                         return r;
                     }()},
                     "not found", 2, "XTALVO-ETH-BOOTLOADER-V1.00"},
        // Longer than 26 bytes is not taken at all.
        IdentityCase{"WithLineEnd", Bytes("TALVO-ETH-BOOTLOADER-V1.00\r\n"), {}, "not found", 2, ""},
        IdentityCase{"OtherLetterCase", Bytes("talvo-eth-bootloader-v1.00"), {}, "not found", 2,
                     "talvo-eth-bootloader-v1.00talvo-eth-bootloader-v1.00"},
        IdentityCase{"NoAnswer", {}, {Rule(FaultAction::Drop, "VER?")}, "not found", 2, ""}),
    [](const ::testing::TestParamInfo<IdentityCase>& i) { return i.param.name; });

TEST(Update, EraseWithoutAnswerIsReportedAndTheWritesFollow) {
    auto opts = BootloaderOnLoopback();
    opts.faults.rules = {Rule(FaultAction::Drop, "E")};
    Rig rig(opts, SmallImage({0x08000, 0x08400}));
    rig.updater.Button1Click();

    EXPECT_EQ(rig.form.messages, std::vector<std::string>{"Erase error!"});
    EXPECT_EQ(Count(rig.form.history[Control::Label1], "erase sectors "), 1);
    EXPECT_EQ(rig.WrittenBlocks(), (std::vector<uint32_t>{0x08400, 0x08000}));
    EXPECT_TRUE(rig.FlashIsImage());
    EXPECT_EQ(rig.form.Text(Control::Perc1), "Successfully updated.");
    EXPECT_EQ(rig.LastCommand(), "RESET");
}

TEST(Update, BlockThatNeverGetsAGoodAnswerIsSentTenTimesThenTheRunStops) {
    auto opts = BootloaderOnLoopback();
    FaultRule r = Rule(FaultAction::Wrong, "W");
    r.blockAddress = 0x08800;
    opts.faults.rules = {r};
    Rig rig(opts, SmallImage({0x08000, 0x08400, 0x08800, 0x0A000}));
    rig.updater.Button1Click();

    EXPECT_EQ(rig.WrittenBlocks(),
              (std::vector<uint32_t>{0x08400, 0x08800, 0x08800, 0x08800, 0x08800, 0x08800, 0x08800, 0x08800, 0x08800,
                                     0x08800, 0x08800}))
        << "ten frames for the failing block, none for any later one";
    EXPECT_EQ(rig.form.Text(Control::LabelRepeat), "10");
    EXPECT_EQ(rig.form.messages, std::vector<std::string>{"Communication error !"});
    EXPECT_EQ(rig.form.Text(Control::Label1), "Communication error!");
    EXPECT_TRUE(rig.Received("RESET").empty()) << "a failed meter stays in its bootloader";
    EXPECT_EQ(rig.form.Perc1Color(), clBtnFace);
    EXPECT_EQ(rig.form.Text(Control::Perc1), "0%") << "the percentage of the last completed step";
    // Each failed attempt shows the block and the answer's first two characters.
    const auto& l1 = rig.form.history[Control::Label1];
    const int failures = static_cast<int>(std::count_if(l1.begin(), l1.end(), [](const std::string& s) {
        return s.rfind("writing sector 0x08800 : ", 0) == 0 && s.size() == 27 && s[25] != 'O';
    }));
    EXPECT_EQ(failures, 10);
    EXPECT_TRUE(rig.updater.UpdateError);
}

TEST(Update, AnswerAfterTheWaitIsTakenByTheNextExchange) {
    auto opts = BootloaderOnLoopback();
    // Exchange 3 is the first write: its answer comes after the tool's 50 ms.
    FaultRule late = Rule(FaultAction::Delay, "W", 3);
    late.delayMs = 120;
    opts.faults.rules = {late};
    Rig rig(opts, SmallImage({0x08000, 0x08400, 0x08800}));
    rig.updater.Button1Click();

    // The first attempt sees nothing; the retry reads the late answer, still queued.
    EXPECT_EQ(rig.WrittenBlocks(), (std::vector<uint32_t>{0x08400, 0x08400, 0x08800, 0x08000}));
    EXPECT_EQ(Count(rig.form.history[Control::Label1], "writing sector 0x08400 : "), 1);
    EXPECT_EQ(rig.form.Text(Control::LabelRepeat), "1");
    EXPECT_EQ(rig.meter.ProgramFaults(), 0) << "a block written again with the same bytes is harmless";
    EXPECT_TRUE(rig.FlashIsImage());
    EXPECT_EQ(rig.form.Text(Control::Perc1), "Successfully updated.");
}

TEST(Update, CloseRequestStopsTheRunAtTheNextBlock) {
    Rig rig(BootloaderOnLoopback(), SmallImage({0x08000, 0x08400, 0x08800, 0x08C00, 0x09000}));
    rig.form.onEvents = [&] {
        if (rig.Received("W").size() >= 2) rig.form.RequestClose();
    };
    rig.updater.Button1Click();

    EXPECT_EQ(rig.WrittenBlocks(), (std::vector<uint32_t>{0x08400, 0x08800}));
    EXPECT_EQ(rig.form.Text(Control::Label1), "Communication error!");
    EXPECT_TRUE(rig.form.messages.empty()) << "a cancelled run shows no box";
    EXPECT_TRUE(rig.Received("RESET").empty());
    EXPECT_NE(rig.form.Text(Control::Perc1), "Successfully updated.");
    for (Control c : {Control::ButtonCPU1, Control::Edit1, Control::CheckBox1}) EXPECT_TRUE(rig.form.Enabled(c));
}

TEST(Update, FivePercentLossEachWayStillEndsWithTheImageInFlash) {
    auto opts = BootloaderOnLoopback();
    opts.seed = 7;
    opts.faults.lossInPercent = 5;
    opts.faults.lossOutPercent = 5;
    Rig rig(opts);
    rig.updater.Button1Click();

    const auto events = rig.meter.Events();
    const auto lost = std::count_if(events.begin(), events.end(),
                                    [](const metersim::Event& e) { return e.fault.find("lost") != std::string::npos; });
    EXPECT_GT(lost, 0) << "the seed must actually lose datagrams";
    EXPECT_TRUE(rig.FlashIsImage());
    EXPECT_EQ(rig.form.Text(Control::Perc1), "Successfully updated.");
    EXPECT_EQ(rig.form.Text(Control::Label1), "Finished.");
    EXPECT_EQ(rig.LastCommand(), "RESET");
}

TEST(Update, SecondRunToTheSameAddressKeepsTheEndpoint) {
    Rig rig(BootloaderOnLoopback(), SmallImage({}));
    rig.form.SetChecked(Control::CheckBox1, false);
    rig.updater.Button1Click();
    ASSERT_EQ(rig.form.Text(Control::Label4), "BOOTLOADER-V1.00");
    const auto handle = rig.udp.Handle();
    // "RESET" has sent the meter back to normal operation: no bootloader answers now.
    rig.updater.Button1Click();
    EXPECT_EQ(rig.udp.Handle(), handle);
    EXPECT_TRUE(rig.udp.Active());
    EXPECT_EQ(rig.form.Text(Control::Label4), "not found");
    EXPECT_EQ(rig.Received("VER?").size(), 3u) << "the second run still reached the same meter port";
    EXPECT_EQ(rig.Received("RESET").size(), 1u);
}
