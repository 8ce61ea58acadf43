// The "FIRMWARE UPDATE" button against the simulated meter's Modbus server:
// the password rule, the boot-mode request and what each answer leads to.
#include <gtest/gtest.h>

#include "UpdateRig.h"

using namespace loader;
using namespace loader::testing;

namespace {

constexpr char kPasswordBox[] = "Incorrect password. Please enter correct password.";

metersim::MeterOptions MeterInNormalOperation() {
    auto o = BootloaderOnLoopback();
    o.bootloaderFromStart = false;
    o.password = "s3cret";
    o.bootDelayMs = 300;
    return o;
}

// Milliseconds from the boot-mode request to the first "VER?", or -1.
int RequestToFirstVer(const Rig& rig) {
    double request = -1, ver = -1;
    for (const auto& e : rig.meter.Events()) {
        if (e.command == "MODBUS" && request < 0) request = e.t;
        if (e.command == "VER?" && ver < 0) ver = e.t;
    }
    return request < 0 || ver < 0 ? -1 : static_cast<int>((ver - request) * 1000);
}

}  // namespace

TEST(BootMode, WholeUpdateOfAMeterInNormalOperation) {
    Rig rig(MeterInNormalOperation());
    rig.form.Type(Control::EditPass, "s3cret");
    rig.updater.Button2Click();

    EXPECT_EQ(rig.Received("MODBUS").size(), 1u);
    EXPECT_EQ(rig.form.history[Control::Label1].at(1), "Bootloader mode. Please wait ...");
    EXPECT_GE(RequestToFirstVer(rig), 2900) << "answer wait, 2000 ms for the bootloader to start, then 500 ms";
    EXPECT_TRUE(rig.FlashIsImage()) << "first difference at " << rig.meter.FirstMismatch(rig.firmware.data());
    EXPECT_EQ(rig.WrittenBlocks(), rig.ExpectedOrder());
    EXPECT_EQ(rig.LastCommand(), "RESET");
    EXPECT_FALSE(rig.meter.InBootloader()) << "the reset starts the new firmware";
    EXPECT_EQ(rig.form.Text(Control::Perc1), "Successfully updated.");
    EXPECT_EQ(rig.form.Text(Control::Label1), "Finished.");
    EXPECT_FALSE(rig.tcp.Active()) << "the Modbus connection is closed once the update has returned";
    EXPECT_TRUE(rig.form.Enabled(Control::Button2));
    EXPECT_EQ(rig.form.Interval(WaitTimer::TimerDelay), 2000u) << "the longer delay stays for the program's life";
    EXPECT_TRUE(rig.form.messages.empty());
}

// Answers that are not the normal one.
struct AnswerCase {
    const char* name;
    bool listener;
    int exception;     // forced exception code; 0: none
    int splitBytes;    // the normal answer arrives in two pieces
    const char* password;
    bool passwordBox;  // the meter refused the password: nothing more happens
    bool bootloader;   // the meter did switch, whatever the tool made of the answer
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class BootModeAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(BootModeAnswer, OnlyTheNormalAnswerWaitsAndOnlyCodeFourStops) {
    const AnswerCase& c = GetParam();
    auto opts = MeterInNormalOperation();
    opts.modbusListener = c.listener;
    opts.faults.modbusException = c.exception;
    opts.faults.modbusSplitBytes = c.splitBytes;
    opts.faults.modbusSplitDelayMs = 700;  // the rest comes after the tool has read
    Rig rig(opts, SmallImage({}));
    rig.form.Type(Control::EditPass, c.password);
    const auto t0 = std::chrono::steady_clock::now();
    rig.updater.Button2Click();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();

    if (c.passwordBox) {
        EXPECT_EQ(rig.form.messages, std::vector<std::string>{kPasswordBox});
        EXPECT_TRUE(rig.Received("VER?").empty()) << "no datagram reaches the bootloader port";
        EXPECT_LT(ms, 1400);
    } else {
        EXPECT_TRUE(rig.form.messages.empty());
        // The update procedure runs at once: no "please wait" text, no 2000 ms.
        EXPECT_EQ(rig.Received("VER?").size(), c.bootloader ? 1u : 2u);
        const int gap = RequestToFirstVer(rig);
        if (c.listener) {
            EXPECT_GE(gap, 950);
            EXPECT_LT(gap, 1400);
        }
        EXPECT_EQ(rig.form.Text(Control::Label4), c.bootloader ? "BOOTLOADER-V1.00" : "not found");
        EXPECT_EQ(rig.form.Interval(WaitTimer::TimerDelay), 1000u);
    }
    for (const auto& s : rig.form.history[Control::Label1]) EXPECT_NE(s, "Bootloader mode. Please wait ...");
    EXPECT_FALSE(rig.tcp.Active());
    EXPECT_TRUE(rig.form.Enabled(Control::Button2));
}

INSTANTIATE_TEST_SUITE_P(Cases, BootModeAnswer,
                         ::testing::Values(AnswerCase{"WrongPassword", true, 0, 0, "wrong1", true, false},
                                           AnswerCase{"ExceptionFour", true, 4, 0, "s3cret", true, false},
                                           AnswerCase{"ExceptionTwo", true, 2, 0, "s3cret", false, false},
                                           AnswerCase{"ExceptionThree", true, 3, 0, "s3cret", false, false},
                                           AnswerCase{"NormalAnswerInPieces", true, 0, 7, "s3cret", false, true},
                                           AnswerCase{"NoListener", false, 0, 0, "s3cret", false, false}),
                         [](const ::testing::TestParamInfo<AnswerCase>& i) { return i.param.name; });

TEST(BootMode, PasswordRuleStopsBeforeAnyConnection) {
    Rig rig(MeterInNormalOperation(), SmallImage({}));
    const struct {
        std::string password;
        bool latin1;
    } refused[] = {{"abc", true}, {"abcdefghijklmnopq", true}, {"", true}, {"abcd", false}};
    for (const auto& p : refused) {
        rig.form.messages.clear();
        rig.form.Type(Control::EditPass, p.password);
        rig.form.passwordNotLatin1 = !p.latin1;
        rig.form.Type(Control::Label1, "old");
        rig.updater.Button2Click();
        EXPECT_EQ(rig.form.messages, std::vector<std::string>{kPasswordBox}) << p.password;
        EXPECT_EQ(rig.form.Text(Control::Label1), "") << "the progress display is reset first";
        EXPECT_FALSE(rig.tcp.Active());
        EXPECT_TRUE(rig.form.Enabled(Control::Button2));
    }
    EXPECT_TRUE(rig.meter.Events().empty()) << "nothing reached the meter";
}
