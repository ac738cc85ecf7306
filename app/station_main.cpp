// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-station: the station window. tavrel-station [--baud N] [--watch GLOB] [--auto]
// [--log FILE] [IMAGE], so that a production line can start preloaded, in auto mode.
#include "app/Resources.h"
#include "ui/station/StationWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// A signal only writes its number into this pipe; the event loop reads it and ends the program
// the orderly way: every update stopped and recorded before the window goes.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &number, 1);
}

} // namespace

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
    // An empty name (a script's unset variable) is no name: refused, nothing opened.
    for (const QCommandLineOption* option : {&watch, &log}) {
        if (parser.isSet(*option) && parser.value(*option).isEmpty()) {
            std::fprintf(stderr, "tavrel-station: --%s needs a value, and an empty one is none\n",
                         qPrintable(option->names().constFirst()));
            return 1;
        }
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
    int stoppedBy = 0;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(signal, &action, nullptr);
        }
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            char number = 0;
            if (::read(g_signalPipe[0], &number, 1) == 1 && stoppedBy == 0) {
                stoppedBy = number;
                window.StopForSignal(stoppedBy);
                QApplication::quit();
            }
        });
    }
    window.show();
    const int status = app.exec();
    return stoppedBy != 0 ? 128 + stoppedBy : status; // as a shell reports a signal
}
