#pragma once

// Every command button of the app's dialogs is made here, so the button class is chosen in one place.
// Faces are the 107 x 48 bitmaps whose pure white is transparent.

#include <QRect>

#include "CSkinButton.h"

using CommandButton = CSkinButton;

// `in` is shown under the mouse and while pressed, `out` otherwise, `disabled` when the button is disabled;
// 0 means none (the button then shows `in`). The button is placed at `geometry` (pixels of the parent's client
// area) and draws over its parent.
CommandButton* CreateCommandButton(QWidget* parent, int id, int in, int out, int disabled, const QRect& geometry);
