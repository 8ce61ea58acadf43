#include "MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <stdexcept>

namespace win32 {

namespace {

constexpr wchar_t kClassName[] = L"EthernetLoaderWindow";
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

COLORREF ToColorRef(uint32_t color) {
    // The design's colour values: the high byte 0xFF names a system colour.
    if ((color >> 24) == 0xFF) return GetSysColor(static_cast<int>(color & 0xFF));
    return static_cast<COLORREF>(color & 0xFFFFFF);
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

std::wstring FromLatin1(std::string_view latin1) {
    latin1 = latin1.substr(0, latin1.find('\0'));
    std::wstring text(latin1.size(), L'\0');
    std::transform(latin1.begin(), latin1.end(), text.begin(),
                   [](char c) { return static_cast<wchar_t>(static_cast<unsigned char>(c)); });
    return text;
}

MainWindow::MainWindow(HINSTANCE instance, bool developerBuild, Events events) : events_(std::move(events)) {
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
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("RegisterClassEx: the window class cannot be registered");

    hwnd_ = CreateWindowExW(kWindowExStyle, kClassName, L"", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth,
                            kClientHeight, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) throw std::runtime_error("CreateWindowEx: the window cannot be created");
    dpi_ = DpiOf(hwnd_);
    editBrush_ = CreateSolidBrush(RGB(255, 255, 0));  // clYellow
    MakeFonts();
    CreateControls(developerBuild);
    Layout();

    // Centred on the screen's work area, as the design places it.
    const SIZE outer = OuterSize(Scale(kClientWidth), Scale(kClientHeight), dpi_);
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
    if (editBrush_) DeleteObject(editBrush_);
    for (const LabelColor& c : labelColors_) DeleteObject(c.brush);
}

int MainWindow::Scale(int designPixels) const { return MulDiv(designPixels, static_cast<int>(dpi_), kDesignDpi); }

void MainWindow::CreateControls(bool developerBuild) {
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
                if (s.id == Control::EditPass) style |= ES_PASSWORD;
                if (s.id == Control::Edit1) style |= ES_READONLY;
                break;
            case Kind::Memo:
                cls = WC_EDITW;
                style |= WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL;
                exStyle |= WS_EX_CLIENTEDGE;
                break;
            case Kind::Button:
                cls = WC_BUTTONW;
                style |= WS_TABSTOP | BS_PUSHBUTTON;
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
        const bool visible = s.shown == Shown::Always || (s.shown == Shown::Developer && developerBuild);
        if (visible) style |= WS_VISIBLE;
        HWND h = CreateWindowExW(exStyle, cls, FromLatin1(s.text).c_str(), style, 0, 0, 0, 0, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), instance, nullptr);
        if (h == nullptr) throw std::runtime_error("CreateWindowEx: a control cannot be created");
    }
    // The design echoes "*", where version 6 of the controls would show dots.
    SendMessageW(Item(Control::EditPass), EM_SETPASSWORDCHAR, L'*', 0);
    SetChecked(Control::CheckBox1, true);
    SendMessageW(Item(Control::ProgressBar1), PBM_SETRANGE32, 14, 65000);
    SendMessageW(Item(Control::ProgressBar1), PBM_SETPOS, 14, 0);
}

void MainWindow::MakeFonts() {
    for (HFONT f : {font_, boldFont_})
        if (f) DeleteObject(f);
    // The design's "MS Sans Serif" at 8 points; "MS Shell Dlg 2" is the face
    // Windows maps its dialogs' to, and it scales with the DPI.
    const int height = MulDiv(8, static_cast<int>(dpi_), 72);
    font_ = MakeFont(L"MS Shell Dlg 2", height, false);
    boldFont_ = MakeFont(L"MS Shell Dlg 2", height, true);
    FitVersionFont();
}

void MainWindow::FitVersionFont() {
    // "Consolas", 24 pixels, bold. Where it is missing, a monospaced face
    // stands in, and a wider face is made smaller until the version shows
    // to its last digit.
    const HFONT previous = versionFont_;
    versionFont_ = nullptr;
    const std::wstring text = hwnd_ && Item(Control::LabelVersion) ? Text(Control::LabelVersion) : L"";
    const int room = Scale(Spec(Control::GroupBox2).width - Spec(Control::LabelVersion).x - 8);
    for (const wchar_t* face : {L"Consolas", L"Liberation Mono", L"DejaVu Sans Mono", L"Courier New"}) {
        HFONT f = MakeFont(face, Scale(24), true);
        if (_wcsicmp(FaceOf(f).c_str(), face) == 0) {
            versionFont_ = f;
            break;
        }
        DeleteObject(f);
    }
    if (!versionFont_) versionFont_ = MakeFont(L"Courier New", Scale(24), true);
    for (int px = Scale(24); px > Scale(12) && TextExtent(versionFont_, text).cx > room; --px) {
        const std::wstring face = FaceOf(versionFont_);
        DeleteObject(versionFont_);
        versionFont_ = MakeFont(face.c_str(), px - 1, true);
    }
    if (hwnd_ && Item(Control::LabelVersion))
        SendMessageW(Item(Control::LabelVersion), WM_SETFONT, reinterpret_cast<WPARAM>(versionFont_), TRUE);
    if (previous) DeleteObject(previous);
}

std::wstring MainWindow::VersionFontFace() const { return FaceOf(versionFont_); }

HFONT MainWindow::FontOf(Control id) const {
    if (id == Control::LabelVersion) return versionFont_;
    return Spec(id).bold ? boldFont_ : font_;
}

void MainWindow::Layout() {
    for (const ControlSpec& s : kControls) {
        HWND h = Item(s.id);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(s.id)), FALSE);
        if (s.kind == Kind::Label) {
            PlaceLabel(s.id);
            continue;
        }
        const DesignRect r = InWindow(s.id);
        MoveWindow(h, Scale(r.x), Scale(r.y), Scale(r.width), Scale(r.height), FALSE);
    }
    InvalidateRect(hwnd_, nullptr, TRUE);
}

