// SPDX-License-Identifier: GPL-3.0-or-later
// Tavrel_V1.0: the firmware updater's window. Command-line arguments are ignored.
#include "app/CTavrel_V10App.h"
#include "serial/NetworkLibrary.h"

#include <QApplication>

int main(int, char** argv) {
    // Not even Qt's own options (-platform, -reverse, -qwindowtitle, ...) are taken.
    int ownArgc = 1;
    char* ownArgv[] = {argv[0], nullptr};
    QApplication app(ownArgc, ownArgv);
    NetworkLibrary network;
    QCoreApplication::setApplicationName(
        CTavrel_V10App::NameFromExecutable(QCoreApplication::applicationFilePath()));
    CTavrel_V10App theApp;
    theApp.InitInstance();
    return 0;
}
