// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Dialog templates measure in dialog units: a horizontal unit is a quarter of the dialog
// font's average character width, a vertical unit an eighth of its height.

#include <QFont>
#include <QRect>

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;

  private:
    int m_baseWidth;
    int m_baseHeight;
};

// "MS Shell Dlg", 9 pt, with a sans-serif hint so that the system substitutes a near font.
QFont DialogFont();
