// The window model without a toolkit: its texts, and whole runs against a
// scripted meter on a virtual clock, with the engine on its own thread and
// this thread as the GUI thread.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>

#include <nlohmann/json.hpp>

#include "tests/window/FakeView.h"
#include "image/FlashImage.h"
#include "brand/LoaderVersion.h"
#include "image/Sha256.h"
#include "settings/Settings.h"
#include "tests/support/TempDir.h"
#include "window/Texts.h"
#include "tests/update/VirtualMeter.h"
#include "window/WindowModel.h"
#include "window/Address.h"
#include "platform/MeterLock.h"
#include "platform/Wait.h"

using namespace window;
using namespace testsupport;
using testsupport::ScriptedMeter;
using testsupport::VirtualClock;
using update::Outcome;
using Reply = ScriptedMeter::Reply;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kVersion0 = "QT510x, QT520x - Ethernet Firmware Version " LOADER_VERSION;
const std::string kVersion1 = "LRV715, LRV716 - Ethernet Firmware Version " LOADER_VERSION;

// A model with its engine talking to a scripted meter on a virtual clock.
struct Rig {
    explicit Rig(int brandVariant = 0, bool developer = false, std::string appDir = {}, std::vector<uint8_t> img = {})
        : firmware(img.empty() ? testsupport::SmallImage({0x08000, 0x08400, 0x08800, 0x08C00, 0x09000})
                               : std::move(img)),
          meter(clock) {
        Options o;
        o.brandVariant = brandVariant;
        o.developerControls = developer;
        o.appDir = appDir.empty() ? dir.path().string() : appDir;
        o.firmware = image::ImageView(firmware.data(), image::kImageSize);
        o.historyLog = History();
        model.emplace(view, o, EnginePorts{clock, meter.modbus, meter.boot, [this] { clock.Cancel(); }});
        view.model = &*model;
        model->Start();
        model->Activated();
        model->AddressEdited("127.0.0.1");
        model->PasswordEdited("1234");
    }
    void RunToEnd() {
        view.PumpUntil([&] { return !model->Running(); });
    }
    // From the engine's thread: the close reaches the GUI thread as the
    // window system would deliver it, and the engine goes on once it has.
    void CloseFromGuiAndWait() {
        std::promise<void> done;
        closedAtMs = clock.Ms();
        view.Post([&] {
            CloseAnsweringWithEnter();
            done.set_value();
        });
        done.get_future().wait();
    }
    // A close while a run lasts asks first; Enter answers with the default button.
    void CloseAnsweringWithEnter() {
        const size_t before = view.boxes.size();
        model->CloseRequested();
        if (view.boxes.size() > before && view.boxes.back().buttons == BoxButtons::YesNo)
            model->BoxClosed(view.boxes.back().id, true);
    }
    std::string RecordPlace() const { return "The update history keeps the record of this run: " + History().string(); }
    std::string File() const { return settings::SettingsFileName(dir.path().string(), 0); }
    fs::path History() const { return dir.path() / "state" / "ethernet-loader" / "updates.jsonl"; }
    // The runs' end records; `starts`: their start records.
    std::vector<nlohmann::json> Records(bool starts = false) const {
        std::vector<nlohmann::json> out;
        std::ifstream in(History());
        for (std::string line; std::getline(in, line);) {
            auto record = nlohmann::json::parse(line, nullptr, false);
            if (record.contains("event") == starts) out.push_back(std::move(record));
        }
        return out;
    }

    testsupport::TempDir dir;
    std::vector<uint8_t> firmware;
    VirtualClock clock;
    ScriptedMeter meter;
    FakeView view;
    std::optional<WindowModel> model;
    double closedAtMs = -1;
};

}  // namespace

TEST(Texts, WordTheEngineEventsAsTheWindowShowsThem) {
    using A = update::AnswerBytes;
    const struct {
        std::string got, want;
    } cases[] = {
        {EraseSentText(), "erase sector 0x08000 - 0x7FFFF"},
        {EraseAnsweredText(A{'O', 'K'}), "erase sectors OK"},
        {EraseAnsweredText(A{0, 0}), "erase sectors "},
        {EraseAnsweredText(A{'O', 0}), "erase sectors O"},
        {EraseAnsweredText(A{0, 'K'}), "erase sectors "},  // a label ends at its first zero byte
        {WritingSectorText(0x08400), "writing sector 0x08400"},
        {WritingSectorText(0x7FC00), "writing sector 0x7FC00"},
        {WritingSectorText(0x0AC00), "writing sector 0x0AC00"},
        {BlockFailedText(0x08400, A{'E', 'R'}), "writing sector 0x08400 : ER"},
        {BlockFailedText(0x08400, A{0, 0}), "writing sector 0x08400 : "},
        {BlockFailedText(0x08400, A{0xC4, 0xE9}), "writing sector 0x08400 : \u00C4\u00E9"},  // Latin-1
        {ProgrammingEndText(update::ProgrammingEnd::Complete), "Finished."},
        {ProgrammingEndText(update::ProgrammingEnd::Failed), "Communication error!"},
        {NoticeText(update::Notice::EraseError), "Erase error!"},
        {NoticeText(update::Notice::CommunicationError), "Communication error !"},
        {NoticeText(update::Notice::IncorrectPassword), "Incorrect password. Please enter correct password."},
        {FromLatin1(std::string("BOOT\0LOADER", 11)), "BOOT"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);

    update::Progress p{0, 480, 0x8000, 0x8000, 0x7FFFF};
    const struct {
        int64_t position;
        const char* text;
    } percents[] = {{0x8000, "0%"}, {0x8000 + 3 * 1024, "1%"}, {0x8000 + 477 * 1024, "99%"}, {0x7FFFF, "100%"}};
    for (const auto& c : percents) {
        p.position = c.position;
        EXPECT_EQ(PercentText(p), c.text);
    }
}

// The sentences that name the update button, whole: they take its label
// from the one constant.
TEST(Texts, NameTheUpdateButtonByItsLabel) {
    EXPECT_EQ(RepeatAdvice(),
              "Check the network connection to the meter, then press FIRMWARE UPDATE again to repeat the update.");
    EXPECT_EQ(EraseAdvice(),
              "After OK the blocks are written all the same, but the meter cannot be updated by this run: once it "
              "has ended, press FIRMWARE UPDATE again.");
    EXPECT_EQ(TypeAgainAdvice("admin password"), "Type the meter's admin password, then press FIRMWARE UPDATE again.");
    EXPECT_EQ(CheckAddress("").problem,
              "The IP address field is empty. Type the meter's IP address, then press FIRMWARE UPDATE again.");
    EXPECT_EQ(CheckAddress("meter.").problem,
              "The IP address \"meter.\" ends with a dot.\n\nType the meter's IP address, then press FIRMWARE "
              "UPDATE again.");
}

// The password as typed reaches the meter in Windows-1252, one byte per
// character; a character without such a byte leaves no password to send.
TEST(Request, PasswordReachesTheMeterAsWindows1252OrNotAtAll) {
    const struct {
        std::string typed;
        std::optional<std::string> sent;
    } cases[] = {
        {"1234", "1234"},
        {"Pa\u00DF\u00FC", std::string("Pa\xDF\xFC")},
        {"12\u20AC4", std::string("12\x80"
                                  "4")},
        {"\u201EA\u201C\u2013\u0160\u0178", std::string("\x84"
                                                        "A\x93\x96\x8A\x9F")},
        {"\u00FF\u0080", std::nullopt},  // a control character, not the euro sign's byte
        {"12\u0100", std::nullopt},
        {"12\xC3", std::nullopt},  // cut UTF-8
        {"", ""},
    };
    Rig r;
    for (const auto& c : cases) {
        r.model->PasswordEdited(c.typed);
        EXPECT_EQ(r.model->BuildRequest().password, c.sent) << c.typed;
    }
}

TEST(Texts, ErrorsEndWithAFullStopAfterCharactersThatSortAfterIt) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Disk full", "Disk full."},
        {"Unable to write to /x/a.ini", "Unable to write to /x/a.ini."},
        {"already.", "already."},
        {"ends with a blank ", "ends with a blank "},
        {"bang!", "bang!"},
        {"paren)", "paren)"},
        {"slash/", "slash/."},
        {"digit 5", "digit 5."},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(WithFullStop(c.in), c.out) << c.in;
}

