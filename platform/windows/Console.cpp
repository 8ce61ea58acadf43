// The console and its control events on Windows.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <iostream>
#include <mutex>

#include "platform/Console.h"

namespace platform {
namespace {

// The console handler takes no context: the one watcher's call, and the
// count of requests so far.
std::mutex watcherMutex;
std::function<void(int)> watcher;
int requests = 0;

BOOL WINAPI OnConsole(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    std::lock_guard<std::mutex> lock(watcherMutex);
    if (watcher) watcher(++requests);
    return TRUE;
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

TerminalSize SizeOfTerminal(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &info)) return {};
    return {info.srWindow.Bottom - info.srWindow.Top + 1, info.srWindow.Right - info.srWindow.Left + 1};
}

namespace {

std::atomic<bool> typingStopped{false};

BOOL WINAPI StopTyping(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    typingStopped = true;
    // Ends the console's read; the program then ends on its own terms.
    CancelIoEx(GetStdHandle(STD_INPUT_HANDLE), nullptr);
    return TRUE;
}

}  // namespace

TypedLine ReadLineWithoutEcho(const std::string& prompt) {
    TypedLine typed;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!IsTerminal(stdin) || !GetConsoleMode(in, &mode)) return typed;
    typed.asked = true;
    // The echo goes off before the prompt shows: nothing typed after it is seen.
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::fprintf(stderr, "%s", prompt.c_str());
    typingStopped = false;
    SetConsoleCtrlHandler(&StopTyping, TRUE);
    std::getline(std::cin, typed.text);
    SetConsoleCtrlHandler(&StopTyping, FALSE);
    typed.stopped = typingStopped;
    SetConsoleMode(in, mode);
    std::fprintf(stderr, "\n");
    return typed;
}

// Windows calls its console handler on a thread of its own: nothing to hold.
void StopRequests::Hold() {}

StopRequests::StopRequests(std::function<void(int times)> onRequest) {
    {
        std::lock_guard<std::mutex> lock(watcherMutex);
        watcher = std::move(onRequest);
    }
    SetConsoleCtrlHandler(&OnConsole, TRUE);
}

StopRequests::~StopRequests() {
    SetConsoleCtrlHandler(&OnConsole, FALSE);
    std::lock_guard<std::mutex> lock(watcherMutex);
    watcher = nullptr;
}

}  // namespace platform
