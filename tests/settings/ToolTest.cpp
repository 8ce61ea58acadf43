// loader-settings as scripts run it: what it refuses, with its reason and a
// status a script can test.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

using testsupport::ChildProcess;
using namespace std::chrono_literals;

TEST(LoaderSettings, RefusesWhatItCannotReadOrWriteWithTheReason) {
    const testsupport::TempDir dir;
    const std::string good = dir.File("good.ini"), utf16 = dir.File("utf16.ini"), folder = dir.File("folder");
    testsupport::WriteBytes(good, "[boot]\nipaddress=10.0.0.5\n");
    const std::string utf16Content("\xFF\xFE[\0b\0o\0o\0t\0]\0", 14);
    testsupport::WriteBytes(utf16, utf16Content);
    std::filesystem::create_directory(folder);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;  // on stdout for status 0, else on stderr
    } cases[] = {
        {{"get", good}, 0, "10.0.0.5"},
        {{"get", dir.File("missing.ini")}, 1, "missing.ini: no such file"},
        {{"get", folder}, 1, "folder: a folder, not a settings file"},
        {{"get", utf16}, 1, "utf16.ini: UTF-16 text"},
        {{"set", utf16, "10.0.0.9"}, 1, "utf16.ini: UTF-16 text"},
        {{"set", folder, "10.0.0.9"}, 1, "folder: a folder"},
        {{"set", dir.File("new.ini"), "10.0.0.9"}, 0, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {LOADER_SETTINGS_EXE};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess tool(argv);
        EXPECT_EQ(tool.Wait(ChildProcess::Clock::now() + 10s), c.status) << c.says;
        const std::string said = c.status == 0 ? (tool.OutLines().empty() ? "" : tool.OutLines()[0]) : tool.ErrText();
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
    EXPECT_EQ(testsupport::ReadBytes(utf16), utf16Content) << "left as it was";
}