TEST(StartUp, BrandsTheWindowAndLoadsTheAddress) {
    const struct {
        int variant;
        bool developer;
        const char* file;  // content of the brand's settings file; null: none
        std::string caption, version, address;
    } cases[] = {
        {0, false, nullptr, "VELTRONA | " + kVersion0, kVersion0, "0.0.0.0"},
        {1, false, "[boot]\nipaddress=10.0.0.7\n", "KORVAN | " + kVersion1, kVersion1, "10.0.0.7"},
        {0, true, "[boot]\nIPADDRESS= 10.0.0.8 \n", "VELTRONA | " + kVersion0, kVersion0, "10.0.0.8"},
    };
    for (const auto& c : cases) {
        testsupport::TempDir dir;
        const std::string file = settings::SettingsFileName(dir.path().string(), c.variant);
        if (c.file) std::ofstream(file, std::ios::binary) << c.file;
        FakeView view;
        VirtualClock clock;
        ScriptedMeter meter(clock);
        Options o;
        o.brandVariant = c.variant;
        o.developerControls = c.developer;
        o.appDir = dir.path().string();
        WindowModel model(view, o, EnginePorts{clock, meter.modbus, meter.boot, [] {}});
        model.Start();
        EXPECT_EQ(view.texts[Text::Caption], c.caption);
        EXPECT_EQ(model.Title(), c.caption);
        EXPECT_EQ(view.texts[Text::Version], c.version);
        EXPECT_EQ(view.texts[Text::Address], c.address);
        EXPECT_EQ(view.texts[Text::UpdateButton], "FIRMWARE UPDATE");
        EXPECT_EQ(view.texts[Text::Verdict], "0%");
        EXPECT_EQ(view.bar, (Bar{14, 65000, 14}));
        EXPECT_TRUE(view.enabled[Control::UpdateButton]);
        for (Control ctl :
             {Control::ExportCheck, Control::MainMcuCheck, Control::ExportPath, Control::ChooseFileButton})
            EXPECT_EQ(view.visible[ctl], c.developer);
        EXPECT_TRUE(view.checked[Control::MainMcuCheck]);
        EXPECT_FALSE(view.checked[Control::ExportCheck]);
        EXPECT_FALSE(fs::exists(c.file ? fs::path("/nonexistent") : fs::path(file))) << "start-up writes nothing";

        // Only the first activation clears the lines and gives the password the focus.
        EXPECT_EQ(view.texts[Text::Action], "...");
        model.Activated();
        EXPECT_EQ(view.texts[Text::Action], "");
        EXPECT_EQ(view.texts[Text::Identity], "");
        view.ShowText(Text::Action, "erase sectors OK");
        model.Activated();
        EXPECT_EQ(view.texts[Text::Action], "erase sectors OK");
        EXPECT_EQ(view.focused, std::vector<Control>{Control::PasswordField});
        model.ChooseFileClicked();
        EXPECT_EQ(view.filters.back(), (std::vector<window::FileFilter>{{"Intel Hex", {"*.hex"}}}));
    }
}

// Whole runs through the model. Every run that does not succeed ends with
// a box saying what went wrong; none reads like success.
struct RunCase {
    const char* name;
    std::string password = "1234";
    std::string identity = "TALVO-ETH-BOOTLOADER-V1.00";
    std::vector<uint8_t> modbusAnswer = {0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0, 0x0F};
    ScriptedMeter::Script script = {};
    Outcome outcome;
    std::string action, identityShown, verdict;
    std::optional<Rgb> background = std::nullopt;
    std::vector<std::string> boxes = {};
    int resets;
    const char* repeat = nullptr;     // the repeat count shown at the end; null: hidden
    const char* explained = nullptr;  // what the last box says under its first line
    Control focus = Control::UpdateButton;
};
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
class Run : public ::testing::TestWithParam<RunCase> {};

// A password the window refuses before anything is sent: its box, the field
// to mend, and no verdict, for there was no run.
RunCase RefusedBeforeSending(const char* name, std::string password, const char* explained) {
    return RunCase{.name = name,
                   .password = std::move(password),
                   .outcome = Outcome::PasswordRejected,
                   .action = "",
                   .identityShown = "",
                   .verdict = "0%",
                   .boxes = {"Incorrect password. Please enter correct password.\n\n"},
                   .resets = 0,
                   .explained = explained,
                   .focus = Control::PasswordField};
}

