// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The about box: the icon, the name and version, a notice and an OK button.

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
