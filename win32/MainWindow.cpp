#include "win32/MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <stdexcept>

namespace win32 {

namespace {

constexpr UINT kRunPosted = WM_APP + 1;
constexpr int kDesignDpi = 96;

// Windows 10 1607 and later scale per monitor; older systems lack these
// calls, and the window then keeps the system's DPI.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename F>
F User32(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

UINT DpiOf(HWND hwnd) {
    static const auto getDpi = User32<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpi) return getDpi(hwnd);
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : kDesignDpi;
}

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = 0;

// The outer size of a window whose client area is width x height at dpi.
SIZE OuterSize(int width, int height, UINT dpi) {
    RECT r{0, 0, width, height};
    static const auto adjust = User32<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    if (adjust)
        adjust(&r, kWindowStyle, FALSE, kWindowExStyle, dpi);
    else
        AdjustWindowRectEx(&r, kWindowStyle, FALSE, kWindowExStyle);
    return {r.right - r.left, r.bottom - r.top};
}

HFONT MakeFont(const wchar_t* face, int height, bool bold) {
    LOGFONTW lf{};
    lf.lfHeight = -height;
    lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = CLEARTYPE_QUALITY;
    lf.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
    wcsncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
    return CreateFontIndirectW(&lf);
}

std::wstring FaceOf(HFONT font) {
    HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return face;
}

SIZE TextExtent(HFONT font, const std::wstring& text) {
    HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    SIZE size{0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size;
}

std::wstring WindowText(HWND hwnd) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

}  // namespace

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
    return text;
}

std::string Narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

MainWindow::MainWindow(HINSTANCE instance, Events events) : events_(std::move(events)) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &MainWindow::Procedure;
    wc.hInstance = instance;
    // Resource 1: the program's icon, at the sizes the system asks for.
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("RegisterClassEx: the window class cannot be registered");

    hwnd_ =
        CreateWindowExW(kWindowExStyle, kWindowClass, L"", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        window::layout::kClientWidth, window::layout::kClientHeight, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) throw std::runtime_error("CreateWindowEx: the window cannot be created");
    dpi_ = DpiOf(hwnd_);
    MakeFonts();
    CreateControls();
    Layout();

    // Centred on the screen's work area, as the design places it.
    const SIZE outer = OuterSize(Scale(window::layout::kClientWidth), Scale(window::layout::kClientHeight), dpi_);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &mi);
    const RECT& work = mi.rcWork;
    SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - outer.cx) / 2,
                 work.top + (work.bottom - work.top - outer.cy) / 2, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
}

MainWindow::~MainWindow() {
    if (hwnd_ != nullptr) {
        const HWND h = hwnd_;
        SetWindowLongPtrW(h, GWLP_USERDATA, 0);
        hwnd_ = nullptr;
        DestroyWindow(h);
    }
    for (HFONT f : {font_, boldFont_, versionFont_})
        if (f) DeleteObject(f);
    for (auto& [id, c] : colours_)
        if (c.brush) DeleteObject(c.brush);
}

int MainWindow::Scale(int designPixels) const { return MulDiv(designPixels, static_cast<int>(dpi_), kDesignDpi); }

void MainWindow::CreateControls() {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    for (const ControlSpec& s : kControls) {
        const wchar_t* cls = WC_STATICW;
        DWORD style = WS_CHILD;
        DWORD exStyle = 0;
        switch (s.kind) {
            case Kind::Group:
                cls = WC_BUTTONW;
                style |= BS_GROUPBOX;
                break;
            case Kind::Label: style |= SS_NOPREFIX | (s.rightAligned ? SS_RIGHT : SS_LEFT); break;
            case Kind::Edit:
                cls = WC_EDITW;
                style |= WS_TABSTOP | ES_AUTOHSCROLL;
                exStyle |= WS_EX_CLIENTEDGE;
                if (s.id == ControlId::PasswordField) style |= ES_PASSWORD;
                if (s.id == ControlId::ExportPathField) style |= ES_READONLY;
                break;
            case Kind::Button:
                cls = WC_BUTTONW;
                // The update button is the default one: Enter in a field presses it.
                style |= WS_TABSTOP | (s.id == ControlId::UpdateButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
                break;
            case Kind::Check:
                cls = WC_BUTTONW;
                style |= WS_TABSTOP | BS_AUTOCHECKBOX;
                break;
            case Kind::Progress:
                cls = PROGRESS_CLASSW;
                style |= PBS_SMOOTH;
                break;
        }
        // Which of them show, and which box is checked, the window model
        // decides before the window itself is shown.
        HWND h = CreateWindowExW(exStyle, cls, Widen(s.text).c_str(), style | WS_VISIBLE, 0, 0, 0, 0, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), instance, nullptr);
        if (h == nullptr) throw std::runtime_error("CreateWindowEx: a control cannot be created");
    }
    // The design echoes "*", where version 6 of the controls would show dots.
    SendMessageW(Item(ControlId::PasswordField), EM_SETPASSWORDCHAR, L'*', 0);
    SendMessageW(Item(ControlId::PasswordField), EM_LIMITTEXT, window::layout::kPasswordMaxCharacters, 0);
}