TEST_P(Run, EndsWithTheVerdictAndTheBoxesOfItsOutcome) {
    const RunCase& c = GetParam();
    Rig r;
    r.meter.modbusAnswer = c.modbusAnswer;
    r.meter.script = c.script;
    r.model->PasswordEdited(c.password);
    // Identities other than the default are answered through the script.
    if (c.identity != "TALVO-ETH-BOOTLOADER-V1.00") {
        r.meter.script = [id = c.identity](const auto& rec, int, std::vector<Reply> normal) {
            if (rec.command == "VER?") return std::vector<Reply>{{{id.begin(), id.end()}, 1ms}};
            return normal;
        };
    }
    r.model->UpdateClicked();
    EXPECT_FALSE(r.view.enabled[Control::UpdateButton] && r.model->Running()) << "one run at a time";
    r.RunToEnd();
    // Until the boxes are shown and answered, and the focus has moved on from the password field.
    r.view.PumpUntil([&] { return r.view.boxes.size() >= c.boxes.size() && r.view.focused.size() >= 2; });

    if (c.outcome == Outcome::PasswordRejected && c.modbusAnswer.size() != 9) {
        EXPECT_FALSE(r.model->LastResult()) << "no run starts";
        EXPECT_TRUE(r.meter.received.empty());
    } else {
        ASSERT_TRUE(r.model->LastResult());
        EXPECT_EQ(r.model->LastResult()->outcome, c.outcome);
    }
    EXPECT_EQ(r.view.texts[Text::Action], c.action);
    EXPECT_EQ(r.view.texts[Text::Identity], c.identityShown);
    EXPECT_EQ(r.view.texts[Text::Verdict], c.verdict);
    EXPECT_EQ(r.view.verdictBackground, c.background);
    EXPECT_EQ(r.view.visible[Control::RepeatCount], c.repeat != nullptr);
    if (c.repeat) {
        EXPECT_EQ(r.view.texts[Text::Repeat], c.repeat);
    }
    EXPECT_EQ(r.view.BoxTexts().size(), c.boxes.size());
    if (c.explained) {
        ASSERT_FALSE(r.view.boxes.empty());
        const std::string& last = r.view.boxes.back().text;
        EXPECT_NE(last.find(std::string("\n\n") + c.explained), std::string::npos) << last;
        // The box says what the update history says of the run, and where it is.
        if (const auto records = r.Records(); !records.empty()) {
            EXPECT_NE(last.find(records.back()["message"].get<std::string>()), std::string::npos) << last;
            EXPECT_NE(last.find(r.RecordPlace()), std::string::npos) << last;
        }
    }
    // After the run and its boxes, the keyboard is where the next action is.
    ASSERT_FALSE(r.view.focused.empty());
    EXPECT_EQ(r.view.focused.back(), c.focus);
    EXPECT_FALSE(r.view.readOnly[Control::AddressField] || r.view.readOnly[Control::PasswordField]);
    for (size_t i = 0; i < std::min(c.boxes.size(), r.view.boxes.size()); ++i) {
        EXPECT_EQ(r.view.boxes[i].text.substr(0, c.boxes[i].size()), c.boxes[i]);
        EXPECT_EQ(r.view.boxes[i].title, "VELTRONA | " + kVersion0);
    }
    EXPECT_EQ(r.meter.Count("RESET"), c.resets);
    EXPECT_TRUE(r.view.enabled[Control::UpdateButton]);
    EXPECT_TRUE(r.view.enabled[Control::ExportPath]);
    if (c.background != kSuccessColour) {
        EXPECT_NE(r.view.texts[Text::Verdict], "100%");
    }
}

ScriptedMeter::Script AnswerWith(std::string command, std::vector<uint8_t> bytes) {
    return [command, bytes](const auto& rec, int, std::vector<Reply> normal) {
        if (rec.command == command) return std::vector<Reply>{{bytes, 1ms}};
        return normal;
    };
}
ScriptedMeter::Script FailBlock(uint32_t address) {
    return [address](const auto& rec, int, std::vector<Reply> normal) {
        if (rec.command == "W" && rec.address == address) return std::vector<Reply>{{{'E', 'R', 0, 0}, 1ms}};
        return normal;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Run,
    ::testing::Values(RunCase{.name = "Updated",
                              .outcome = Outcome::Updated,
                              .action = "Finished.",
                              .identityShown = "BOOTLOADER-V1.00",
                              .verdict = "Successfully updated.",
                              .background = kSuccessColour,
                              .resets = 1,
                              .repeat = "0"},
                      RunCase{.name = "NotFound",
                              .identity = "talvo-eth-bootloader-v1.00",
                              .outcome = Outcome::NotFound,
                              .action = "",
                              .identityShown = "not found",
                              .verdict = "Not updated. No bootloader answered.",
                              .background = kFailureColour,
                              .boxes = {"No bootloader answered at 127.0.0.1. The meter was not updated."},
                              .resets = 0,
                              .explained = "The meter answered the boot-mode request, but no bootloader identified "
                                           "itself on UDP port 5555; nothing was erased.",
                              .focus = Control::AddressField},
                      RunCase{.name = "EraseUnconfirmed",
                              .script = AnswerWith("E", {'N', 'O', 0, 0}),
                              .outcome = Outcome::EraseUnconfirmed,
                              .action = "Erase not confirmed.",
                              .identityShown = "BOOTLOADER-V1.00",
                              .verdict = "Not updated. The meter waits in its bootloader.",
                              .background = kFailureColour,
                              .boxes = {"Erase error!\n\nThe erase was never confirmed, so the flash content is "
                                        "unknown; the meter waits in its bootloader for another update.\n\nAfter OK",
                                        "The meter did not confirm the erase"},
                              .resets = 0,
                              .repeat = "0"},
                      RunCase{.name = "CommunicationError",
                              .script = FailBlock(0x08800),
                              .outcome = Outcome::CommunicationError,
                              .action = "Communication error!",
                              .identityShown = "BOOTLOADER-V1.00",
                              .verdict = "Not updated. The meter waits in its bootloader.",
                              .background = kFailureColour,
                              .boxes = {"Communication error !\n\n"},
                              .resets = 0,
                              .repeat = "10",
                              .explained = "Block 0x08800 was not confirmed after 10 attempts; the meter waits in its "
                                           "bootloader for another update.\n\nCheck the network connection"},
                      RunCase{.name = "PasswordRejectedByTheMeter",
                              .modbusAnswer = {0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x04},
                              .outcome = Outcome::PasswordRejected,
                              .action = "",
                              .identityShown = "",
                              .verdict = "Not updated. The meter is unchanged.",
                              .background = kFailureColour,
                              .boxes = {"Incorrect password. Please enter correct password.\n\n"},
                              .resets = 0,
                              .explained = "The meter rejected the password; nothing was changed.\n\nThe admin "
                                           "password has 4 to 16 characters.",
                              .focus = Control::PasswordField},
                      RefusedBeforeSending("PasswordWithACharacterWindows1252Lacks", "12\u01004",
                                           "The admin password has 4 to 16 characters of the Western European "
                                           "(Windows-1252) set; the one typed has another. Nothing was sent"),
                      RefusedBeforeSending("PasswordTooShort", "123",
                                           "The admin password has 4 to 16 characters; the one typed has 3."),
                      RefusedBeforeSending("PasswordTooLong", "12345678901234567",
                                           "The admin password has 4 to 16 characters; the one typed has 17.")),
    [](const ::testing::TestParamInfo<RunCase>& i) { return i.param.name; });

TEST(Run, BoxesShowInFrontOfTheNewestStateAndTheEngineWaitsForThem) {
    Rig r;
    r.meter.script = FailBlock(0x08800);
    r.view.answerBoxes = false;
    double shownAt = -1;
    r.view.onBox = [&](const Box&) { shownAt = r.clock.Ms(); };
    r.model->UpdateClicked();
    r.view.PumpUntil([&] { return !r.view.boxes.empty(); });
    // The engine is held while the box is open: nothing more reaches the meter.
    const size_t frames = r.meter.received.size();
    r.view.Post([] {});
    r.view.PumpUntil([] { return true; });
    EXPECT_TRUE(r.model->Running());
    EXPECT_EQ(r.view.behindBoxes, std::vector<std::string>{"writing sector 0x08800 : ER|0%"});
    EXPECT_EQ(r.view.texts[Text::Repeat], "10") << "the attempts the box is about";
    r.model->BoxClosed(r.view.boxes[0].id);
    r.RunToEnd();
    EXPECT_EQ(r.meter.received.size(), frames) << "a failed meter gets no RESET";
    EXPECT_EQ(r.clock.Ms(), shownAt + 2000) << "the delay after the procedure, longer once the meter took the request";
}

// A close at every stage: the program ends, the settings are saved, the
// close rules hold, and the engine is done within ten seconds of it.
struct CloseCase {
    const char* name;
    // When the engine sees the close; null: from the GUI before any run.
    std::function<bool(const ScriptedMeter&, double ms)> when;
    ScriptedMeter::Script script;
    const char* duringBox = nullptr;  // closed while this box is open
    bool afterRun = false;
    int erases, resets, writes;
};
void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }
class Close : public ::testing::TestWithParam<CloseCase> {};

