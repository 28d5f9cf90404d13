#pragma once

#include <QColor>

// The grey behind every dialog of the program: the main window, message boxes and the wizard's frame and pages.
inline const QColor kDialogBackground(196, 203, 209);
