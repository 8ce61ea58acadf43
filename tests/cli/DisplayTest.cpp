// The summary a fleet larger than the terminal gets, on a clock of the test's
// own: which meters it calls the slowest, and the failures it keeps.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/Display.h"

using namespace cli;
using namespace std::chrono_literals;

namespace {

std::string Contents(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    return text;
}

// The last drawing of the line that starts with `start`.
std::string LastLine(const std::string& output, const std::string& start) {
    const size_t at = output.rfind("\x1b[2K" + start);
    if (at == std::string::npos) return {};
    const size_t from = at + 4;
    return output.substr(from, output.find('\n', from) - from);
}

// As the engine reports blocks written over the application area.
update::Progress Blocks(int step) {
    update::Progress p;
    p.step = step;
    p.steps = 480;
    p.minimum = 0x08000;
    p.maximum = 0x7FFFF;
    p.position = p.minimum + static_cast<int64_t>(step) * 1024;
    return p;
}

}  // namespace

TEST(SummaryDisplay, CallsSlowestThoseFurthestBehindTheirOwnPaceAndKeepsEachFailure) {
    std::atomic<int> seconds{0};  // read by the display's own thread too
    const auto now = [&seconds] { return Display::Clock::time_point(100h + std::chrono::seconds(seconds.load())); };
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const std::vector<std::string> meters = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4",
                                             "10.0.0.5", "10.0.0.6", "10.0.0.7", "10.0.0.8"};
    {
        Display display(out, DisplayMode::Summary, meters, Command::Update, 200, now);
        for (size_t m = 0; m < 6; ++m) display.StageChanged(m, update::Stage::BootModeRequest);
        seconds = 5;
        for (size_t m : {0, 1, 3}) display.StageChanged(m, update::Stage::Writing);
        display.StageChanged(2, update::Stage::Erasing);  // still not writing at the end
        display.ProgressChanged(0, Blocks(400));
        display.ProgressChanged(1, Blocks(20));
        display.RetriesChanged(1, 6);
        display.ProgressChanged(3, Blocks(200));
        MeterRecord failed, updated;
        failed.contacted = updated.contacted = true;
        failed.result.outcome = update::Outcome::CommunicationError;
        failed.result.failedBlock = 0x08800;
        updated.result.outcome = update::Outcome::Updated;
        display.Finished(4, failed);
        display.Finished(5, updated);
        // Started later: less done than 10.0.0.4, but at a pace that ends it sooner.
        seconds = 18;
        display.StageChanged(7, update::Stage::BootModeRequest);
        display.StageChanged(7, update::Stage::Writing);
        display.ProgressChanged(7, Blocks(168));
        seconds = 25;
        display.StageChanged(6, update::Stage::BootModeRequest);  // too recent to be slow
        // One group's pacing holds writes back, another's no longer does.
        display.PathLimit("gateway north-mast", 24);
        display.PathLimit("10.0.0.0/24", 3);
        display.PathLimit("10.0.0.0/24", std::nullopt);
        seconds = 30;
        display.Close();
    }
    const std::string output = Contents(out);
    std::fclose(out);

    EXPECT_EQ(LastLine(output, "slowest:"),
              "slowest: 10.0.0.3 erasing (0:30), 10.0.0.2 writing 4% retries 6 (0:30), 10.0.0.4 writing 42% (0:30)");
    EXPECT_EQ(LastLine(output, "running"), "running 6: 1 requesting bootloader, 1 erasing, 4 writing");
    EXPECT_EQ(LastLine(output, "results:"), "results: 1 communication-error, 1 updated");
    EXPECT_EQ(LastLine(output, "8 meters:"),
              "8 meters: 1 updated, 1 failed, 6 running; gateway north-mast: 24 writes at once");
    EXPECT_NE(LastLine(output, "[").find("0:30 elapsed"), std::string::npos) << LastLine(output, "[");
    // The failure stays above the summary: written once, never redrawn.
    const std::string failure = "10.0.0.5 communication-error: Block 0x08800 was not confirmed";
    const size_t first = output.find(failure);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(output.find(failure, first + 1), std::string::npos);
    EXPECT_EQ(output.find("10.0.0.6 updated"), std::string::npos) << "a success gets no line of its own";
}

// A meter's line has room for the result's word only; a failure's reason
// and the meter's state stay above the lines.
TEST(LinesDisplay, KeepsTheReasonOfEachFailureAboveTheLines) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        Display display(out, DisplayMode::Lines, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, Command::Update, 120);
        MeterRecord failed, updated, busy;
        failed.contacted = updated.contacted = true;
        failed.result.outcome = update::Outcome::CommunicationError;
        failed.result.failedBlock = 0x08800;
        updated.result.outcome = update::Outcome::Updated;
        busy.busyWith = "process 77 (window)";
        display.Finished(0, failed);
        display.Finished(1, updated);
        display.Finished(2, busy);
        display.Close();
    }
    const std::string output = Contents(out);
    std::fclose(out);
    EXPECT_EQ(LastLine(output, "3 meters:"), "3 meters: 1 updated, 2 failed, 0 running");
    EXPECT_NE(output.find(" 10.0.0.1 communication-error: Block 0x08800 was not confirmed after 10 attempts; the "
                          "meter waits in its bootloader"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(" 10.0.0.3 busy: Not contacted: another update of this meter is running on this computer "
                          "(process 77 (window))"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("10.0.0.2 updated:"), std::string::npos) << "a success needs no reason";
}

TEST(SummaryDisplay, ChosenWhenTheMetersDoNotFitTheTerminal) {
    const struct {
        bool terminal;
        size_t meters;
        int rows;
        DisplayMode mode;
    } cases[] = {
        {false, 3, 24, DisplayMode::Log},     {false, 500, 24, DisplayMode::Log}, {true, 22, 24, DisplayMode::Lines},
        {true, 23, 24, DisplayMode::Summary}, {true, 22, 0, DisplayMode::Lines},  {true, 100, 0, DisplayMode::Summary},
        {true, 100, 120, DisplayMode::Lines},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseDisplay(c.terminal, c.meters, c.rows), c.mode) << c.meters << " meters, " << c.rows << " rows";
}