TEST_P(Close, EndsTheProgramSavesAndKeepsTheCloseRules) {
    const CloseCase& c = GetParam();
    Rig r;
    r.meter.script = c.script;
    r.model->AddressEdited("127.0.0.9");
    r.meter.modbusAnswer = {0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0, 0x0F};
    // Checked at every moment something falls due on the clock.
    std::function<void()> watch = [&] {
        if (c.when(r.meter, r.clock.Ms()))
            r.CloseFromGuiAndWait();
        else
            r.clock.At(r.clock.Now() + 5ms, watch);
    };
    if (c.when) r.clock.At(r.clock.Now(), watch);
    if (c.duringBox) {
        r.view.answerBoxes = false;
        r.view.onBox = [&](const Box& b) {
            if (b.text.rfind(c.duringBox, 0) == 0) {
                r.closedAtMs = r.clock.Ms();
                r.view.Post([&] { r.CloseAnsweringWithEnter(); });
            }
        };
    }
    if (c.when || c.duringBox || c.afterRun) r.model->UpdateClicked();
    if (c.afterRun) r.RunToEnd();
    if (!c.when && !c.duringBox) r.model->CloseRequested();
    r.view.PumpUntil([&] { return r.view.ended > 0; });

    EXPECT_EQ(r.view.ended, 1);
    EXPECT_TRUE(r.model->Closing());
    ASSERT_TRUE(fs::exists(r.File()));
    EXPECT_EQ(settings::LoadSettings(r.File()).address, "127.0.0.9");
    const size_t boxesAtClose = r.view.boxes.size();
    r.model.reset();  // the program's end: waits for the engine
    EXPECT_EQ(r.view.boxes.size(), boxesAtClose) << "nothing more is said once closing";
    EXPECT_EQ(r.meter.Count("E"), c.erases);
    EXPECT_EQ(r.meter.Count("RESET"), c.resets);
    if (r.closedAtMs >= 0) {
        EXPECT_LE(r.clock.Ms() - r.closedAtMs, 10000);
    }
    EXPECT_EQ(r.meter.Writes().size(), static_cast<size_t>(c.writes)) << "writes stop at the next block";
    EXPECT_EQ(r.Records().size(), c.when || c.duringBox || c.afterRun ? 1u : 0u)
        << "a run that a close ends is recorded all the same";
}

INSTANTIATE_TEST_SUITE_P(
    Stages, Close,
    ::testing::Values(
        CloseCase{"Idle", nullptr, {}, nullptr, false, 0, 0, 0},
        CloseCase{"AfterARun", nullptr, {}, nullptr, true, 1, 1, 5},
        CloseCase{"BeforeTheRequest", [](auto&, double ms) { return ms >= 200; }, {}, nullptr, false, 0, 0, 0},
        CloseCase{"WhileTheBootloaderStarts", [](auto&, double ms) { return ms >= 1500; }, {}, nullptr, false, 0, 1, 0},
        CloseCase{
            "DuringIdentification", [](auto& m, double) { return m.Count("VER?") == 1; }, {}, nullptr, false, 0, 1, 0},
        CloseCase{"WhileTheEraseIsUnanswered", [](auto& m, double) { return m.Count("E") == 1; }, AnswerWith("E", {}),
                  nullptr, false, 1, 0, 0},
        // The block in flight is finished, no further one is started.
        CloseCase{"DuringProgramming", [](auto& m, double) { return m.Count("W") == 2; }, {}, nullptr, false, 1, 0, 2},
        CloseCase{"DuringTheEraseErrorBox", nullptr, AnswerWith("E", {'N', 'O', 0, 0}), "Erase error!", false, 10, 0,
                  0},
        CloseCase{"DuringTheCommunicationErrorBox", nullptr, FailBlock(0x08800), "Communication error !", false, 1, 0,
                  11},
        CloseCase{"DuringTheNotFoundBox", nullptr, AnswerWith("VER?", {'X'}),
                  "No bootloader answered at 127.0.0.9. The meter was not updated.\n\n", false, 0, 0, 0}),
    [](const ::testing::TestParamInfo<CloseCase>& i) { return i.param.name; });

