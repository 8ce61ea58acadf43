// The window's controls as designed: identifier, kind, place and text. The
// window creates them from this table; the test driver finds them by their
// identifiers. No Windows headers here.
#pragma once

#include <array>
#include <cstdint>

namespace win32 {

// Window identifiers of the controls (GetDlgItem), in the order the controls
// are created, which is also their keyboard (tab) order.
enum class Control : int {
    GroupBox2 = 100,
    LabelVersion,
    Edit1,
    ButtonCPU1,
    CheckBox1,
    GroupBox3,
    Label6,
    EditIPaddr,
    Label7,
    EditPass,
    Button2,
    Operation,
    Label5,
    Label1,
    Label2,
    Label4,
    Label3,
    LabelRepeat,
    Button1,
    CheckBoxGenerate,
    Edit2,
    GroupBox1,
    BLVmain,
    Perc1,
    ProgressBar1,
    MemoIni,
};

enum class Kind : uint8_t { Group, Label, Edit, Button, Check, Progress, Memo };

// Who sees a control while the program runs.
enum class Shown : uint8_t {
    Always,
    Developer,  // only in a developer build (the image export's controls)
    Never,      // hidden in the design; kept for what it holds
};

struct ControlSpec {
    Control id;
    Kind kind;
    Control parent;           // a group box, or itself for a control of the window
    int x, y, width, height;  // design pixels, relative to the parent's top left
    const char* text;         // as designed
    bool bold;
    bool rightAligned;  // a label that grows to its left
    Shown shown;
};

inline constexpr int kClientWidth = 711;
inline constexpr int kClientHeight = 400;

using C = Control;
inline constexpr std::array<ControlSpec, 26> kControls{{
    {C::GroupBox2, Kind::Group, C::GroupBox2, 16, 16, 681, 81, "Modbus TCP/IP, BACnet IP - Firmware", true, false,
     Shown::Always},
    {C::LabelVersion, Kind::Label, C::GroupBox2, 16, 32, 52, 28, "text", true, false, Shown::Always},
    {C::Edit1, Kind::Edit, C::GroupBox2, 16, 16, 569, 21, "", true, false, Shown::Developer},
    {C::ButtonCPU1, Kind::Button, C::GroupBox2, 600, 14, 65, 25, "select file", false, false, Shown::Developer},
    {C::CheckBox1, Kind::Check, C::GroupBox2, 24, 58, 89, 17, "Main MCU:", false, false, Shown::Developer},
    {C::GroupBox3, Kind::Group, C::GroupBox3, 16, 112, 321, 81, "Energy Meter", true, false, Shown::Always},
    {C::Label6, Kind::Label, C::GroupBox3, 99, 27, 65, 13, "IP address:", false, true, Shown::Always},
    {C::EditIPaddr, Kind::Edit, C::GroupBox3, 176, 24, 121, 21, "", false, false, Shown::Always},
    {C::Label7, Kind::Label, C::GroupBox3, 69, 51, 95, 13, "admin password:", false, true, Shown::Always},
    {C::EditPass, Kind::Edit, C::GroupBox3, 176, 48, 121, 21, "", false, false, Shown::Always},
    {C::Button2, Kind::Button, C::Button2, 360, 120, 337, 73, "FIRMWARE UPDATE", true, false, Shown::Always},
    {C::Operation, Kind::Group, C::Operation, 16, 208, 321, 81, "Operation", true, false, Shown::Always},
    {C::Label5, Kind::Label, C::Operation, 16, 28, 45, 13, "Action: ", false, false, Shown::Always},
    {C::Label1, Kind::Label, C::Operation, 72, 28, 13, 13, "...", true, false, Shown::Always},
    {C::Label2, Kind::Label, C::Operation, 16, 52, 27, 13, "IDN:", false, false, Shown::Always},
    {C::Label4, Kind::Label, C::Operation, 72, 52, 13, 13, "...", true, false, Shown::Always},
    {C::Label3, Kind::Label, C::Operation, 16, 68, 50, 13, "Repeat: ", false, false, Shown::Never},
    {C::LabelRepeat, Kind::Label, C::Operation, 72, 68, 8, 13, "0", true, false, Shown::Never},
    {C::Button1, Kind::Button, C::Button1, 360, 240, 337, 25, "2. Update Firmware", true, false, Shown::Never},
    {C::CheckBoxGenerate, Kind::Check, C::CheckBoxGenerate, 352, 272, 185, 17, "Generate image file", false, false,
     Shown::Developer},
    {C::Edit2, Kind::Edit, C::Edit2, 352, 288, 345, 21, "Edit2", false, false, Shown::Never},
    {C::GroupBox1, Kind::Group, C::GroupBox1, 16, 304, 681, 81, "Update Process", true, false, Shown::Always},
    {C::BLVmain, Kind::Label, C::GroupBox1, 464, 15, 42, 13, "BLVmain", false, false, Shown::Always},
    {C::Perc1, Kind::Label, C::GroupBox1, 649, 15, 17, 13, "0%", true, true, Shown::Always},
    {C::ProgressBar1, Kind::Progress, C::GroupBox1, 16, 40, 649, 17, "", false, false, Shown::Always},
    {C::MemoIni, Kind::Memo, C::MemoIni, 16, 232, 1009, 33, "MemoIni", false, false, Shown::Never},
}};

constexpr const ControlSpec& Spec(Control id) {
    for (const ControlSpec& s : kControls)
        if (s.id == id) return s;
    return kControls[0];  // unreachable for a declared control
}

struct DesignRect {
    int x, y, width, height;
};

// Where a control lies in the window's client area, in design pixels: every
// control is a child of the window itself, placed by its group box.
constexpr DesignRect InWindow(Control id) {
    const ControlSpec& s = Spec(id);
    if (s.parent == s.id) return {s.x, s.y, s.width, s.height};
    const ControlSpec& p = Spec(s.parent);
    return {p.x + s.x, p.y + s.y, s.width, s.height};
}

// The right edge of the group box a control lies in (or of the client area):
// a left-aligned label may grow up to there.
constexpr int RoomRight(Control id) {
    const ControlSpec& s = Spec(id);
    if (s.parent == s.id) return kClientWidth;
    const ControlSpec& p = Spec(s.parent);
    return p.x + p.width - 2;
}

}  // namespace win32