void MainWindow::MakeFonts() {
    for (HFONT f : {font_, boldFont_})
        if (f) DeleteObject(f);
    // The design's "MS Sans Serif" at 11 pixels (8 points). "MS Shell Dlg 2"
    // is the face Windows draws its own dialogs with, and it scales with the DPI.
    const int height = Scale(window::layout::kFontPixels);
    font_ = MakeFont(L"MS Shell Dlg 2", height, false);
    boldFont_ = MakeFont(L"MS Shell Dlg 2", height, true);
    FitVersionFont();
}

void MainWindow::FitVersionFont() {
    // "Consolas", 24 pixels, bold. Where it is missing, a monospaced face
    // stands in, made smaller as the layout says.
    const HFONT previous = versionFont_;
    versionFont_ = nullptr;
    const HWND label = hwnd_ ? Item(ControlId::VersionLabel) : nullptr;
    const std::wstring text = label ? Text(ControlId::VersionLabel) : L"";
    const int room = Scale(window::layout::kVersionRoom);
    const int designHeight = Scale(window::layout::kVersionFontPixels);
    const std::wstring designFace = Widen(window::layout::kVersionFontFace);
    for (const wchar_t* face : {designFace.c_str(), L"Liberation Mono", L"DejaVu Sans Mono", L"Courier New"}) {
        HFONT f = MakeFont(face, designHeight, true);
        if (_wcsicmp(FaceOf(f).c_str(), face) == 0) {
            versionFont_ = f;
            break;
        }
        DeleteObject(f);
    }
    if (!versionFont_) versionFont_ = MakeFont(L"Courier New", designHeight, true);
    const int smallest = Scale(window::layout::kVersionFontMinPixels);
    for (int px = designHeight; px > smallest && TextExtent(versionFont_, text).cx > room; --px) {
        const std::wstring face = FaceOf(versionFont_);
        DeleteObject(versionFont_);
        versionFont_ = MakeFont(face.c_str(), px - 1, true);
    }
    if (label) SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(versionFont_), TRUE);
    if (previous) DeleteObject(previous);
}

HFONT MainWindow::FontOf(ControlId id) const {
    switch (Spec(id).font) {
        case Font::Version: return versionFont_;
        case Font::Bold: return boldFont_;
        case Font::Normal: break;
    }
    return font_;
}

void MainWindow::Layout() {
    for (const ControlSpec& s : kControls) {
        HWND h = Item(s.id);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(s.id)), FALSE);
        if (s.kind == Kind::Label) {
            PlaceLabel(s.id);
            continue;
        }
        const window::layout::Rect r = InWindow(s.id);
        MoveWindow(h, Scale(r.left), Scale(r.top), Scale(r.width), Scale(r.height), FALSE);
    }
    InvalidateRect(hwnd_, nullptr, TRUE);
}

// A design label sizes itself to its text. A left-aligned one is given the
// room up to its group box's edge at once; a right-aligned one (the verdict
// on its coloured background) is fitted to each text, keeping its right edge.
void MainWindow::PlaceLabel(ControlId id) {
    const ControlSpec& s = Spec(id);
    const window::layout::Rect r = InWindow(id);
    HWND h = Item(id);
    const SIZE extent = TextExtent(FontOf(id), Text(id));
    const int height = std::max<int>(Scale(r.height), extent.cy);
    if (s.rightAligned) {
        const int width = std::max<int>(extent.cx + 1, 1);
        const int right = Scale(r.left + r.width);
        MoveWindow(h, right - width, Scale(r.top), width, height, FALSE);
    } else {
        MoveWindow(h, Scale(r.left), Scale(r.top), Scale(RoomRight(id)) - Scale(r.left), height, FALSE);
    }
}

