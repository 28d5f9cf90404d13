#pragma once

// Every command button of the app's dialogs is made here, so the button class is chosen in one place.
// Faces are the 107 x 48 or 45 x 62 bitmaps whose pure white is transparent.

#include <QPushButton>
#include <QRect>

using CommandButton = QPushButton;

// `in` is shown under the mouse, `out` otherwise, `disabled` when the button is disabled; an id of 0 falls back
// to `in`. The button is placed at `geometry` (pixels of the parent's client area).
CommandButton* CreateCommandButton(QWidget* parent, int id, int in, int out, int disabled, const QRect& geometry);
