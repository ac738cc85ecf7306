// Tavrel_V1.0: the firmware updater's window. Command-line arguments are ignored.
#include "app/CTavrel_V10App.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(
        CTavrel_V10App::NameFromExecutable(QCoreApplication::applicationFilePath()));
    CTavrel_V10App theApp;
    theApp.InitInstance();
    return 0;
}
