// Reads the running window from outside, as the system's own accessibility
// tools would: its caption, its controls' texts, places and states, and its
// message boxes. The window tests click and type with xdotool as a person
// does, and ask this program what the window shows.
//
//   window-probe window MS              caption, once the window is shown
//   window-probe text NAME              a control's text
//   window-probe wait-text NAME TEXT MS until the control shows TEXT
//   window-probe wait-prefix NAME TEXT MS   ... a text beginning with TEXT
//   window-probe wait-enabled NAME MS   1 once the control is enabled, else 0
//   window-probe wait-focus NAME MS     the control with the keyboard focus, once it is NAME
//   window-probe center NAME            x y on the screen
//   window-probe rect NAME              x y width height on the screen
//   window-probe place NAME             x y width height in the window's client area
//   window-probe client                 width height of the client area
//   window-probe box MS                 a message box: x y of its OK (or first) button, title, text
//   window-probe no-box MS              until no message box is open and the window takes input
//   window-probe gone MS                until the window has closed
//   window-probe wait-active MS         until the window is the active one
//   window-probe version FILE           product name, file version, company of an .exe
//
// Exit status: 0 found, 1 not (within MS milliseconds), 2 usage.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "win32/Controls.h"

namespace {

using win32::ControlId;
using Clock = std::chrono::steady_clock;

struct Named {
    const char* name;
    ControlId id;
};
constexpr Named kNames[] = {
    {"FirmwareGroup", ControlId::FirmwareGroup},     {"VersionLabel", ControlId::VersionLabel},
    {"ExportPathField", ControlId::ExportPathField}, {"ChooseFileButton", ControlId::ChooseFileButton},
    {"MainMcuCheck", ControlId::MainMcuCheck},       {"MeterGroup", ControlId::MeterGroup},
    {"AddressCaption", ControlId::AddressCaption},   {"AddressField", ControlId::AddressField},
    {"PasswordCaption", ControlId::PasswordCaption}, {"PasswordField", ControlId::PasswordField},
    {"UpdateButton", ControlId::UpdateButton},       {"OperationGroup", ControlId::OperationGroup},
    {"ActionCaption", ControlId::ActionCaption},     {"ActionLabel", ControlId::ActionLabel},
    {"IdentityCaption", ControlId::IdentityCaption}, {"IdentityLabel", ControlId::IdentityLabel},
    {"RepeatCaption", ControlId::RepeatCaption},     {"RepeatLabel", ControlId::RepeatLabel},
    {"ExportCheck", ControlId::ExportCheck},         {"ProcessGroup", ControlId::ProcessGroup},
    {"VerdictLabel", ControlId::VerdictLabel},       {"ProgressBar", ControlId::ProgressBar},
};

std::optional<ControlId> ControlNamed(const char* name) {
    for (const Named& n : kNames)
        if (std::strcmp(n.name, name) == 0) return n.id;
    return std::nullopt;
}

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::wstring TextOf(HWND h) {
    // WM_GETTEXT crosses processes; GetWindowText would not for controls.
    const auto length = SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const auto got = SendMessageW(h, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(got));
    return text;
}

std::wstring ClassOf(HWND h) {
    wchar_t name[64] = {};
    GetClassNameW(h, name, 64);
    return name;
}

HWND MainWindow() { return FindWindowW(win32::kWindowClass, nullptr); }

// Polls until found() yields something or the time is up.
template <typename F>
auto Until(int ms, F found) -> decltype(found()) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (auto r = found()) return r;
        if (Clock::now() >= deadline) return found();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

HWND Item(ControlId id) {
    const HWND w = MainWindow();
    return w ? GetDlgItem(w, static_cast<int>(id)) : nullptr;
}

struct Box {
    HWND hwnd = nullptr;
    std::wstring title, text;
    HWND ok = nullptr;
};

// A message box of the window: a dialog it owns.
Box FindBox() {
    struct Search {
        HWND owner;
        HWND found = nullptr;
    } search{MainWindow()};
    if (search.owner == nullptr) return {};
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            if (IsWindowVisible(h) && ClassOf(h) == L"#32770" && GetWindow(h, GW_OWNER) == s->owner) {
                s->found = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    Box box;
    if (search.found == nullptr) return box;
    box.hwnd = search.found;
    box.title = TextOf(box.hwnd);
    EnumChildWindows(
        box.hwnd,
        [](HWND h, LPARAM p) -> BOOL {
            auto* b = reinterpret_cast<Box*>(p);
            const std::wstring cls = ClassOf(h);
            const LONG style = GetWindowLongW(h, GWL_STYLE);
            if (_wcsicmp(cls.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) != SS_ICON && b->text.empty())
                b->text = TextOf(h);
            if (_wcsicmp(cls.c_str(), L"Button") == 0 && b->ok == nullptr) b->ok = h;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&box));
    if (HWND ok = GetDlgItem(box.hwnd, IDOK)) box.ok = ok;
    return box;
}

RECT ScreenRect(HWND h) {
    RECT r{};
    GetWindowRect(h, &r);
    return r;
}

void Print(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fputc('\n', stdout);
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: window-probe window|text|wait-text|wait-prefix|wait-enabled|wait-focus|center|rect|box|no-box|gone|"
        "version ...\n");
    return 2;
}

std::optional<std::string> VersionString(const std::vector<char>& data, const wchar_t* key) {
    std::wstring path = L"\\StringFileInfo\\040904B0\\";
    path += key;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), path.c_str(), &value, &length) || length == 0) return std::nullopt;
    return Utf8(static_cast<const wchar_t*>(value));
}

