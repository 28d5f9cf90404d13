#pragma once

// The one place where the wizard makes its image buttons (frame commands and the wireless page's copies).

class QPushButton;
class QWidget;

// A 47 x 64 pixel skinned button showing bitmap `bitmapId` with white drawn transparent; no caption.
QPushButton* CreateWizardButton(QWidget* parent, int bitmapId);