void MainWindow::Show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
}

void MainWindow::Destroy() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void MainWindow::SetCaption(const std::wstring& text) { SetWindowTextW(hwnd_, text.c_str()); }

void MainWindow::SetText(ControlId id, const std::wstring& text) {
    HWND h = Item(id);
    if (h == nullptr || WindowText(h) == text) return;
    const ControlSpec& s = Spec(id);
    if (s.kind == Kind::Label && s.rightAligned) {
        // The old text's place shows the window's background again.
        RECT old;
        GetWindowRect(h, &old);
        MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&old), 2);
        SetWindowTextW(h, text.c_str());
        PlaceLabel(id);
        InvalidateRect(hwnd_, &old, TRUE);
        InvalidateRect(h, nullptr, TRUE);
        return;
    }
    settingText_ = true;  // not the operator's edit
    SetWindowTextW(h, text.c_str());
    settingText_ = false;
    if (id == ControlId::VersionLabel) {
        FitVersionFont();
        PlaceLabel(id);
    }
}

std::wstring MainWindow::Text(ControlId id) const { return WindowText(Item(id)); }

void MainWindow::SetEnabled(ControlId id, bool enabled) { EnableWindow(Item(id), enabled ? TRUE : FALSE); }

void MainWindow::SetVisible(ControlId id, bool visible) { ShowWindow(Item(id), visible ? SW_SHOWNA : SW_HIDE); }

void MainWindow::SetReadOnly(ControlId id, bool readOnly) {
    SendMessageW(Item(id), EM_SETREADONLY, readOnly ? TRUE : FALSE, 0);
}

