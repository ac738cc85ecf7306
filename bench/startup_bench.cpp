// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: from process start to the main window shown (offscreen), and the peak memory of a
// whole update, for the window and for tavrel-flash.
#include "bench/BenchCommon.h"
#include "bench/WindowDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

constexpr int kStarts = 10;

// Child mode: show the window and say so on standard output, then leave.
int ShowWindowAndReport(int argc, char** argv) {
    QApplication app(argc, argv);
    CTavrel_V10Dlg dlg;
    dlg.show();
    QTimer::singleShot(0, [&] {
        std::printf("shown\n");
        std::fflush(stdout);
        dlg.reject();
    });
    dlg.exec();
    return 0;
}

// Child mode: one whole 236-block update in the window; prints the peak resident set in KiB.
int UpdateAndReportMemory(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString image =
        bench::WriteTempFile(QStringLiteral("mem.bin"), bench::RandomBytes(241663));
    bench::Sim sim({});
    bench::WindowDriver window;
    const bool ok = window.Open(sim.port) && window.Update(image, 120000);
    QFile::remove(image);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld\n", ok ? usage.ru_maxrss : -1L);
    return 0;
}

long FlashPeakKiB() {
    const QString image =
        bench::WriteTempFile(QStringLiteral("mem.bin"), bench::RandomBytes(241663));
    bench::Sim sim({});
    const QByteArray program = bench::BinaryPath("tavrel-flash").toLocal8Bit();
    const QByteArray port = sim.port.toLocal8Bit();
    const QByteArray file = image.toLocal8Bit();
    const pid_t child = fork();
    if (child == 0) {
        execl(program.constData(), program.constData(), "-q", "-p", port.constData(),
              file.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    QFile::remove(image);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && QByteArray(argv[1]) == "--child-show") {
        return ShowWindowAndReport(argc, argv);
    }
    if (argc > 1 && QByteArray(argv[1]) == "--child-update") {
        return UpdateAndReportMemory(argc, argv);
    }
    QCoreApplication app(argc, argv);
    std::vector<double> startsMs;
    for (int i = 0; i < kStarts; ++i) {
        QProcess child;
        QElapsedTimer timer;
        timer.start();
        child.start(QCoreApplication::applicationFilePath(), {"--child-show"});
        if (child.waitForReadyRead(20000)) {
            startsMs.push_back(timer.nsecsElapsed() / 1e6);
        }
        child.waitForFinished(20000);
    }
    QProcess update;
    update.start(QCoreApplication::applicationFilePath(), {"--child-update"});
    update.waitForFinished(120000);
    const long windowKiB = update.readAllStandardOutput().trimmed().toLong();
    const long flashKiB = FlashPeakKiB();

    std::vector<double> startsUs;
    for (double ms : startsMs) {
        startsUs.push_back(ms * 1000);
    }
    const bench::Stats starts = bench::Summarise(startsUs);
    std::printf("Start-up, process start to window shown (offscreen, %d starts): median %.1f ms, "
                "worst %.1f ms\n",
                starts.count, starts.medianUs / 1000, starts.p99Us / 1000);
    std::printf("Peak memory of a whole 236-block update: window %.1f MiB, tavrel-flash %.1f MiB\n",
                windowKiB / 1024.0, flashKiB / 1024.0);
    bench::WriteResult(QStringLiteral("startup"), {{"startup_median_ms", starts.medianUs / 1000},
                                                   {"startup_worst_ms", starts.p99Us / 1000},
                                                   {"window_peak_kib", double(windowKiB)},
                                                   {"flash_peak_kib", double(flashKiB)}});
    return 0;
}