TEST(Close, AFailedSaveIsShownAndTheProgramEndsOnceItIsDismissed) {
    testsupport::TempDir gone;
    const std::string appDir = (gone.path() / "removed").string();
    Rig r(0, false, appDir);
    r.view.answerBoxes = false;
    r.model->CloseRequested();
    ASSERT_EQ(r.view.boxes.size(), 1u);
    const std::string file = settings::SettingsFileName(appDir, 0);
    EXPECT_EQ(r.view.boxes[0].text, "Unable to write to " + file + ".");
    EXPECT_EQ(r.view.boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(r.view.ended, 0);
    r.model->CloseRequested();  // a second close waits for the same box
    EXPECT_EQ(r.view.boxes.size(), 1u);
    r.model->BoxClosed(r.view.boxes[0].id);
    EXPECT_EQ(r.view.ended, 1);
}

TEST(Export, WithoutMainMcuAPressOnlyResetsTheProgressDisplay) {
    Rig r(0, true);
    r.model->UpdateClicked();
    r.RunToEnd();
    ASSERT_EQ(r.view.texts[Text::Verdict], "Successfully updated.");
    const fs::path before = fs::current_path();
    fs::current_path(r.dir.path());
    r.model->ExportToggled(true);
    r.model->MainMcuToggled(false);
    r.model->UpdateClicked();
    fs::current_path(before);
    EXPECT_FALSE(r.model->Running());
    EXPECT_EQ(r.view.bar, (Bar{0x8000, 0x7FFFF, 0x8000})) << "the last run's range, empty";
    EXPECT_EQ(r.view.texts[Text::Verdict], "0%");
    EXPECT_EQ(r.view.verdictBackground, std::nullopt);
    EXPECT_EQ(r.view.texts[Text::Action], "");
    EXPECT_EQ(r.view.texts[Text::Identity], "");
    EXPECT_TRUE(r.view.boxes.empty());
    EXPECT_FALSE(fs::exists(r.dir.path() / kExportFileName));
    EXPECT_EQ(r.meter.Count("MODBUS"), 1) << "only the first press updated";
}

// Every block changes the action line and the bar; while the run lasts the
// window draws the newest block four times a second, and everything else
// (stages, the identity, the end) at once.
TEST(Run, DrawsBlocksFourTimesASecondAndTheRestAtOnce) {
    Rig r(0, false, {}, std::vector<uint8_t>(FlashImageARM, FlashImageARM + image::kImageSize));  // 480 steps
    const auto t0 = std::chrono::steady_clock::now();
    r.model->UpdateClicked();
    r.RunToEnd();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_GT(r.meter.Count("W"), 100);
    // Six stages at most, each drawn at once, and the blocks' draws.
    EXPECT_LE(r.view.actions.size(), 6 + static_cast<size_t>(ms / 250) + 1) << ms << " ms";
    EXPECT_EQ(r.view.actions.back(), "Finished.");
    EXPECT_EQ(r.view.bar.position, 0x7FFFF);
}

TEST(Run, AStageShowsWithoutWaitingForTheNextPeriodicDraw) {
    Rig r;
    r.view.runLater = false;
    // What the window shows when the meter gets a frame; the engine waits meanwhile.
    std::map<std::string, std::string> shownAt;
    auto onGui = [&](const testsupport::Received& rec) {
        std::promise<void> done;
        r.view.Post([&] {
            shownAt.emplace(rec.command, r.view.texts[Text::Action] + "|" + r.view.texts[Text::Identity]);
            done.set_value();
        });
        done.get_future().wait();
    };
    r.meter.script = [&](const auto& rec, int, std::vector<Reply> normal) {
        onGui(rec);
        return normal;
    };
    r.model->UpdateClicked();
    r.RunToEnd();
    EXPECT_EQ(shownAt["VER?"], "Bootloader mode. Please wait ...|...");
    EXPECT_EQ(shownAt["E"], "erase sector 0x08000 - 0x7FFFF|BOOTLOADER-V1.00");
    EXPECT_EQ(r.view.texts[Text::Action], "Finished.");
}

// A close while the meter is being identified, when the boot-mode request
// got no answer: the meter was found already in its bootloader, where an
// earlier, unfinished update may have left its flash. It stays there.
TEST(Close, LeavesAMeterFoundInItsBootloaderThere) {
    Rig r;
    r.meter.modbusAnswer.clear();
    std::function<void()> watch = [&] {
        if (r.meter.Count("VER?") == 1)
            r.CloseFromGuiAndWait();
        else
            r.clock.At(r.clock.Now() + 5ms, watch);
    };
    r.clock.At(r.clock.Now(), watch);
    r.model->UpdateClicked();
    r.view.PumpUntil([&] { return r.view.ended > 0 && !r.model->Running(); });
    EXPECT_EQ(r.meter.Count("RESET"), 0);
    EXPECT_EQ(r.meter.Count("E"), 0);
    EXPECT_EQ(r.view.texts[Text::Action], "Stopped: meter left in bootloader.");
    ASSERT_TRUE(r.model->LastResult());
    EXPECT_EQ(r.model->LastResult()->outcome, Outcome::Cancelled);
}

// Every run leaves one record in the update history; one that cannot be
// written is a warning after the run, whose verdict stands.
TEST(History, EveryRunLeavesItsRecord) {
    Rig r;
    r.model->PasswordEdited("Pw\u20AC7319");
    r.model->UpdateClicked();
    r.RunToEnd();
    r.model->AddressEdited("127.0.0.2");
    r.model->UpdateClicked();
    r.RunToEnd();

    const auto records = r.Records();
    ASSERT_EQ(records.size(), 2u);
    const std::string sha = image::Sha256Hex(image::ImageView(r.firmware.data(), image::kImageSize));
    for (const auto& rec : records) {
        EXPECT_EQ(rec["front_end"], "window");
        EXPECT_EQ(rec["brand"], "VELTRONA");
        EXPECT_EQ(rec["command"], "update");
        EXPECT_EQ(rec["tool_version"], LOADER_VERSION);
        EXPECT_EQ(rec["firmware"], nlohmann::json({{"sha256", sha}, {"source", "compiled-in"}}));
        EXPECT_EQ(rec["result"], "updated");
        EXPECT_EQ(rec["identity"], "BOOTLOADER-V1.00");
        EXPECT_EQ(rec["blocks_written"], 5);
    }
    EXPECT_EQ(records[0]["address"], "127.0.0.1");
    EXPECT_EQ(records[1]["address"], "127.0.0.2");
    std::ifstream in(r.History(), std::ios::binary);
    const std::string all(std::istreambuf_iterator<char>(in), {});
    for (const char* secret : {"Pw\u20AC7319",
                               "Pw\x80"
                               "7319",
                               "7319"})
        EXPECT_EQ(all.find(secret), std::string::npos) << "never the password";
    EXPECT_TRUE(r.view.boxes.empty());
}

TEST(History, ThatCannotBeWrittenIsAWarningAndTheVerdictStands) {
    testsupport::TempDir dir;
    std::ofstream(dir.path() / "state") << "a file where the folder would be";
    Rig r(0, false, dir.path().string());
    Options o;
    // The rig's model, again with an unwritable history.
    r.model.reset();
    o.appDir = dir.path().string();
    o.firmware = image::ImageView(r.firmware.data(), image::kImageSize);
    o.historyLog = dir.path() / "state" / "ethernet-loader" / "updates.jsonl";
    r.model.emplace(r.view, o, EnginePorts{r.clock, r.meter.modbus, r.meter.boot, [&r] { r.clock.Cancel(); }});
    r.model->Start();
    r.model->Activated();
    r.model->AddressEdited("127.0.0.1");
    r.model->PasswordEdited("1234");
    r.model->UpdateClicked();
    r.RunToEnd();
    r.view.PumpUntil([&] { return !r.view.boxes.empty(); });

    ASSERT_TRUE(r.model->LastResult());
    EXPECT_EQ(r.model->LastResult()->outcome, Outcome::Updated);
    EXPECT_EQ(r.view.texts[Text::Verdict], "Successfully updated.");
    EXPECT_EQ(r.view.verdictBackground, std::optional<Rgb>(kSuccessColour));
    ASSERT_EQ(r.view.boxes.size(), 1u);
    EXPECT_EQ(r.view.boxes[0].text.rfind("This update was not recorded in the update history: ", 0), 0u)
        << r.view.boxes[0].text;
    EXPECT_NE(r.view.boxes[0].text.find("state"), std::string::npos) << "it says where";
}

// A settings file that names a trace folder: the run's links carry the
// trace's tap while it lasts, and the failure box names the file.
TEST(Run, ATraceFolderInTheSettingsGetsTheRunsTraceAndTheFailureBoxNamesIt) {
    testsupport::TempDir dir;
    std::ofstream(settings::SettingsFileName(dir.path().string(), 0))
        << "[boot]\nipaddress=127.0.0.1\ntracefolder=" << dir.path().string() << "\n";
    Rig r(0, false, dir.path().string());
    r.model.reset();
    Options o;
    o.appDir = dir.path().string();
    o.firmware = image::ImageView(r.firmware.data(), image::kImageSize);
    std::vector<net::LinkTap*> taps;
    r.model.emplace(r.view, o,
                    EnginePorts{r.clock,
                                r.meter.modbus,
                                r.meter.boot,
                                [&r] { r.clock.Cancel(); },
                                {},
                                [&taps](net::LinkTap* tap) { taps.push_back(tap); }});
    r.model->Start();
    r.model->Activated();
    r.model->PasswordEdited("1234");
    r.meter.script = [](const auto& rec, int, std::vector<Reply> normal) {
        if (rec.command == "VER?") return std::vector<Reply>{{{'X', 'Y', 'Z'}, 1ms}};
        return normal;
    };
    r.model->UpdateClicked();
    r.RunToEnd();
    r.view.PumpUntil([&] { return !r.view.boxes.empty(); });

    ASSERT_EQ(taps.size(), 2u);
    EXPECT_NE(taps[0], nullptr);
    EXPECT_EQ(taps[1], nullptr) << "off the window's links once the run is over";
    std::vector<fs::path> traces;
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().extension() == ".pcapng") traces.push_back(e.path());
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].filename().string().rfind("127.0.0.1-", 0), 0u);
    ASSERT_FALSE(r.view.boxes.empty());
    EXPECT_NE(r.view.boxes.back().text.find("Support trace: " + traces[0].string()), std::string::npos)
        << r.view.boxes.back().text;
}

