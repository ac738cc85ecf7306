// SPDX-License-Identifier: GPL-3.0-or-later
// The station window on a line of 32 boards: 32 simulated boot loaders at 921600 baud flashed
// under Auto, wall time against the same 32 through one tavrel-flash; then the window's own CPU
// while it waits with 32 tiles on show.
#include "bench/BenchCommon.h"
#include "ui/station/StationWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kBoards = 32;
constexpr long kBaud = 921600;

QStringList StartSims(QProcess& sims) {
    sims.start(bench::BinaryPath("tavrel-devsim"),
               {"--count", QString::number(kBoards), "--baud", QString::number(kBaud)});
    QStringList ports;
    while (ports.size() < kBoards && sims.waitForReadyRead(10000)) {
        while (sims.canReadLine() && ports.size() < kBoards) {
            ports << QString::fromLocal8Bit(sims.readLine()).trimmed();
        }
    }
    return ports;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double FlashThroughTheCommandLine(const QString& image) {
    QProcess sims;
    const QStringList ports = StartSims(sims);
    QStringList arguments{"-q", "-b", QString::number(kBaud)};
    for (const QString& port : ports) {
        arguments << "-p" << port;
    }
    QElapsedTimer clock;
    clock.start();
    QProcess flash;
    flash.start(bench::BinaryPath("tavrel-flash"), arguments << image);
    const bool ok = flash.waitForFinished(600000) && flash.exitCode() == 0;
    const double seconds = clock.nsecsElapsed() / 1e9;
    sims.terminate();
    sims.waitForFinished();
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QString image =
        bench::WriteTempFile(QStringLiteral("station-window.bin"), bench::RandomBytes(241663));
    QTemporaryDir folder;
    QProcess sims;
    const QStringList ports = StartSims(sims);
    for (int n = 0; n < ports.size(); ++n) {
        QFile::link(ports[n],
                    folder.filePath(QStringLiteral("board-%1").arg(n, 2, 10, QChar('0'))));
    }
    StationWindow::Options options;
    options.baud = kBaud;
    options.watchPattern = QFile::encodeName(folder.filePath(QStringLiteral("board-*")));
    options.logFile = QFile::encodeName(folder.filePath(QStringLiteral("log.jsonl")));
    options.imagePath = QFile::encodeName(image);
    options.autoMode = true;
    QElapsedTimer clock;
    clock.start();
    StationWindow window(options);
    window.show();
    {
        QEventLoop wait;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (window.Passed() + window.Failed() >= kBoards || clock.elapsed() > 600000) {
                wait.quit();
            }
        });
        check.start(20);
        wait.exec();
    }
    const double windowSeconds = clock.nsecsElapsed() / 1e9;
    const bool allPassed = window.Passed() == kBoards;
    // Idle with 32 tiles: the looks at the ports, ten a second, and nothing else.
    const double cpuBefore = CpuSeconds();
    QElapsedTimer idle;
    idle.start();
    {
        QEventLoop wait;
        QTimer::singleShot(5000, &wait, &QEventLoop::quit);
        wait.exec();
    }
    const double idlePercent = (CpuSeconds() - cpuBefore) / (idle.nsecsElapsed() / 1e9) * 100;
    sims.terminate();
    sims.waitForFinished();
    const double cliSeconds = FlashThroughTheCommandLine(image);
    QFile::remove(image);
    const double slower = cliSeconds > 0 ? (windowSeconds / cliSeconds - 1) * 100 : 0;
    std::printf("Station window: %d boards at %ld baud under Auto\n", kBoards, kBaud);
    std::printf("%-30s %10s\n", "", "seconds");
    std::printf("%-30s %10.2f%s\n", "station window", windowSeconds,
                allPassed ? "" : "  (a board failed)");
    std::printf("%-30s %10.2f\n", "tavrel-flash, 32 x -p", cliSeconds);
    std::printf("window against tavrel-flash: %+.1f %%\n", slower);
    std::printf("window idle with 32 tiles: %.2f %% of a core\n", idlePercent);
    bench::WriteResult(QStringLiteral("station_window"), {{"boards", kBoards},
                                                          {"baud", static_cast<qint64>(kBaud)},
                                                          {"window_seconds", windowSeconds},
                                                          {"flash_seconds", cliSeconds},
                                                          {"window_slower_percent", slower},
                                                          {"idle_cpu_percent", idlePercent},
                                                          {"all_passed", allPassed}});
    return allPassed && cliSeconds > 0 ? 0 : 1;
}