bool MainWindow::Checked(ControlId id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void MainWindow::SetChecked(ControlId id, bool checked) {
    SendMessageW(Item(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void MainWindow::SetBar(int32_t minimum, int32_t maximum, int32_t position) {
    HWND bar = Item(ControlId::ProgressBar);
    SendMessageW(bar, PBM_SETRANGE32, static_cast<WPARAM>(minimum), static_cast<LPARAM>(maximum));
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void MainWindow::SetTextColour(ControlId id, COLORREF colour) {
    colours_[id].text = colour;
    InvalidateRect(Item(id), nullptr, TRUE);
}

void MainWindow::SetBackground(ControlId id, std::optional<COLORREF> colour) {
    Colours& c = colours_[id];
    if (c.background == colour) return;
    if (c.brush) DeleteObject(c.brush);
    c.brush = colour ? CreateSolidBrush(*colour) : nullptr;
    c.background = colour;
    InvalidateRect(Item(id), nullptr, TRUE);
}

const COLORREF* MainWindow::TextColour(ControlId id) const {
    const auto it = colours_.find(id);
    return it != colours_.end() && it->second.text ? &*it->second.text : nullptr;
}

HBRUSH MainWindow::Background(ControlId id) const {
    const auto it = colours_.find(id);
    return it != colours_.end() ? it->second.brush : nullptr;
}

void MainWindow::Focus(ControlId id) { SetFocus(Item(id)); }

void MainWindow::Message(const std::wstring& title, const std::wstring& text, bool error) {
    MessageBoxW(hwnd_, text.c_str(), title.c_str(), MB_OK | (error ? MB_ICONERROR : 0));
}

bool MainWindow::Ask(const std::wstring& title, const std::wstring& text) {
    return MessageBoxW(hwnd_, text.c_str(), title.c_str(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1) == IDYES;
}

std::wstring MainWindow::OpenFile(const std::wstring& filter) {
    wchar_t dir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, dir);
    wchar_t file[MAX_PATH] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = dir;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    return GetOpenFileNameW(&ofn) ? std::wstring(file) : std::wstring();
}

void MainWindow::Post(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(postedMutex_);
    if (hwnd_ == nullptr) return;
    posted_.push_back(std::move(work));
    // One message for each: work that opens a modal box runs the queue's
    // later work from the box's own message loop, still in order.
    PostMessageW(hwnd_, kRunPosted, 0, 0);
}

void MainWindow::RunPosted() {
    std::function<void()> work;
    {
        std::lock_guard<std::mutex> lock(postedMutex_);
        if (posted_.empty()) return;
        work = std::move(posted_.front());
        posted_.pop_front();
    }
    work();
}

void MainWindow::PostAfter(int ms, std::function<void()> work) {
    if (hwnd_ == nullptr) return;
    const UINT_PTR id = nextTimer_++;
    timers_.emplace(id, std::move(work));
    SetTimer(hwnd_, id, static_cast<UINT>(std::max(ms, USER_TIMER_MINIMUM)), nullptr);
}

LRESULT CALLBACK MainWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->OnMessage(hwnd, message, wParam, lParam);
}

LRESULT MainWindow::OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kRunPosted: RunPosted(); return 0;
        case WM_TIMER:
            if (!RunTimer(wParam)) break;
            return 0;
        case DM_GETDEFID:
            // Asked by IsDialogMessage on Enter: it then presses this button, when enabled.
            return MAKELRESULT(static_cast<WORD>(ControlId::UpdateButton), DC_HASDEFID);
        case WM_COMMAND: OnCommand(wParam, lParam); return 0;
        case WM_ACTIVATE: OnActivate(hwnd, wParam); return 0;
        case WM_CTLCOLORSTATIC: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            if (!IsControl(id)) break;
            return reinterpret_cast<LRESULT>(StaticColours(reinterpret_cast<HDC>(wParam), static_cast<ControlId>(id)));
        }
        case WM_DPICHANGED: {
            dpi_ = HIWORD(wParam);
            MakeFonts();
            Layout();
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            if (events_.closeRequested)
                events_.closeRequested();
            else
                DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY: {
            std::lock_guard<std::mutex> lock(postedMutex_);
            hwnd_ = nullptr;  // from now on, posted work is dropped
            posted_.clear();
            timers_.clear();
            PostQuitMessage(0);
            return 0;
        }
        default: break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool MainWindow::RunTimer(UINT_PTR id) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    KillTimer(hwnd_, id);
    std::function<void()> work = std::move(it->second);
    timers_.erase(it);
    work();
    return true;
}

void MainWindow::OnCommand(WPARAM wParam, LPARAM lParam) {
    // The controls' own notifications. Esc (IDCANCEL) means nothing
    // here; Enter, should it come as IDOK, presses the default button.
    const int id = LOWORD(wParam);
    if (id == IDOK && lParam == 0 && IsWindowEnabled(Item(ControlId::UpdateButton)) && events_.clicked) {
        events_.clicked(ControlId::UpdateButton);
        return;
    }
    if (lParam == 0 || !IsControl(id)) return;
    const ControlSpec& s = Spec(static_cast<ControlId>(id));
    if (HIWORD(wParam) == BN_CLICKED && (s.kind == Kind::Button || s.kind == Kind::Check) && events_.clicked)
        events_.clicked(s.id);
    else if (HIWORD(wParam) == EN_CHANGE && s.kind == Kind::Edit && !settingText_ && events_.edited)
        events_.edited(s.id);
}

void MainWindow::OnActivate(HWND hwnd, WPARAM wParam) {
    // A plain window forgets which control had the focus when it is
    // deactivated (by a message box, another program); give it back.
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND f = GetFocus();
        if (f != nullptr && IsChild(hwnd, f)) lastFocus_ = f;
        return;
    }
    // A click that activated the window has already put the focus
    // where it belongs (under Wine the activation can come after it).
    if (HWND f = GetFocus(); f == nullptr || !IsChild(hwnd, f)) {
        if (lastFocus_ != nullptr && IsWindowEnabled(lastFocus_) && IsWindowVisible(lastFocus_))
            SetFocus(lastFocus_);
        else
            SetFocus(hwnd);
    }
    if (events_.activated) events_.activated();
}

HBRUSH MainWindow::StaticColours(HDC dc, ControlId control) {
    if (const COLORREF* text = TextColour(control)) SetTextColor(dc, *text);
    if (const HBRUSH brush = Background(control)) {
        SetBkColor(dc, *colours_[control].background);
        return brush;
    }
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return GetSysColorBrush(COLOR_BTNFACE);
}

}  // namespace win32
