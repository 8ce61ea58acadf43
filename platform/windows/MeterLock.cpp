// Meter locks as named pipes, a name per meter. Pipe names belong to the
// computer, across users and their sessions, and the system closes a pipe
// with its process, so a crashed run never leaves its meter locked. Only one
// process can make the first instance of a name (FILE_FLAG_FIRST_PIPE_INSTANCE):
// that is the lock. The instances are only there for others to open, since
// the system tells whoever opens one which process made it.
#include <windows.h>

#include <filesystem>

#include "platform/MeterLock.h"

namespace platform {
namespace {

// A run that asks who holds a meter leaves its instance closed and unusable
// until the holder, which never looks at them, disconnects it: past this many
// askers, the meter is still busy, only held by "another process".
constexpr DWORD kAskers = 8;

std::wstring PipeName(const std::string& scope, const std::string& address) {
    const std::string name = "\\\\.\\pipe\\" + scope + "-meter-" + address;
    return {name.begin(), name.end()};
}

HANDLE MakeInstance(const std::wstring& name, DWORD first) {
    return ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | first, PIPE_TYPE_BYTE | PIPE_REJECT_REMOTE_CLIENTS,
                              kAskers, 0, 0, 0, nullptr);
}

// HolderText keeps ASCII alone.
std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string ProgramName(HANDLE process) {
    wchar_t path[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    if (!::QueryFullProcessImageNameW(process, 0, path, &size)) return {};
    return Narrow(std::filesystem::path(std::wstring(path, size)).stem().wstring());
}

std::string UserName(HANDLE process) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool known = ::GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    ::CloseHandle(token);
    wchar_t name[257], domain[257];
    DWORD nameSize = 257, domainSize = 257;
    SID_NAME_USE use;
    if (!known || !::LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, name, &nameSize, domain,
                                       &domainSize, &use))
        return {};
    return Narrow(std::wstring(name, nameSize));
}

// The program and user of another user's process are told where that user's
// rights let this one see them; its process id always.
std::string AskHolder(const std::wstring& name) {
    // Anonymous: a holder that took the name to catch other users' runs must
    // not be able to act as them on the connection.
    const HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr);
    ULONG pid = 0;
    if (pipe == INVALID_HANDLE_VALUE) return HolderText(0, "", "");
    if (!::GetNamedPipeServerProcessId(pipe, &pid)) pid = 0;
    ::CloseHandle(pipe);
    const HANDLE process = pid == 0 ? nullptr : ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return HolderText(pid, "", "");
    const std::string text = HolderText(pid, ProgramName(process), UserName(process));
    ::CloseHandle(process);
    return text;
}

}  // namespace

MeterLock::MeterLock(const std::string& scope, const std::string& address) {
    if (scope.empty() || address.empty()) return;
    const std::wstring name = PipeName(scope, address);
    const HANDLE first = MakeInstance(name, FILE_FLAG_FIRST_PIPE_INSTANCE);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) holder_ = AskHolder(name);
        return;
    }
    handles_.push_back(reinterpret_cast<std::intptr_t>(first));
    for (DWORD i = 1; i < kAskers; ++i)
        if (const HANDLE more = MakeInstance(name, 0); more != INVALID_HANDLE_VALUE)
            handles_.push_back(reinterpret_cast<std::intptr_t>(more));
}

MeterLock::~MeterLock() {
    for (const auto h : handles_) ::CloseHandle(reinterpret_cast<HANDLE>(h));
}

}  // namespace platform
