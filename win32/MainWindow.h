// The tool's one window on Windows, drawn with the system's own controls
// (USER32, COMCTL32 version 6). It shows what it is told and reports what the
// operator does; what either means is decided elsewhere.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Controls.h"

namespace win32 {

class MainWindow {
public:
    // What the operator does. Each is called on the window's thread.
    struct Events {
        std::function<void(Control)> clicked;  // a button or a check box
        std::function<void()> firstActivation;
        // The operator asks to close; true: the window may go now.
        std::function<bool()> closeRequested;
    };

    // Creates the window, hidden, centred on the screen, with every control
    // of the design; a developer build also shows the image export's controls.
    MainWindow(HINSTANCE instance, bool developerBuild, Events events);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    void Show(int showCommand);
    // Ends the window (and the message loop) without asking again.
    void Destroy();

    // Texts are Latin-1 bytes, as the rest of the tool keeps them; a text
    // ends at its first zero byte, as a label's does.
    void SetCaption(std::string_view latin1);
    void SetText(Control id, std::string_view latin1);
    std::wstring Text(Control id) const;
    void SetEnabled(Control id, bool enabled);
    void SetVisible(Control id, bool visible);
    bool Checked(Control id) const;
    void SetChecked(Control id, bool checked);
    void SetProgressRange(int32_t minimum, int32_t maximum);
    void SetProgressPosition(int32_t position);
    // A colour value of the design's toolkit: 0x00BBGGRR, or 0xFF0000nn for
    // system colour nn.
    void SetLabelBackground(Control id, uint32_t color);
    void Focus(Control id);

    // A modal box with an OK button, titled with the caption; returns once
    // the operator has dismissed it. error: with the error icon.
    void Message(std::string_view latin1, bool error);
    // A file-open dialog starting in the working directory; filter as
    // "Intel Hex (*.hex)|*.hex". The chosen path, or empty.
    std::wstring OpenFile(std::string_view filter);

    // Runs work on the window's thread, in order, from any thread; work
    // posted after the window is gone is dropped.
    void Post(std::function<void()> work);

    // The font the version label got: the design's, or what stands in for it.
    std::wstring VersionFontFace() const;

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND Item(Control id) const { return GetDlgItem(hwnd_, static_cast<int>(id)); }
    int Scale(int designPixels) const;
    void CreateControls(bool developerBuild);
    void MakeFonts();
    void Layout();
    void PlaceLabel(Control id);
    void FitVersionFont();
    HFONT FontOf(Control id) const;
    void RunPosted();

    HWND hwnd_ = nullptr;
    Events events_;
    UINT dpi_ = 96;
    bool activated_ = false;
    HWND lastFocus_ = nullptr;
    std::wstring caption_;
    HFONT font_ = nullptr;
    HFONT boldFont_ = nullptr;
    HFONT versionFont_ = nullptr;
    HBRUSH editBrush_ = nullptr;  // Edit1's yellow
    struct LabelColor {
        Control id;
        COLORREF color;
        HBRUSH brush;
    };
    std::vector<LabelColor> labelColors_;

    std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
};

// Latin-1 bytes up to the first zero, as UTF-16.
std::wstring FromLatin1(std::string_view latin1);

}  // namespace win32