// A design label sizes itself to its text. A left-aligned one is given the
// room up to its group box's edge at once; a right-aligned one (the verdict
// on its coloured background) is fitted to each text, keeping its right edge.
void MainWindow::PlaceLabel(Control id) {
    const ControlSpec& s = Spec(id);
    const DesignRect r = InWindow(id);
    HWND h = Item(id);
    const SIZE extent = TextExtent(FontOf(id), Text(id));
    const int height = std::max<int>(Scale(r.height), extent.cy);
    if (s.rightAligned) {
        const int width = std::max<int>(extent.cx + 1, 1);
        const int right = Scale(r.x + r.width);
        MoveWindow(h, right - width, Scale(r.y), width, height, FALSE);
    } else {
        MoveWindow(h, Scale(r.x), Scale(r.y), Scale(RoomRight(id)) - Scale(r.x), height, FALSE);
    }
}

void MainWindow::Show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
}

void MainWindow::Destroy() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void MainWindow::SetCaption(std::string_view latin1) {
    caption_ = FromLatin1(latin1);
    SetWindowTextW(hwnd_, caption_.c_str());
}

void MainWindow::SetText(Control id, std::string_view latin1) {
    const std::wstring text = FromLatin1(latin1);
    HWND h = Item(id);
    if (WindowText(h) == text) return;
    const ControlSpec& s = Spec(id);
    if (s.kind == Kind::Label && s.rightAligned) {
        // The old text's place is the window's background again.
        RECT old;
        GetWindowRect(h, &old);
        MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&old), 2);
        SetWindowTextW(h, text.c_str());
        PlaceLabel(id);
        InvalidateRect(hwnd_, &old, TRUE);
        InvalidateRect(h, nullptr, TRUE);
        return;
    }
    SetWindowTextW(h, text.c_str());
    if (id == Control::LabelVersion) {
        FitVersionFont();
        PlaceLabel(id);
    }
}

std::wstring MainWindow::Text(Control id) const { return WindowText(Item(id)); }

void MainWindow::SetEnabled(Control id, bool enabled) { EnableWindow(Item(id), enabled ? TRUE : FALSE); }

void MainWindow::SetVisible(Control id, bool visible) { ShowWindow(Item(id), visible ? SW_SHOWNA : SW_HIDE); }

