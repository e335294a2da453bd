// Dialog units to pixels, computed from the dialog font the way the Windows
// dialog manager does it: a horizontal unit is a quarter of the average
// letter width, a vertical unit an eighth of the font height.
#pragma once

#include <QRect>

class QFont;

struct DialogBaseUnits {
    int x = 0; // average width of the 52 letters, rounded
    int y = 0; // font height
};

DialogBaseUnits dialogBaseUnits(const QFont& font);

// number * numerator / denominator, rounded half away from zero.
int mulDiv(int number, int numerator, int denominator);

int dialogXToPixels(const DialogBaseUnits& units, int x);
int dialogYToPixels(const DialogBaseUnits& units, int y);

// Each of x, y, width and height is mapped on its own.
QRect dialogRectToPixels(const DialogBaseUnits& units, int x, int y, int cx, int cy);
