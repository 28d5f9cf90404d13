#pragma once

// Control, dialog and result ids of the Setup Wizard, and the sizes its dialogs share.

namespace WizardIds {

// Dialogs.
constexpr int kWelcomePage = 152;
constexpr int kNetworkPage = 154;
constexpr int kFinishPage = 155;
constexpr int kWirelessPage = 160;

// Frame controls; Back, Next, Restart and Exit are also the commands and the run's results.
constexpr int kBack = 12323;
constexpr int kNext = 12324;
constexpr int kFinish = 12325;  // "Restart"
constexpr int kCancel = 2;      // "Exit": cancels the wizard
constexpr int kPageCancel = 1040;
constexpr int kBanner = 1016;
constexpr int kPageArea = 1013;

// The frame's command buttons: 47 x 64 pixels on one row.
constexpr int kButtonY = 435;
constexpr int kButtonWidth = 47;
constexpr int kButtonHeight = 64;
// The frame's client area grows by this many pixels below its template size, and the page area with it.
constexpr int kFrameGrowth = 135;

}  // namespace WizardIds