bool MainWindow::Checked(Control id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void MainWindow::SetChecked(Control id, bool checked) {
    SendMessageW(Item(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void MainWindow::SetProgressRange(int32_t minimum, int32_t maximum) {
    SendMessageW(Item(Control::ProgressBar1), PBM_SETRANGE32, static_cast<WPARAM>(minimum),
                 static_cast<LPARAM>(maximum));
}

void MainWindow::SetProgressPosition(int32_t position) {
    SendMessageW(Item(Control::ProgressBar1), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void MainWindow::SetLabelBackground(Control id, uint32_t color) {
    const COLORREF c = ToColorRef(color);
    auto it = std::find_if(labelColors_.begin(), labelColors_.end(), [id](const LabelColor& l) { return l.id == id; });
    if (it == labelColors_.end()) it = labelColors_.insert(labelColors_.end(), LabelColor{id, c, nullptr});
    if (it->brush != nullptr && it->color == c) return;
    if (it->brush) DeleteObject(it->brush);
    it->color = c;
    it->brush = CreateSolidBrush(c);
    InvalidateRect(Item(id), nullptr, TRUE);
}

void MainWindow::Focus(Control id) { SetFocus(Item(id)); }

void MainWindow::Message(std::string_view latin1, bool error) {
    MessageBoxW(hwnd_, FromLatin1(latin1).c_str(), caption_.c_str(), MB_OK | (error ? MB_ICONERROR : 0));
}

std::wstring MainWindow::OpenFile(std::string_view filter) {
    // "Intel Hex (*.hex)|*.hex" -> "Intel Hex (*.hex)\0*.hex\0\0"
    std::wstring f = FromLatin1(filter);
    std::replace(f.begin(), f.end(), L'|', L'\0');
    f.append(2, L'\0');
    wchar_t dir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, dir);
    wchar_t file[MAX_PATH] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = f.c_str();
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
    // One wake-up per batch: the window takes everything queued so far.
    if (posted_.size() == 1) PostMessageW(hwnd_, kRunPosted, 0, 0);
}

void MainWindow::RunPosted() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(postedMutex_);
        batch.swap(posted_);
    }
    for (auto& work : batch) work();
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
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (HIWORD(wParam) == BN_CLICKED && lParam != 0 && events_.clicked) {
                const ControlSpec& s = Spec(static_cast<Control>(id));
                if (static_cast<int>(s.id) == id && (s.kind == Kind::Button || s.kind == Kind::Check))
                    events_.clicked(s.id);
            }
            return 0;
        }
        case WM_ACTIVATE:
            // A plain window forgets which control had the focus when it is
            // deactivated (by a message box, another program); give it back.
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND f = GetFocus();
                if (f != nullptr && IsChild(hwnd_, f)) lastFocus_ = f;
                return 0;
            }
            if (!activated_) {
                activated_ = true;
                if (events_.firstActivation) events_.firstActivation();
                return 0;
            }
            if (lastFocus_ != nullptr && IsWindowEnabled(lastFocus_) && IsWindowVisible(lastFocus_))
                SetFocus(lastFocus_);
            else
                SetFocus(hwnd_);
            return 0;
        case WM_CTLCOLORSTATIC: {
            const auto dc = reinterpret_cast<HDC>(wParam);
            const auto control = static_cast<Control>(GetDlgCtrlID(reinterpret_cast<HWND>(lParam)));
            if (control == Control::Edit1) {
                SetBkColor(dc, RGB(255, 255, 0));
                return reinterpret_cast<LRESULT>(editBrush_);
            }
            if (control == Control::LabelVersion) SetTextColor(dc, RGB(0, 128, 0));  // clGreen
            for (const LabelColor& c : labelColors_) {
                if (c.id == control) {
                    SetBkColor(dc, c.color);
                    return reinterpret_cast<LRESULT>(c.brush);
                }
            }
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        case WM_DPICHANGED: {
            dpi_ = HIWORD(wParam);
            MakeFonts();
            Layout();
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            if (!events_.closeRequested || events_.closeRequested()) DestroyWindow(hwnd_);
            return 0;
        case WM_DESTROY: {
            std::lock_guard<std::mutex> lock(postedMutex_);
            hwnd_ = nullptr;  // from now on, posted work is dropped
            posted_.clear();
            PostQuitMessage(0);
            return 0;
        }
        default: break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace win32
