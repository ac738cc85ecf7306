// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-station: the station window. tavrel-station [--baud N] [--watch GLOB] [--auto]
// [--log FILE] [IMAGE], so that a production line can start preloaded, in auto mode.
#include "app/Resources.h"
#include "ui/station/StationWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    QApplication::setWindowIcon(StationIcon());

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Flashes one firmware image into many devices at once: a tile per serial "
                       "port, green or red for every board, and a JSON line per attempt in the "
                       "results log."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption baud({QStringLiteral("b"), QStringLiteral("baud")},
                                  QStringLiteral("The baud rate (default 115200)."),
                                  QStringLiteral("N"), QStringLiteral("115200"));
    const QCommandLineOption watch(
        QStringLiteral("watch"),
        QStringLiteral("Show the ports whose paths match GLOB (for example "
                       "'/dev/serial/by-id/*') instead of the system's USB serial ports."),
        QStringLiteral("GLOB"));
    const QCommandLineOption autoMode(QStringLiteral("auto"),
                                      QStringLiteral("Start in Auto: flash each device as soon "
                                                     "as it appears."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append the results to FILE (default: "
                                                "results.jsonl in the user's data folder)."),
                                 QStringLiteral("FILE"));
    parser.addOptions({baud, watch, autoMode, log});
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("The firmware image to load at start."));
    parser.process(app);

    bool ok = false;
    StationWindow::Options options;
    options.baud = parser.value(baud).toInt(&ok);
    if (!ok || options.baud < 1) {
        std::fprintf(stderr, "tavrel-station: --baud needs a whole number from 1 up\n");
        return 1;
    }
    options.watchPattern = parser.value(watch);
    options.autoMode = parser.isSet(autoMode);
    options.logFile = parser.value(log);
    if (parser.positionalArguments().size() > 1) {
        std::fprintf(stderr, "tavrel-station: give one IMAGE\n");
        return 1;
    }
    options.image = parser.positionalArguments().value(0);
    StationWindow window(options);
    window.show();
    return app.exec();
}
