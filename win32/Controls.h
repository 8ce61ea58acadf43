// The window's controls: identifier, kind, place (from the design layout) and
// the texts that never change. The window creates them from this table; the
// test driver finds them by their identifiers. No Windows headers here.
#pragma once

#include <array>
#include <cstdint>

#include "window/Layout.h"

namespace win32 {

// The window's class, by which the test driver finds it.
inline constexpr wchar_t kWindowClass[] = L"EthernetLoaderWindow";

// Window identifiers of the controls (GetDlgItem), in the order the controls
// are created, which is also their keyboard (tab) order.
enum class ControlId : int {
    FirmwareGroup = 100,
    VersionLabel,
    ExportPathField,
    ChooseFileButton,
    MainMcuCheck,
    MeterGroup,
    AddressCaption,
    AddressField,
    PasswordCaption,
    PasswordField,
    UpdateButton,
    OperationGroup,
    ActionCaption,
    ActionLabel,
    IdentityCaption,
    IdentityLabel,
    RepeatCaption,
    RepeatLabel,
    ExportCheck,
    ProcessGroup,
    VerdictLabel,
    ProgressBar,
};

enum class Kind : uint8_t { Group, Label, Edit, Button, Check, Progress };

enum class Font : uint8_t { Normal, Bold, Version };

struct ControlSpec {
    ControlId id;
    Kind kind;
    ControlId parent;  // a group box, or itself for a control of the window
    window::layout::Rect place;
    const char* text;  // as created; the window model sets the rest
    Font font;
    bool rightAligned;  // a label that grows to its left
};

namespace design {
using namespace window::layout;
using C = ControlId;
inline constexpr std::array<ControlSpec, 22> kControls{{
    {C::FirmwareGroup, Kind::Group, C::FirmwareGroup, kFirmwareGroup, kFirmwareGroupText, Font::Bold, false},
    {C::VersionLabel, Kind::Label, C::FirmwareGroup, kVersionLabel, "", Font::Version, false},
    {C::ExportPathField, Kind::Edit, C::FirmwareGroup, kExportPathField, "", Font::Bold, false},
    {C::ChooseFileButton, Kind::Button, C::FirmwareGroup, kChooseFileButton, kChooseFileText, Font::Normal, false},
    {C::MainMcuCheck, Kind::Check, C::FirmwareGroup, kMainMcuCheck, kMainMcuText, Font::Normal, false},
    {C::MeterGroup, Kind::Group, C::MeterGroup, kMeterGroup, kMeterGroupText, Font::Bold, false},
    {C::AddressCaption, Kind::Label, C::MeterGroup, kAddressCaption, kAddressCaptionText, Font::Normal, true},
    {C::AddressField, Kind::Edit, C::MeterGroup, kAddressField, "", Font::Normal, false},
    {C::PasswordCaption, Kind::Label, C::MeterGroup, kPasswordCaption, kPasswordCaptionText, Font::Normal, true},
    {C::PasswordField, Kind::Edit, C::MeterGroup, kPasswordField, "", Font::Normal, false},
    {C::UpdateButton, Kind::Button, C::UpdateButton, kUpdateButton, "", Font::Bold, false},
    {C::OperationGroup, Kind::Group, C::OperationGroup, kOperationGroup, kOperationGroupText, Font::Bold, false},
    {C::ActionCaption, Kind::Label, C::OperationGroup, kActionCaption, kActionCaptionText, Font::Normal, false},
    {C::ActionLabel, Kind::Label, C::OperationGroup, kActionLabel, "", Font::Bold, false},
    {C::IdentityCaption, Kind::Label, C::OperationGroup, kIdentityCaption, kIdentityCaptionText, Font::Normal, false},
    {C::IdentityLabel, Kind::Label, C::OperationGroup, kIdentityLabel, "", Font::Bold, false},
    {C::RepeatCaption, Kind::Label, C::OperationGroup, kRepeatCaption, kRepeatCaptionText, Font::Normal, false},
    {C::RepeatLabel, Kind::Label, C::OperationGroup, kRepeatLabel, "", Font::Bold, false},
    {C::ExportCheck, Kind::Check, C::ExportCheck, kExportCheck, kExportCheckText, Font::Normal, false},
    {C::ProcessGroup, Kind::Group, C::ProcessGroup, kProcessGroup, kProcessGroupText, Font::Bold, false},
    {C::VerdictLabel, Kind::Label, C::ProcessGroup, kVerdictLabel, "", Font::Bold, true},
    {C::ProgressBar, Kind::Progress, C::ProcessGroup, kProgressBar, "", Font::Normal, false},
}};
}  // namespace design
using design::kControls;

constexpr const ControlSpec& Spec(ControlId id) {
    for (const ControlSpec& s : kControls)
        if (s.id == id) return s;
    return kControls[0];  // unreachable for a declared control
}

constexpr bool IsControl(int id) {
    for (const ControlSpec& s : kControls)
        if (static_cast<int>(s.id) == id) return true;
    return false;
}

// Where a control lies in the window's client area, in design pixels: every
// control is a child of the window itself, placed by its group box.
constexpr window::layout::Rect InWindow(ControlId id) {
    const ControlSpec& s = Spec(id);
    if (s.parent == s.id) return s.place;
    const window::layout::Rect p = Spec(s.parent).place;
    return {p.left + s.place.left, p.top + s.place.top, s.place.width, s.place.height};
}

// The right edge of the group box a control lies in (or of the client area):
// a left-aligned label may grow up to there.
constexpr int RoomRight(ControlId id) {
    const ControlSpec& s = Spec(id);
    if (s.parent == s.id) return window::layout::kClientWidth;
    const window::layout::Rect p = Spec(s.parent).place;
    return p.left + p.width - window::layout::kLabelMargin;
}

}  // namespace win32
