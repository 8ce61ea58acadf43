// What the update logic needs of the main window, and nothing more. The
// window implements it; tests drive the logic with a fake.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace loader {

enum class Control {
    Label1,       // the action line
    Label4,       // bootloader identity
    LabelRepeat,  // failed write attempts of the run
    Perc1,        // percentage and final verdict
    BLVmain,
    Edit1,
    Edit2,        // collects the identity reply
    EditIPaddr,
    EditPass,
    Button2,
    ButtonCPU1,
    CheckBox1,
    CheckBoxGenerate,
};

enum class WaitTimer { TimerIP, TimerDelay };

// Background colours of Perc1, as the window toolkit's colour values.
inline constexpr uint32_t clBtnFace = 0xFF00000F;  // system colour of button faces
inline constexpr uint32_t clLime = 0x0000FF00;

class IUpdateForm {
public:
    virtual ~IUpdateForm() = default;

    // Control texts are 8-bit (Latin-1) and, like any label, end at their
    // first zero byte: bytes from a meter's answer go in unfiltered.
    std::string Text(Control c) const { return GetText(c); }
    void SetText(Control c, std::string_view text) { PutText(c, text.substr(0, text.find('\0'))); }
    // False when the text holds a character that has no Latin-1 byte.
    virtual bool TextIsLatin1(Control c) const = 0;

    virtual void SetEnabled(Control c, bool enabled) = 0;
    virtual bool Checked(Control c) const = 0;
    virtual void SetPerc1Color(uint32_t color) = 0;

    // The progress bar keeps its position inside its range.
    virtual void SetProgressMin(int32_t v) = 0;
    virtual void SetProgressMax(int32_t v) = 0;
    virtual void SetProgressPosition(int64_t v) = 0;
    virtual int32_t ProgressMin() const = 0;
    virtual int32_t ProgressMax() const = 0;
    virtual int32_t ProgressPosition() const = 0;

    // A modal message box with an OK button, titled with the application title.
    virtual void ShowMessage(std::string_view text) = 0;

    // One-shot wait timers. Enabling a stopped timer starts a fresh countdown;
    // a different interval restarts a running one; setting what a timer
    // already has changes nothing. The timer's own tick stops it.
    virtual void SetTimerEnabled(WaitTimer t, bool enabled) = 0;
    virtual void SetTimerInterval(WaitTimer t, uint32_t ms) = 0;
    virtual bool TimerEnabled(WaitTimer t) const = 0;
    // Handles pending window events; blocks until at least one has arrived.
    virtual void ProcessMessages() = 0;

    // Edit1's text (a file path) in UTF-8, for the export's header line.
    virtual std::string ChosenFileText() const = 0;

    // Set by the window's close request, never reset.
    virtual bool Closing() const = 0;

private:
    virtual std::string GetText(Control c) const = 0;
    virtual void PutText(Control c, std::string_view text) = 0;
};

// The wait every call site writes out after starting its timer.
inline void WaitUntilStopped(IUpdateForm& form, WaitTimer t) {
    while (form.TimerEnabled(t)) form.ProcessMessages();
}

}  // namespace loader
