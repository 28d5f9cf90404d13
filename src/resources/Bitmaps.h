#pragma once

// Ids of the bitmaps held in the resource file; each is reachable as ":/bitmaps/<id>.png".
// Command-button faces use pure white as their key colour.

#include <string>

namespace Bitmaps {

constexpr int kBanner = 130;       // 567 x 107, main window and About box
constexpr int kVerticalBar = 135;  // 6 x 420
constexpr int kWizard = 138;       // 107 x 48 faces from here to kSearchDisabled
constexpr int kLink = 139;
constexpr int kExit = 140;
constexpr int kAbout = 141;
constexpr int kWizardBanner = 142;  // 517 x 80
constexpr int kWizardDisabled = 143;
constexpr int kLinkDisabled = 144;
constexpr int kBack = 145;  // 45 x 62 wizard faces from here to kWizardExit
constexpr int kNext = 146;
constexpr int kNextDisabled = 147;
constexpr int kCancel = 148;
constexpr int kRestart = 149;
constexpr int kWizardExit = 150;
constexpr int kOk = 151;
constexpr int kSearch = 160;
constexpr int kSearchDisabled = 161;
constexpr int kPicture162 = 162;      // 66 x 50
constexpr int kPicture163 = 163;      // 80 x 61
constexpr int kPicture164 = 164;      // 39 x 44
constexpr int kPicture165 = 165;      // 44 x 41
constexpr int kPicture166 = 166;      // 48 x 48
constexpr int kSidePicture = 167;     // 153 x 55
constexpr int kPicture168 = 168;      // 153 x 55
constexpr int kNetworkPicture = 169;  // 355 x 98
constexpr int kImport = 170;          // 107 x 48 batch dialog faces from here to kClose
constexpr int kImportDisabled = 171;
constexpr int kStart = 172;
constexpr int kStartDisabled = 173;
constexpr int kStop = 174;
constexpr int kStopDisabled = 175;
constexpr int kExport = 176;
constexpr int kExportDisabled = 177;
constexpr int kClose = 178;

// The window icon, resource 128 (64 x 64 with transparency).
constexpr const char* kIconPath = ":/icons/128.png";

inline std::string Path(int id) {
    return ":/bitmaps/" + std::to_string(id) + ".png";
}

}  // namespace Bitmaps