// A meter another run of this computer holds (the command line, another
// window) is left alone: nothing sent, no record, and the box names the holder.
TEST(Run, AMeterAnotherRunHoldsIsLeftAloneAndTheHolderNamed) {
    Rig r;
    // The test's own scope (its folder's random name): other tests lock 127.0.0.1 too.
    const std::string locks = r.dir.path().filename().string();
    const platform::MeterLock held(locks, "127.0.0.1");
    ASSERT_FALSE(held.Busy());
    r.model.reset();
    Options o;
    o.appDir = r.dir.path().string();
    o.firmware = image::ImageView(r.firmware.data(), image::kImageSize);
    o.historyLog = r.History();
    o.meterLocks = locks;
    r.model.emplace(r.view, o, EnginePorts{r.clock, r.meter.modbus, r.meter.boot, [&r] { r.clock.Cancel(); }});
    r.model->Start();
    r.model->AddressEdited("localhost");
    r.model->PasswordEdited("1234");
    r.model->UpdateClicked();
    // The box comes with the run's end; a run that went ahead ends without one.
    r.view.PumpUntil([&] { return !r.model->Running(); });

    EXPECT_TRUE(r.meter.received.empty()) << "nothing sent";
    EXPECT_TRUE(r.Records().empty()) << "nothing to record";
    EXPECT_FALSE(r.model->LastResult());
    ASSERT_EQ(r.view.boxes.size(), 1u);
    EXPECT_EQ(r.view.boxes[0].text.rfind("Another update of this meter is running on this computer (process ", 0), 0u)
        << r.view.boxes[0].text;
    EXPECT_NE(r.view.boxes[0].text.find(" (window_model_tests) of user "), std::string::npos) << r.view.boxes[0].text;
    EXPECT_NE(r.view.boxes[0].text.find(").\n\nNothing was sent"), std::string::npos) << r.view.boxes[0].text;
    r.view.PumpUntil([&] { return r.view.enabled[Control::UpdateButton]; });
    EXPECT_TRUE(r.view.enabled[Control::UpdateButton]) << "a new try is one click away";
    EXPECT_FALSE(r.view.verdictBackground) << "the other run gives this meter's verdict";
}

// A pacer whose timer cannot be started: the run breaks off at its first wait.
struct BrokenPacer final : update::Pacer {
    TimePoint Now() const override { return {}; }
    void WaitUntil(TimePoint) override { throw std::runtime_error("no timer left"); }
    bool WaitUnlessCancelled(TimePoint) override { throw std::runtime_error("no timer left"); }
    bool WaitReadable(const update::Link&, TimePoint) override { throw std::runtime_error("no timer left"); }
    bool WaitReadableUnlessCancelled(const update::Link&, TimePoint) override {
        throw std::runtime_error("no timer left");
    }
    bool WaitConnected(const update::Link&, TimePoint) override { throw std::runtime_error("no timer left"); }
    bool Cancelled() const override { return false; }
};

TEST(History, ARunBrokenOffByAFaultOfThisComputerIsRecordedAsSuch) {
    testsupport::TempDir dir;
    FakeView view;
    VirtualClock clock;
    ScriptedMeter meter(clock);
    BrokenPacer pacer;
    Options o;
    o.appDir = dir.path().string();
    o.historyLog = dir.path() / "updates.jsonl";
    WindowModel model(view, o, EnginePorts{pacer, meter.modbus, meter.boot, [] {}});
    view.model = &model;
    model.Start();
    model.AddressEdited("127.0.0.1");
    model.PasswordEdited("1234");
    model.UpdateClicked();
    view.PumpUntil([&] { return !model.Running() && !view.boxes.empty(); });

    EXPECT_FALSE(model.LastResult());
    EXPECT_EQ(view.boxes[0].text, "no timer left.");
    std::ifstream in(o.historyLog);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(nlohmann::json::parse(line)["event"], "started");
    ASSERT_TRUE(std::getline(in, line));
    const auto rec = nlohmann::json::parse(line);
    EXPECT_EQ(rec["result"], "communication-error");
    EXPECT_EQ(rec["message"],
              "The update stopped on a fault of this computer (no timer left); the meter may wait in its bootloader "
              "for another update.");
}

