// The terminal and the stop signals on POSIX.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "Console.h"

namespace platform {
namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // the watcher's own end
    return set;
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

TerminalSize SizeOfTerminal(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return {};
    return {size.ws_row, size.ws_col};
}

std::optional<std::string> ReadLineWithoutEcho(const std::string& prompt) {
    if (!IsTerminal(stdin)) return std::nullopt;
    termios saved{};
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
    std::fprintf(stderr, "%s", prompt.c_str());
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    std::getline(std::cin, line);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
    return line;
}

// The signals are blocked in every thread and taken by sigwait, so that a
// request is an ordinary call on an ordinary thread.
void StopRequests::Hold() {
    const sigset_t set = StopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopRequests::StopRequests(std::function<void(int times)> onRequest) {
    thread_ = std::thread([onRequest = std::move(onRequest)] {
        const sigset_t set = StopSignals();
        for (int times = 1;; ++times) {
            int signal = 0;
            if (::sigwait(&set, &signal) != 0 || signal == SIGUSR1) return;
            onRequest(times);
        }
    });
}

StopRequests::~StopRequests() {
    ::pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

}  // namespace platform
