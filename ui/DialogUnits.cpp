// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DialogUnits.h"

#include <QFontMetrics>

namespace {
int MulDiv(int value, int numerator, int denominator) {
    return static_cast<int>((static_cast<long long>(value) * numerator + denominator / 2) /
                            denominator);
}
} // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width over the 52 letters, as the classic dialog manager measures it.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseWidth = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    m_baseHeight = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(MulDiv(x, m_baseWidth, 4), MulDiv(y, m_baseHeight, 8),
                 MulDiv(width, m_baseWidth, 4), MulDiv(height, m_baseHeight, 8));
}

QFont DialogFont() {
    QFont font(QStringLiteral("MS Shell Dlg"));
    font.setPointSize(9);
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}
