// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application: prepares the toolkit, runs the main window modally and ends when it closes.

#include <QString>

class CTavrel_V10App {
  public:
    // The application's name: the executable's file name without its extension. It is the
    // caption of every message box that has none of its own.
    static QString NameFromExecutable(const QString& executablePath);

    // Runs the program; returns false, as there is no message loop after the window.
    bool InitInstance();

    static inline const QString kRegistryKey = QStringLiteral("应用程序向导生成的本地应用程序");
};
