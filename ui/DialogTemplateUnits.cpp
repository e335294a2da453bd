#include "ui/DialogTemplateUnits.h"

#include <QFont>
#include <QFontMetrics>

#include <cstdint>

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(width + 26) / 52, metrics.height()};
}

int mulDiv(int number, int numerator, int denominator) {
    if (denominator == 0)
        return -1; // what the platform answers
    const std::int64_t product = std::int64_t{number} * numerator;
    const std::int64_t half = (denominator < 0 ? -denominator : denominator) / 2;
    const bool negative = (product < 0) != (denominator < 0);
    const std::int64_t magnitude = (product < 0 ? -product : product) + half;
    const std::int64_t quotient = magnitude / (denominator < 0 ? -denominator : denominator);
    return static_cast<int>(negative ? -quotient : quotient);
}

int dialogXToPixels(const DialogBaseUnits& units, int x) {
    return mulDiv(x, units.x, 4);
}

int dialogYToPixels(const DialogBaseUnits& units, int y) {
    return mulDiv(y, units.y, 8);
}

QRect dialogRectToPixels(const DialogBaseUnits& units, int x, int y, int cx, int cy) {
    return QRect(dialogXToPixels(units, x), dialogYToPixels(units, y), dialogXToPixels(units, cx),
                 dialogYToPixels(units, cy));
}