// What a technician types or pastes as the address: cleaned, and refused
// with a reason before anything is sent.
TEST(Address, CleanedAndCheckedBeforeUse) {
    const struct {
        const char* typed;
        const char* address;  // as used
        const char* problem;  // what the refusal says is wrong; null: used
    } cases[] = {
        {" 127.0.0.50 ", "127.0.0.50", nullptr},
        {"127.0.0.50\r\n", "127.0.0.50", nullptr},
        {"\t10.0.0.1\n", "10.0.0.1", nullptr},
        {"10.1", "10.1", nullptr},  // the classic short form
        {"meter-7.local", "meter-7.local", nullptr},
        {"127.0.0.50.", "127.0.0.50.", "\"127.0.0.50.\" ends with a dot."},
        {"meter.", "meter.", "\"meter.\" ends with a dot."},
        {"300.1.1.1", "300.1.1.1", "\"300.1.1.1\" has a number over 255: 300."},
        {"10.0.0.0256", "10.0.0.0256", "has a number over 255: 0256."},
        {"0.0.0.0", "0.0.0.0", "\"0.0.0.0\" names no meter."},
        {"255.255.255.255", "255.255.255.255", "names no meter."},
        {"1.2.3.x", "1.2.3.x", "\"1.2.3.x\" is not an IP address."},
        {"127.0.\n0.1", "127.0.\n0.1", "has a blank or a line break inside."},
        {"", "", "The IP address field is empty."},
        {" \r\n", "", "The IP address field is empty."},
    };
    for (const auto& c : cases) {
        const CheckedAddress got = CheckAddress(c.typed);
        EXPECT_EQ(got.address, c.address) << c.typed;
        if (c.problem)
            EXPECT_NE(got.problem.find(c.problem), std::string::npos) << c.typed << ": " << got.problem;
        else
            EXPECT_EQ(got.problem, "") << c.typed;
    }
}

// Through the window: a refused address sends nothing, says why and puts the
// keyboard back into the field; the close keeps the last usable address.
// A pasted one is cleaned, used, shown and saved as used.
TEST(Address, ARefusalSendsNothingAndTheCleanedAddressIsUsedAndSaved) {
    Rig r;
    for (const char* typed : {"127.0.0.1.", "300.1.1.1", "0.0.0.0", "  "}) {
        r.model->AddressEdited(typed);
        r.view.focused.clear();
        r.model->UpdateClicked();
        r.view.PumpUntil([&] { return !r.view.focused.empty(); });
        EXPECT_FALSE(r.model->Running()) << typed;
        EXPECT_EQ(r.view.boxes.back().text, CheckAddress(typed).problem);
        EXPECT_EQ(r.view.focused.back(), Control::AddressField) << typed;
    }
    EXPECT_TRUE(r.meter.received.empty()) << "nothing is sent to a refused address";
    EXPECT_FALSE(r.model->LastResult());

    r.model->AddressEdited(" 127.0.0.1\r\n");
    r.model->UpdateClicked();
    EXPECT_EQ(r.view.texts[Text::Address], "127.0.0.1");
    r.RunToEnd();
    EXPECT_EQ(r.model->LastResult()->outcome, Outcome::Updated);
    EXPECT_EQ(r.Records().back()["address"], "127.0.0.1");
    r.model->AddressEdited("127.0.0.1.");  // typed after the run, never used
    r.CloseAnsweringWithEnter();
    EXPECT_EQ(settings::LoadSettings(r.File()).address, "127.0.0.1");
}

// While a run lasts the fields are read-only and what is typed changes
// nothing; a close asks first and the run goes on meanwhile; "No" lets it
// finish, and a close after its end goes at once.
TEST(Close, DuringARunAsksAndTheUpdateGoesOnWhileAsked) {
    Rig r;
    r.view.answerBoxes = false;
    bool asked = false;
    std::function<void()> watch = [&] {
        if (r.meter.Count("W") == 2) {
            std::promise<void> done;
            r.view.Post([&] {
                EXPECT_TRUE(r.view.readOnly[Control::AddressField]);
                EXPECT_TRUE(r.view.readOnly[Control::PasswordField]);
                EXPECT_FALSE(r.view.enabled[Control::UpdateButton]);
                r.model->AddressEdited("10.9");
                r.model->PasswordEdited("x");
                r.model->UpdateClicked();  // Enter in a field
                r.model->CloseRequested();
                r.model->CloseRequested();  // asked once
                asked = true;
                done.set_value();
            });
            done.get_future().wait();
        } else {
            r.clock.At(r.clock.Now() + 5ms, watch);
        }
    };
    r.clock.At(r.clock.Now(), watch);
    r.model->UpdateClicked();
    r.RunToEnd();
    ASSERT_TRUE(asked);
    ASSERT_EQ(r.view.boxes.size(), 1u);
    EXPECT_EQ(r.view.boxes[0].buttons, BoxButtons::YesNo);
    EXPECT_EQ(r.view.boxes[0].text, kCloseQuestion);
    EXPECT_EQ(r.view.ended, 0);
    EXPECT_EQ(r.model->LastResult()->outcome, Outcome::Updated) << "the run went on while asked";
    EXPECT_EQ(r.meter.Count("RESET"), 1);
    EXPECT_EQ(r.model->BuildRequest().address, "127.0.0.1") << "what was typed during the run is not taken";
    EXPECT_FALSE(r.view.readOnly[Control::AddressField]);
    r.model->BoxClosed(r.view.boxes[0].id, false);  // continue
    EXPECT_EQ(r.view.ended, 0);
    EXPECT_EQ(r.view.focused.back(), Control::UpdateButton);

    // The password typed during the run was not taken: the next run starts with "1234".
    r.model->UpdateClicked();
    r.RunToEnd();
    EXPECT_EQ(r.model->LastResult()->outcome, Outcome::Updated);
    r.model->CloseRequested();
    EXPECT_EQ(r.view.boxes.size(), 1u) << "after the run's end, no question";
    EXPECT_EQ(r.view.ended, 1);
    EXPECT_EQ(settings::LoadSettings(r.File()).address, "127.0.0.1");
}

