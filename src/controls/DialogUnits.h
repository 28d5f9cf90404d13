#pragma once

// Dialog layouts are given in dialog units of the dialog font "MS Shell Dlg" 8 pt at 96 dpi, whose base units
// are 6 x 13 pixels: one horizontal unit is a quarter of the average character width, one vertical unit an
// eighth of the character height. Results truncate towards zero, as the dialog manager does.

#include <QRect>

namespace DialogUnits {

constexpr int kBaseX = 6;
constexpr int kBaseY = 13;

constexpr int ToPixelsX(int dlu) {
    return dlu * kBaseX / 4;
}
constexpr int ToPixelsY(int dlu) {
    return dlu * kBaseY / 8;
}

// A template rectangle (x, y, width, height in dialog units) in pixels; the corners are converted, so adjacent
// controls stay adjacent after rounding.
inline QRect ToPixels(int x, int y, int width, int height) {
    const int left = ToPixelsX(x);
    const int top = ToPixelsY(y);
    return QRect(left, top, ToPixelsX(x + width) - left, ToPixelsY(y + height) - top);
}

}  // namespace DialogUnits
