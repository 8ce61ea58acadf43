// Whether a Windows test program runs under Wine rather than on Windows.
// The code under test is written for Windows. Where Wine behaves otherwise,
// a test expects each its own and says how they differ.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace testsupport {

#ifdef _WIN32
inline bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
inline bool RunningUnderWine() { return false; }
#endif

}  // namespace testsupport
