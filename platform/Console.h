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

// Writes the prompt to standard error and reads one line from standard
// input with the terminal's echo off, restoring it after; nothing when
// standard input is no terminal.
std::optional<std::string> ReadLineWithoutEcho(const std::string& prompt);

// Ctrl-C, Ctrl-Break, the console's closing and termination requests, each
// handed to onRequest as an ordinary call on an ordinary thread, with the
// count of requests so far. One watcher at a time.
class StopRequests {
public:
    // Once, first thing in main, before any thread starts: from then on a
    // request waits for a watcher rather than ending the program.
    static void Hold();

    explicit StopRequests(std::function<void(int times)> onRequest);
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

private:
    std::thread thread_;  // POSIX: the thread that takes the signals
};

}  // namespace platform
