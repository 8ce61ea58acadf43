// Replacing a whole file: the callers word a failure by the step that failed.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/File.h"
#include "tests/support/TempDir.h"

namespace {

using Step = platform::ReplaceStatus::Step;

TEST(ReplaceFile, TellsWhichStepFailedAndLeavesNothingBehind) {
    testsupport::TempDir dir;
    EXPECT_TRUE(platform::ReplaceFile(dir.path() / "report.json", "{}\n").Ok());
    EXPECT_EQ(testsupport::ReadBytes(dir.path() / "report.json"), "{}\n");

    EXPECT_EQ(platform::ReplaceFile(dir.path() / "no" / "report.json", "{}\n").failed, Step::Create);

    // A folder in the file's place takes the new file beside it, not its place.
    std::filesystem::create_directory(dir.path() / "folder");
    EXPECT_EQ(platform::ReplaceFile(dir.path() / "folder", "{}\n").failed, Step::PutInPlace);
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"folder", "report.json"}));
}

// A replacement torn before each of its steps, by a failure or by a crash
// there: the name holds the old content or the new one, byte for byte, and a
// crash leaves at most one new file beside it, named as no report is.
TEST(ReplaceFile, TornAtAnyStepLeavesTheOldContentOrTheNewOneWhole) {
    struct Crash {};
    // Larger than one write of the system, so a torn write would show.
    const std::string oldText = "{\"old\": \"" + std::string(300'000, 'o') + "\"}\n";
    const std::string newText = "{\"new\": \"" + std::string(400'000, 'n') + "\"}\n";
    const std::vector<Step> steps = {Step::Create, Step::Write, Step::Flush, Step::PutInPlace, Step::SyncFolder};
    {
        testsupport::TempDir dir;
        std::vector<Step> taken;
        ASSERT_TRUE(platform::ReplaceFile(dir.path() / "report.json", newText, [&](Step s) {
                        taken.push_back(s);
                        return platform::FileStatus{};
                    }).Ok());
        EXPECT_EQ(taken, steps) << "every step, the folder's flush last";
    }
    for (const Step at : steps) {
        for (const bool crash : {false, true}) {
            for (const bool hadOld : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << "before step " << static_cast<int>(at) << (crash ? ", crash" : ", fails")
                             << (hadOld ? ", over an old file" : ", no old file"));
                testsupport::TempDir dir;
                const auto target = dir.path() / "report.json";
                if (hadOld) testsupport::WriteBytes(target, oldText);
                std::optional<platform::ReplaceStatus> status;
                try {
                    status = platform::ReplaceFile(target, newText, [&](Step s) {
                        if (s != at) return platform::FileStatus{};
                        if (crash) throw Crash{};
                        return platform::FileStatusFromErrno(EIO);
                    });
                } catch (const Crash&) {
                }
                const bool renamed = at == Step::SyncFolder;
                if (renamed || hadOld) {
                    EXPECT_EQ(testsupport::ReadBytes(target), renamed ? newText : oldText);
                } else {
                    EXPECT_FALSE(std::filesystem::exists(target));
                }
                if (!crash) {
                    ASSERT_TRUE(status);
                    EXPECT_EQ(status->failed, at);
                    EXPECT_EQ(status->status.code, static_cast<unsigned long>(EIO));
                }
                std::set<std::string> others = dir.Names();
                others.erase("report.json");
                const bool leftOne = crash && at != Step::Create && !renamed;
                ASSERT_EQ(others.size(), leftOne ? 1u : 0u) << "a failure removes its new file";
                for (const std::string& name : others) {
                    EXPECT_EQ(name.rfind("report.json.", 0), 0u) << name;
                    EXPECT_EQ(std::filesystem::path(name).extension(), ".tmp") << name;
                }
            }
        }
    }
}

}  // namespace
