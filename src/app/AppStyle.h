#pragma once

// Look shared by the app's dialogs.

#include <QMessageBox>

#include "DialogColours.h"

class QWidget;

// The dialog font's height: 8 pt at 96 dpi, the size the pixel layouts were made for.
constexpr int kDialogFontPixels = 11;

// Gives the widget (and its children) the dialog font size.
void ApplyDialogFont(QWidget& widget);
// Fills the widget with the dialog background colour (child labels draw on it transparently) and gives it the
// dialog font size.
void ApplyDialogLook(QWidget& widget);

// The icon of a message box with this caption: "Error" critical, "Warning" a warning, any other information.
QMessageBox::Icon MessageBoxIcon(const QString& caption);

// Moves a top-level widget of fixed size to the centre of the screen it is on (or the primary screen).
void CentreOnScreen(QWidget& widget);
