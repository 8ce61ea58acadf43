// The tool's one window on Windows, drawn with the system's own controls
// (USER32, COMCTL32 version 6). It shows what it is told and reports what the
// operator does; what either means is decided elsewhere.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32/Controls.h"

namespace win32 {

class MainWindow {
public:
    // What the operator does. Each is called on the window's thread.
    struct Events {
        std::function<void(ControlId)> clicked;  // a button or a check box
        std::function<void(ControlId)> edited;   // the operator changed a field's text
        std::function<void()> activated;
        std::function<void()> closeRequested;  // the window stays until Destroy
    };

    // Creates the window, hidden, centred on the screen, with every control
    // of the design.
    MainWindow(HINSTANCE instance, Events events);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    void Show(int showCommand);
    // Ends the window, and with it the message loop.
    void Destroy();

    void SetCaption(const std::wstring& text);
    void SetText(ControlId id, const std::wstring& text);
    std::wstring Text(ControlId id) const;
    void SetEnabled(ControlId id, bool enabled);
    void SetVisible(ControlId id, bool visible);
    void SetReadOnly(ControlId id, bool readOnly);
    bool Checked(ControlId id) const;
    void SetChecked(ControlId id, bool checked);
    void SetBar(int32_t minimum, int32_t maximum, int32_t position);
    void SetTextColour(ControlId id, COLORREF colour);
    // Empty: the system's colour of button faces.
    void SetBackground(ControlId id, std::optional<COLORREF> colour);
    void Focus(ControlId id);

    // A modal box with an OK button, titled with the caption; returns once
    // the operator has dismissed it. error: with the error icon.
    void Message(const std::wstring& title, const std::wstring& text, bool error);
    // A question with Yes (the default button) and No; true for Yes.
    bool Ask(const std::wstring& title, const std::wstring& text);
    // A file-open dialog starting in the working directory; filter in the
    // system's syntax, each name and pattern ended by "\0" and the list by
    // one more. The chosen path, or empty.
    std::wstring OpenFile(const std::wstring& filter);

    // Runs work on the window's thread, in order, from any thread; work
    // posted after the window is gone is dropped.
    void Post(std::function<void()> work);
    // Window's thread only: runs work there after ms milliseconds.
    void PostAfter(int ms, std::function<void()> work);

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    // Runs the work of timer `id`; false for a timer not set by PostAfter.
    bool RunTimer(UINT_PTR id);
    void OnCommand(WPARAM wParam, LPARAM lParam);
    void OnActivate(HWND hwnd, WPARAM wParam);
    // A label's or read-only field's colours; the brush for its background.
    HBRUSH StaticColours(HDC dc, ControlId control);
    HWND Item(ControlId id) const { return GetDlgItem(hwnd_, static_cast<int>(id)); }
    int Scale(int designPixels) const;
    void CreateControls();
    void MakeFonts();
    void Layout();
    void PlaceLabel(ControlId id);
    void FitVersionFont();
    HFONT FontOf(ControlId id) const;
    void RunPosted();
    const COLORREF* TextColour(ControlId id) const;
    HBRUSH Background(ControlId id) const;

    HWND hwnd_ = nullptr;
    Events events_;
    UINT dpi_ = 96;
    HWND lastFocus_ = nullptr;
    bool settingText_ = false;
    HFONT font_ = nullptr;
    HFONT boldFont_ = nullptr;
    HFONT versionFont_ = nullptr;
    struct Colours {
        std::optional<COLORREF> text;
        std::optional<COLORREF> background;
        HBRUSH brush = nullptr;
    };
    std::map<ControlId, Colours> colours_;

    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    UINT_PTR nextTimer_ = 1;
    std::map<UINT_PTR, std::function<void()>> timers_;
};

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view text);  // as UTF-8

}  // namespace win32
