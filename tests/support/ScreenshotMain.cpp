// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-screenshot IMAGE OUT.png SECONDS: shows the window, opens com 1, selects IMAGE, presses
// Write and, SECONDS later, saves a picture of the window as the screen shows it. For
// scripts/screenshot under a virtual display.
#include "app/Resources.h"
#include "ui/CTavrel_V10Dlg.h"
#include "ui/SortedComboBox.h"

#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    if (argc != 4) {
        std::fprintf(stderr, "usage: tavrel-screenshot IMAGE OUT.png SECONDS\n");
        return 64;
    }
    const QString image = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    const int delayMs = static_cast<int>(QString::fromLocal8Bit(argv[3]).toDouble() * 1000);
    SetApplicationIdentity(TavrelIdentity()); // the window's icon, as the application gives it
    CTavrel_V10Dlg dlg;
    int status = 1;
    QTimer::singleShot(500, &dlg, [&] {
        qobject_cast<QPushButton*>(dlg.GetDlgItem(IDC_OPEN_PORT))->click();
        // The path goes to the store as the file dialog would hand it over.
        const LoadResult loaded = dlg.m_store.LoadImageFile(image);
        if (!loaded.ok) {
            std::fprintf(stderr, "%s\n", qPrintable(loaded.message));
        }
        QTimer::singleShot(delayMs, &dlg, [&] {
            const QRect frame = dlg.frameGeometry();
            const QPixmap shot =
                dlg.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
            status = shot.save(out) ? 0 : 1;
            dlg.reject();
        });
        qobject_cast<QPushButton*>(dlg.GetDlgItem(IDC_WRITE))->click();
    });
    dlg.exec();
    return status;
}
