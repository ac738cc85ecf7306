// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-station-screenshot IMAGE DIR OUT.png SECONDS LATE: shows the station window watching
// DIR/*, loads IMAGE, presses Start, links DIR/LATE's device in after Start (so that it waits)
// and, SECONDS later, saves a picture of the window as the screen shows it. For
// scripts/screenshot under a virtual display.
#include "app/Resources.h"
#include "ui/station/StationWindow.h"

#include <QApplication>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-station"));
    if (argc != 7) {
        std::fprintf(stderr, "usage: tavrel-station-screenshot IMAGE DIR OUT.png SECONDS LATE "
                             "LATE-DEVICE\n");
        return 64;
    }
    const QString dir = QString::fromLocal8Bit(argv[2]);
    StationWindow::Options options;
    options.imagePath = argv[1];
    options.watchPattern = QFile::encodeName(dir + QStringLiteral("/*"));
    options.logFile = QFile::encodeName(dir + QStringLiteral("-log.jsonl"));
    options.timeoutSeconds = 3;
    StationWindow window(options);
    window.setWindowIcon(StationIcon());
    window.show(); // at the size it opens at on the screen it has
    const QString out = QString::fromLocal8Bit(argv[3]);
    const int delayMs = static_cast<int>(QString::fromLocal8Bit(argv[4]).toDouble() * 1000);
    const QString late = dir + QLatin1Char('/') + QString::fromLocal8Bit(argv[5]);
    const QString lateDevice = QString::fromLocal8Bit(argv[6]);
    int status = 1;
    QTimer::singleShot(800, &window, [&] {
        window.PollPorts();
        window.OnStart();
        QTimer::singleShot(500, &window, [&] {
            QFile::link(lateDevice, late); // plugged after Start: it waits for the next one
            window.PollPorts();
        });
        QTimer::singleShot(delayMs, &window, [&] {
            const QRect frame = window.frameGeometry();
            const QPixmap shot =
                window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
            status = shot.save(out) ? 0 : 1;
            app.quit();
        });
    });
    app.exec();
    return status;
}
