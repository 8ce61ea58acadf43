// The terminal and the stop signals on POSIX.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "platform/Console.h"

namespace platform {
namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);  // the watcher's own end
    return set;
}

constexpr int kTypingStops[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t typingStopped = 0;
void StopTyping(int) { typingStopped = 1; }

}  // namespace

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

TerminalSize SizeOfTerminal(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return {};
    return {size.ws_row, size.ws_col};
}

TypedLine ReadLineWithoutEcho(const std::string& prompt) {
    TypedLine typed;
    if (!IsTerminal(stdin)) return typed;
    termios saved{};
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return typed;
    typed.asked = true;
    // The echo goes off before the prompt shows: nothing typed after it is seen.
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::fprintf(stderr, "%s", prompt.c_str());
    // The stop signals break off the wait for input, however they are held;
    // the handler only marks them, so the terminal is always restored.
    struct sigaction stop {};
    stop.sa_handler = StopTyping;
    sigemptyset(&stop.sa_mask);
    struct sigaction before[std::size(kTypingStops)];
    for (size_t i = 0; i < std::size(kTypingStops); ++i) ::sigaction(kTypingStops[i], &stop, &before[i]);
    sigset_t waiting;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &waiting);
    for (int s : kTypingStops) sigdelset(&waiting, s);
    typingStopped = 0;
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = ::ppoll(&in, 1, nullptr, &waiting);
        if (typingStopped) {
            typed.stopped = true;
            break;
        }
        if (ready < 0 && errno == EINTR) continue;
        char buf[256];
        const ssize_t got = ready > 0 ? ::read(STDIN_FILENO, buf, sizeof buf) : -1;
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        typed.text.append(buf, static_cast<size_t>(got));
        if (const size_t end = typed.text.find('\n'); end != std::string::npos) {
            typed.text.erase(end);
            break;
        }
    }
    for (size_t i = 0; i < std::size(kTypingStops); ++i) ::sigaction(kTypingStops[i], &before[i], nullptr);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
    return typed;
}

// The signals are blocked in every thread and taken by sigwait, so that a
// request is an ordinary call on an ordinary thread.
void StopRequests::Hold() {
    const sigset_t set = StopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A reader that went away (`| head`) must not end the run unrecorded.
    ::signal(SIGPIPE, SIG_IGN);
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
