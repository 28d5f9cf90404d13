#pragma once

// Look shared by the app's dialogs.

#include <QColor>

class QWidget;

inline const QColor kDialogBackground(196, 203, 209);
// The dialog font's height: 8 pt at 96 dpi, the size the pixel layouts were made for.
constexpr int kDialogFontPixels = 11;

// Gives the widget (and its children) the dialog font size.
void ApplyDialogFont(QWidget& widget);
// Fills the widget with the dialog background colour (child labels draw on it transparently) and gives it the
// dialog font size.
void ApplyDialogLook(QWidget& widget);

// Moves a top-level widget of fixed size to the centre of the screen it is on (or the primary screen).
void CentreOnScreen(QWidget& widget);
