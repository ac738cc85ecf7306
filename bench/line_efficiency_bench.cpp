// SPDX-License-Identifier: GPL-3.0-or-later
// Line efficiency: a full 236-block image through tavrel-flash and through the window into a
// simulator paced like a real line. Ideal: 236 packets of 1034 bytes at 10 bits a byte, plus the
// 1.5 s of fixed waits around the switch packet; efficiency = ideal / measured.
#include "bench/BenchCommon.h"
#include "bench/WindowDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <cstdio>

namespace {
constexpr qint64 kImageBytes = 241663;
constexpr int kBlocks = 236;

double FlashSeconds(const QString& image, int baud) {
    bench::Sim sim({"--baud", QString::number(baud)});
    QElapsedTimer timer;
    QProcess flash;
    timer.start();
    flash.start(bench::BinaryPath("tavrel-flash"),
                {"-q", "-b", QString::number(baud), "-p", sim.port, image});
    flash.waitForFinished(300000);
    return flash.exitCode() == 0 ? timer.nsecsElapsed() / 1e9 : -1;
}

double WindowSeconds(const QString& image, int baud) {
    bench::Sim sim({"--baud", QString::number(baud)});
    bench::WindowDriver window;
    if (!window.Open(sim.port)) {
        return -1;
    }
    QElapsedTimer timer;
    timer.start();
    // Includes the time the message box stays open until it is answered (at most 20 ms).
    return window.Update(image, 300000) ? timer.nsecsElapsed() / 1e9 : -1;
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    const QString image =
        bench::WriteTempFile(QStringLiteral("image.bin"), bench::RandomBytes(kImageBytes));
    std::printf("Line efficiency, %d blocks against a simulator paced at the line's rate\n",
                kBlocks);
    std::printf("%-13s %8s %10s %11s %11s\n", "path", "baud", "ideal s", "measured s",
                "efficiency");
    QJsonArray rows;
    for (int baud : {115200, 921600}) {
        const double ideal = kBlocks * 1034.0 * 10 / baud + 1.5;
        for (const char* path : {"tavrel-flash", "window"}) {
            const double measured = QLatin1String(path) == QLatin1String("window")
                                        ? WindowSeconds(image, baud)
                                        : FlashSeconds(image, baud);
            const double efficiency = measured > 0 ? ideal / measured : 0;
            std::printf("%-13s %8d %10.3f %11.3f %10.2f%%\n", path, baud, ideal, measured,
                        efficiency * 100);
            rows.append(QJsonObject{{"path", path},
                                    {"baud", baud},
                                    {"ideal_s", ideal},
                                    {"measured_s", measured},
                                    {"efficiency", efficiency}});
        }
    }
    bench::WriteResult(QStringLiteral("line_efficiency"), {{"rows", rows}});
    QFile::remove(image);
    return 0;
}