namespace {

using Watch = decltype(EnginePorts::watch);

// The rig's model again, with a watch of the meter's return.
void WithWatch(Rig& r, Watch watch) {
    r.model.reset();
    Options o;
    o.appDir = r.dir.path().string();
    o.firmware = image::ImageView(r.firmware.data(), image::kImageSize);
    o.historyLog = r.History();
    r.model.emplace(r.view, o,
                    EnginePorts{r.clock, r.meter.modbus, r.meter.boot, [&r] { r.clock.Cancel(); }, std::move(watch)});
    r.model->Start();
    r.model->AddressEdited("127.0.0.1");
    r.model->PasswordEdited("1234");
}

}  // namespace

// A watch that finds `found` after telling 2 s, and sees first whether the
// window shows the success with its controls back.
Watch WatchFinding(Rig& r, const update::ReturnFacts& found, bool& controlsBack) {
    return [&r, found, &controlsBack](const std::string& address, const update::UpdateResult& run,
                                      std::chrono::seconds limit, update::UpdateListener& listener,
                                      const update::CancelToken&, const std::string&) {
        EXPECT_EQ(address, "127.0.0.1");
        EXPECT_TRUE(run.resetSent);
        EXPECT_EQ(limit, 60s);
        std::promise<bool> seen;
        r.view.Post([&] {
            seen.set_value(!r.model->Running() && r.view.enabled[Control::UpdateButton] &&
                           r.view.texts[Text::Verdict] == "Successfully updated.");
        });
        controlsBack = seen.get_future().get();
        listener.Awaiting(2s);
        return found;
    };
}

// After "RESET" the window awaits the meter's return: the controls come back
// at their moment, the verdict counts the seconds, then tells how the meter
// came back, or a box tells what was found and what to do.
TEST(Watch, TheVerdictFollowsTheMetersReturn) {
    using update::ReturnState;
    const struct {
        const char* name;
        update::ReturnFacts found;
        std::string verdict, box, result;
        Rgb colour;
    } cases[] = {
        {"back",
         {ReturnState::Back, 60s, 14.2, false, "VELTRONA", "QT5201", "2.31"},
         "Back in service after 14 s, revision 2.31",
         "",
         "updated",
         kSuccessColour},
        {"back without naming its revision",
         {ReturnState::Back, 60s, 3.0},
         "Back in service after 3 s",
         "",
         "updated",
         kSuccessColour},
        {"in its bootloader",
         {ReturnState::InBootloader, 60s, std::nullopt, false, "", "", "", "TALVO-BOOT"},
         "Not back in service.",
         "its bootloader still answers (TALVO-BOOT)",
         "not-back",
         kFailureColour},
        {"nothing answers",
         {ReturnState::NoAnswer, 60s},
         "Not back in service.",
         "nothing answered at all",
         "not-back",
         kFailureColour},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        bool controlsBack = false;
        WithWatch(r, WatchFinding(r, c.found, controlsBack));
        r.model->UpdateClicked();
        r.view.PumpUntil([&] { return !r.model->Running() && !r.model->Watching(); });

        EXPECT_TRUE(controlsBack) << "with the success, once the meter is awaited";
        const std::vector<std::string> shown(r.view.verdicts.end() - 2, r.view.verdicts.end());
        EXPECT_EQ(shown, (std::vector<std::string>{"Waiting for the meter to come back: 2 s", c.verdict}));
        EXPECT_EQ(r.view.verdictBackground, std::optional<Rgb>(c.colour));
        ASSERT_EQ(r.view.boxes.size(), c.box.empty() ? 0u : 1u);
        if (!c.box.empty()) {
            EXPECT_NE(r.view.boxes[0].text.find(c.box), std::string::npos) << r.view.boxes[0].text;
            EXPECT_NE(r.view.boxes[0].text.find("or visit it"), std::string::npos) << r.view.boxes[0].text;
        }
        const auto records = r.Records();
        ASSERT_EQ(records.size(), 1u) << "one record, with the return";
        EXPECT_EQ(records[0]["result"], c.result);
        EXPECT_EQ(records[0]["revision"],
                  c.found.revision.empty() ? nlohmann::json() : nlohmann::json(c.found.revision));
    }
}

// From "RESET" on, nothing waits for the meter's return: a close asks no
// question, and a new update stops the watch at once.
TEST(Watch, HoldsUpNeitherACloseNorTheNextUpdate) {
    Rig r;
    std::atomic<int> watches = 0;  // counted on the engine's thread
    WithWatch(r, [&](const std::string&, const update::UpdateResult&, std::chrono::seconds, update::UpdateListener&,
                     const update::CancelToken& stop, const std::string&) {
        ++watches;
        platform::Waiter().WaitUntil(platform::Waiter::Clock::now() + 30s, platform::kNoSocket, &stop);
        update::ReturnFacts stopped;
        stopped.stopped = stop.Cancelled();
        return stopped;
    });
    const auto started = std::chrono::steady_clock::now();
    r.model->UpdateClicked();
    r.view.PumpUntil([&] { return !r.model->Running(); });
    ASSERT_TRUE(r.model->Watching());
    r.model->UpdateClicked();
    EXPECT_TRUE(r.model->Running()) << "the next update starts at once";
    // The second watch begins on the engine's thread once the run has ended.
    r.view.PumpUntil([&] { return !r.model->Running() && watches == 2; });
    r.model->CloseRequested();
    EXPECT_EQ(r.view.ended, 1);
    EXPECT_TRUE(r.view.boxes.empty()) << "no question";
    r.model.reset();  // waits for the watch's record
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    const auto records = r.Records();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& rec : records) {
        EXPECT_EQ(rec["result"], "updated");
        EXPECT_EQ(rec["back_after_s"], nullptr);
        EXPECT_NE(rec["message"].get<std::string>().find("not watched to the end"), std::string::npos);
    }
}

// Once "RESET" has gone, nothing is left to protect: a close in the pause
// after it asks no question.
TEST(Close, AfterTheResetAsksNothing) {
    Rig r;
    bool asked = true;
    std::function<void()> poll = [&] {
        if (r.meter.Count("RESET") == 0) return r.clock.At(r.clock.Now() + 5ms, poll);
        std::promise<void> done;
        r.view.Post([&] {
            const size_t before = r.view.boxes.size();
            r.model->CloseRequested();
            asked = r.view.boxes.size() > before;
            done.set_value();
        });
        done.get_future().wait();
    };
    r.clock.At(r.clock.Now(), poll);
    r.model->UpdateClicked();
    r.view.PumpUntil([&] { return r.view.ended > 0 && !r.model->Running(); });
    EXPECT_FALSE(asked);
    ASSERT_TRUE(r.model->LastResult());
    EXPECT_EQ(r.model->LastResult()->outcome, Outcome::Updated);
}
