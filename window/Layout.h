// The window's design layout: client size, control places (left, top,
// width, height, relative to their parent), fonts and the fixed captions.
// Every front end places and labels its controls from here.
#pragma once

#include "protocol/Constants.h"

namespace window::layout {

struct Rect {
    int left, top, width, height;
};

inline constexpr int kClientWidth = 711;
inline constexpr int kClientHeight = 400;

// The window font, and the version's.
inline constexpr char kFontFace[] = "MS Sans Serif";
inline constexpr int kFontPixels = 11;
inline constexpr char kVersionFontFace[] = "Consolas";  // bold
inline constexpr int kVersionFontPixels = 24;

// Group boxes (bold captions), children of the window.
inline constexpr Rect kFirmwareGroup{16, 16, 681, 81};
inline constexpr char kFirmwareGroupText[] = "Modbus TCP/IP, BACnet IP - Firmware";
inline constexpr Rect kMeterGroup{16, 112, 321, 81};
inline constexpr char kMeterGroupText[] = "Energy Meter";
inline constexpr Rect kOperationGroup{16, 208, 321, 81};
inline constexpr char kOperationGroupText[] = "Operation";
inline constexpr Rect kProcessGroup{16, 304, 681, 81};
inline constexpr char kProcessGroupText[] = "Update Process";

// In the firmware group.
inline constexpr Rect kVersionLabel{16, 32, 52, 28};      // grows to the right with its text
inline constexpr Rect kExportPathField{16, 16, 569, 21};  // read-only, bold, yellow
inline constexpr Rect kChooseFileButton{600, 14, 65, 25};
inline constexpr char kChooseFileText[] = "select file";
inline constexpr Rect kMainMcuCheck{24, 58, 89, 17};
inline constexpr char kMainMcuText[] = "Main MCU:";

// In the meter group.
inline constexpr Rect kAddressCaption{99, 27, 65, 13};  // right-aligned
inline constexpr char kAddressCaptionText[] = "IP address:";
inline constexpr Rect kAddressField{176, 24, 121, 21};
inline constexpr Rect kPasswordCaption{69, 51, 95, 13};  // right-aligned
inline constexpr char kPasswordCaptionText[] = "admin password:";
inline constexpr Rect kPasswordField{176, 48, 121, 21};  // echoes "*"
// The password field takes no more than the password rule allows.
inline constexpr int kPasswordMaxCharacters = static_cast<int>(protocol::kMaxPassword);

// In the window.
inline constexpr Rect kUpdateButton{360, 120, 337, 73};  // bold
inline constexpr Rect kExportCheck{352, 272, 185, 17};
inline constexpr char kExportCheckText[] = "Generate image file";

// In the operation group.
inline constexpr Rect kActionCaption{16, 28, 45, 13};
inline constexpr char kActionCaptionText[] = "Action: ";
inline constexpr Rect kActionLabel{72, 28, 13, 13};  // bold; grows to the group's edge
inline constexpr Rect kIdentityCaption{16, 52, 27, 13};
inline constexpr char kIdentityCaptionText[] = "IDN:";
inline constexpr Rect kIdentityLabel{72, 52, 13, 13};  // bold; grows to the group's edge
// The run's failed write attempts: hidden until a run programs.
inline constexpr Rect kRepeatCaption{16, 68, 50, 13};
inline constexpr char kRepeatCaptionText[] = "Repeat: ";
inline constexpr Rect kRepeatLabel{72, 68, 8, 13};  // bold; grows to the group's edge

// In the process group.
inline constexpr Rect kVerdictLabel{649, 15, 17, 13};  // bold, right-aligned: grows to the left
inline constexpr Rect kProgressBar{16, 40, 649, 17};   // smooth

// A label that grows with its text keeps this much room to its group's edge.
inline constexpr int kLabelMargin = 2;

// The design's version font is narrower than the faces that stand in for it
// elsewhere; the version must still be readable to its last digit. A front
// end makes the font smaller, down to kVersionFontMinPixels, until the text
// takes no more than kVersionRoom pixels (both scale with the display).
inline constexpr int kVersionFontMinPixels = kVersionFontPixels / 2;
inline constexpr int kVersionRoom = kFirmwareGroup.width - kVersionLabel.left - 8;

}  // namespace window::layout
