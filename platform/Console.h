// The console a command-line program runs in: whether its streams are a
// terminal and how large, a line typed without echo, and the stop requests
// (Ctrl-C).
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace platform {

// Whether the stream is a terminal (a console on Windows).
bool IsTerminal(std::FILE* stream);

// The visible size of the terminal a stream writes to; 0 where unknown.
struct TerminalSize {
    int rows = 0, columns = 0;
};
TerminalSize SizeOfTerminal(std::FILE* stream);

// A line typed at a prompt.
struct TypedLine {
    bool asked = false;    // false: standard input is no terminal, nothing was asked
    bool stopped = false;  // a stop request (Ctrl-C, hang-up, termination) came instead
    std::string text;      // without its line end
};

// Writes the prompt to standard error and reads one line from standard
// input with the terminal's echo off, restoring it after. A stop request
// ends the typing, whether or not StopRequests holds the requests.
TypedLine ReadLineWithoutEcho(const std::string& prompt);

// Ctrl-C, Ctrl-Break, the console's closing, a hang-up (the terminal or ssh
// session gone) and termination requests, each
// handed to onRequest as an ordinary call on an ordinary thread, with the
// count of requests so far. One watcher at a time.
class StopRequests {
public:
    // Once, first thing in main, before any thread starts: from then on a
    // request waits for a watcher rather than ending the program, and output
    // to a closed pipe fails as a write rather than ending the program.
    static void Hold();

    explicit StopRequests(std::function<void(int times)> onRequest);
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

private:
    std::thread thread_;  // POSIX: the thread that takes the signals
};

}  // namespace platform
