// The per-meter lock that keeps two runs of this computer off one meter,
// whichever users start them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>

#include "tests/support/ChildProcess.h"
#endif

#include "platform/MeterLock.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// The name this program's processes are known by, to a run that finds them holding a meter.
constexpr char kThisProgram[] = "platform_tests";

// Locks of the test's own: other tests, and the tool, lock the same addresses.
struct Scope {
    testsupport::TempDir dir;
    std::string name = dir.path().filename().string();
};

#ifdef _WIN32
// Wine has a single user, and Windows would want another account's password.
const char* WhyNoOtherUser() { return "a process of another user is started on Linux only"; }

// This program again, holding a meter (main below), until it is ended.
class OtherProcess {
public:
    OtherProcess(const std::string& scope, const std::string& address, bool) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, &inherited, 0)) return;
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::string args = " --hold-meter " + scope + " " + address;
        std::wstring line = L"\"" + std::wstring(self) + L"\"" + std::wstring(args.begin(), args.end());
        STARTUPINFOW start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdOutput = write;
        start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION p{};
        if (CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &p)) {
            process_ = p.hProcess;
            pid_ = p.dwProcessId;
            CloseHandle(p.hThread);
        }
        CloseHandle(write);
    }
    ~OtherProcess() {
        Kill();
        if (read_) CloseHandle(read_);
    }
    std::string Said() {
        std::string line;
        char c;
        DWORD got = 0;
        while (ReadFile(read_, &c, 1, &got, nullptr) && got == 1 && c != '\n') line += c;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    unsigned long Pid() const { return pid_; }
    void Kill() {
        if (!process_) return;
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
        CloseHandle(process_);
        process_ = nullptr;
    }

private:
    HANDLE read_ = nullptr, process_ = nullptr;
    unsigned long pid_ = 0;
};
#else
const char* WhyNoOtherUser() { return ::geteuid() == 0 ? nullptr : "only root starts a process as another user"; }

// This program again, holding a meter (main below), until it is killed; as
// the user "nobody" when asked.
class OtherProcess {
public:
    OtherProcess(const std::string& scope, const std::string& address, bool asNobody)
        : child_(Argv(scope, address, asNobody), testsupport::ChildProcess::Stderr::Inherit) {}
    std::string Said() { return child_.ReadLine(testsupport::ChildProcess::Clock::now() + 10s).value_or(""); }
    unsigned long Pid() const { return static_cast<unsigned long>(child_.Pid()); }
    void Kill() {
        child_.Signal(SIGKILL);
        child_.Wait(testsupport::ChildProcess::Clock::now() + 10s);
    }

private:
    static std::vector<std::string> Argv(const std::string& scope, const std::string& address, bool asNobody) {
        std::vector<std::string> argv;
        if (asNobody) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        argv.insert(argv.end(),
                    {std::filesystem::read_symlink("/proc/self/exe").string(), "--hold-meter", scope, address});
        return argv;
    }
    testsupport::ChildProcess child_;
};
#endif

TEST(MeterLock, OneHolderPerMeterInItsScope) {
    const Scope scope, another;
    auto first = std::make_unique<platform::MeterLock>(scope.name, "10.0.0.1");
    ASSERT_FALSE(first->Busy());
    const struct {
        const char* what;
        std::string scope;
        const char* address;
        bool busy;
    } cases[] = {
        {"same meter", scope.name, "10.0.0.1", true},
        {"another meter", scope.name, "10.0.0.2", false},
        {"another scope", another.name, "10.0.0.1", false},
        {"no scope", "", "10.0.0.1", false},
        {"no address", scope.name, "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::MeterLock(c.scope, c.address).Busy(), c.busy) << c.what;
    // Every run that asks leaves a trace with the holder: the first few
    // still learn who it is, and none ever finds the meter free.
    for (int run = 0; run < 40; ++run) {
        const platform::MeterLock again(scope.name, "10.0.0.1");
        EXPECT_TRUE(again.Busy()) << run;
        if (run < 4) {
            EXPECT_NE(again.Holder().find(std::string(" (") + kThisProgram + ") of user "), std::string::npos)
                << again.Holder();
        }
    }
    first.reset();
    EXPECT_FALSE(platform::MeterLock(scope.name, "10.0.0.1").Busy()) << "released with its holder";
}

// Held by another process, of this user or of another: the meter is busy,
// the holder named as the system tells it, and free once that process dies.
struct Holder {
    const char* name;
    bool asNobody;
};
void PrintTo(const Holder& h, std::ostream* out) { *out << h.name; }

class MeterLockHeldElsewhere : public ::testing::TestWithParam<Holder> {};

TEST_P(MeterLockHeldElsewhere, NamesTheHolderUntilItDies) {
    if (GetParam().asNobody && WhyNoOtherUser()) GTEST_SKIP() << WhyNoOtherUser();
    const Scope scope;
    OtherProcess other(scope.name, "10.0.0.1", GetParam().asNobody);
    ASSERT_EQ(other.Said(), "held");
    const platform::MeterLock here(scope.name, "10.0.0.1");
    EXPECT_TRUE(here.Busy());
    const std::string named = "process " + std::to_string(other.Pid()) + " (" + kThisProgram + ") of user ";
    if (GetParam().asNobody)
        EXPECT_EQ(here.Holder(), named + "nobody");
    else
        EXPECT_EQ(here.Holder().rfind(named, 0), 0u) << here.Holder();
    other.Kill();
    EXPECT_FALSE(platform::MeterLock(scope.name, "10.0.0.1").Busy()) << "released when its holder died";
}

INSTANTIATE_TEST_SUITE_P(MeterLock, MeterLockHeldElsewhere,
                         ::testing::Values(Holder{"OfThisUser", false}, Holder{"OfAnotherUser", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MeterLock, HolderTextLeavesOutWhatIsNotKnown) {
    const struct {
        unsigned long pid;
        const char *program, *user, *text;
    } cases[] = {
        {1234, "ethernet-loader-cli", "alice", "process 1234 (ethernet-loader-cli) of user alice"},
        {1234, "", "alice", "process 1234 of user alice"},
        {1234, "", "", "process 1234"},
        {0, "", "", "another process"},
        // Chosen by the holder, shown to another user: no terminal controls, nothing but ASCII.
        {77, "x\x1b[2J\n", "jos\xc3\xa9", "process 77 (x?[2J?) of user jos?"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::HolderText(c.pid, c.program, c.user), c.text);
}

}  // namespace

// `platform_tests --hold-meter SCOPE ADDRESS`, run by the tests above as a
// holder in a process of its own: takes the lock, says whether it got it, and
// keeps it until it is killed, or a minute has passed should its test be gone.
int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--hold-meter") {
        const platform::MeterLock lock(argv[2], argv[3]);
        std::printf("%s\n", lock.Busy() ? "busy" : "held");
        std::fflush(stdout);
        std::this_thread::sleep_for(1min);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