int Version(const char* file) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, file, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, file, -1, wide.data(), n);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
    if (size == 0) return 1;
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(wide.c_str(), 0, size, data.data())) return 1;
    for (const wchar_t* key : {L"ProductName", L"FileVersion", L"CompanyName"}) {
        const auto v = VersionString(data, key);
        if (!v) return 1;
        Print(*v);
    }
    return 0;
}

// The command line after the verb: arguments by position.
struct Args {
    int argc;
    char** argv;
    const char* At(int i) const { return i < argc ? argv[i] : nullptr; }
    int Ms(int i) const { return At(i) ? std::atoi(At(i)) : 0; }
};

// The control with the keyboard focus, by name, once it is the one named (or when the time is up).
int WaitFocus(const char* want, int ms) {
    std::string name = "none";
    Until(ms, [&] {
        const HWND w = MainWindow();
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        name = "none";
        if (!w || !GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info) || !info.hwndFocus) return false;
        const int id = GetDlgCtrlID(info.hwndFocus);
        for (const Named& n : kNames)
            if (static_cast<int>(n.id) == id && GetParent(info.hwndFocus) == w) name = n.name;
        return name == want;
    });
    Print(name);
    return name == want ? 0 : 1;
}

int ShowBox(int ms) {
    const Box b = Until(ms, [] {
                      Box found = FindBox();
                      return found.hwnd && found.ok ? std::optional<Box>(found) : std::nullopt;
                  }).value_or(Box{});
    if (!b.hwnd) return 1;
    const RECT r = ScreenRect(b.ok);
    Print(std::to_string((r.left + r.right) / 2) + " " + std::to_string((r.top + r.bottom) / 2));
    Print(Utf8(b.title));
    Print(Utf8(b.text));
    return 0;
}

// The verbs about the window as a whole and its boxes; empty for another verb.
std::optional<int> AboutWindow(const std::string& verb, const Args& a) {
    if (verb == "window") {
        const HWND w = Until(a.Ms(2), [] {
            const HWND h = MainWindow();
            return h && IsWindowVisible(h) ? h : nullptr;
        });
        if (!w) return 1;
        Print(Utf8(TextOf(w)));
        return 0;
    }
    if (verb == "gone") return Until(a.Ms(2), [] { return MainWindow() == nullptr; }) ? 0 : 1;
    if (verb == "box") return ShowBox(a.Ms(2));
    if (verb == "wait-active") {
        return Until(a.Ms(2),
                     [] {
                         const HWND w = MainWindow();
                         GUITHREADINFO info{};
                         info.cbSize = sizeof info;
                         return w && GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info) &&
                                info.hwndActive == w;
                     })
                   ? 0
                   : 1;
    }
    if (verb == "client") {
        const HWND w = MainWindow();
        RECT r{};
        if (!w || !GetClientRect(w, &r)) return 1;
        Print(std::to_string(r.right) + " " + std::to_string(r.bottom));
        return 0;
    }
    if (verb == "wait-focus" && a.At(2)) return WaitFocus(a.At(2), a.Ms(3));
    if (verb == "no-box") {
        // The window takes input again once its box is gone and it is enabled.
        return Until(a.Ms(2),
                     [] {
                         const HWND w = MainWindow();
                         return FindBox().hwnd == nullptr && w != nullptr && IsWindowEnabled(w);
                     })
                   ? 0
                   : 1;
    }
    return std::nullopt;
}

int PrintPlace(const std::string& verb, ControlId id) {
    const HWND h = Item(id);
    if (!h) return 1;
    RECT r = ScreenRect(h);
    if (verb == "place") MapWindowPoints(nullptr, MainWindow(), reinterpret_cast<POINT*>(&r), 2);
    if (verb == "center")
        Print(std::to_string((r.left + r.right) / 2) + " " + std::to_string((r.top + r.bottom) / 2));
    else
        Print(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
              std::to_string(r.bottom - r.top));
    return 0;
}

// The verbs about one control; empty for another verb.
std::optional<int> AboutControl(const std::string& verb, ControlId id, const Args& a) {
    if (verb == "text") {
        const HWND h = Item(id);
        if (!h) return 1;
        Print(Utf8(TextOf(h)));
        return 0;
    }
    if ((verb == "wait-text" || verb == "wait-prefix") && a.At(3)) {
        const std::string want = a.At(3);
        const bool prefix = verb == "wait-prefix";
        std::string last;
        const bool seen = Until(a.Ms(4), [&] {
            const HWND h = Item(id);
            if (!h) return false;
            last = Utf8(TextOf(h));
            return prefix ? last.rfind(want, 0) == 0 : last == want;
        });
        Print(last);
        return seen ? 0 : 1;
    }
    if (verb == "wait-enabled") {
        const bool enabled = Until(a.Ms(3), [&] {
            const HWND h = Item(id);
            return h != nullptr && IsWindowEnabled(h);
        });
        Print(enabled ? "1" : "0");
        return enabled ? 0 : 1;
    }
    if (verb == "center" || verb == "rect" || verb == "place") return PrintPlace(verb, id);
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string verb = argv[1];
    const Args args{argc, argv};
    if (verb == "version" && args.At(2)) return Version(args.At(2));
    if (const auto rc = AboutWindow(verb, args)) return *rc;
    const auto id = args.At(2) ? ControlNamed(args.At(2)) : std::nullopt;
    if (!id) return Usage();
    if (const auto rc = AboutControl(verb, *id, args)) return *rc;
    return Usage();
}
