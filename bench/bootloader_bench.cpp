// SPDX-License-Identifier: GPL-3.0-or-later
// The reference boot loader on an emulated ATmega2560 (simavr, the chip's time kept to the
// wall's, UART0 at 115200) against tavrel-devsim paced like a 115200-baud line: tavrel-flash
// writes the same full 236-block image into each. Line efficiency (the bytes' time on the wire
// over the time taken, the closing 1.5 s counted on both sides) and the time per block, which on
// the chip includes receiving the packet at its own baud rate, writing four flash pages and
// reading them back.
#include "bench/BenchCommon.h"
#include "support/AvrBoard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <cstdio>

namespace {

constexpr qint64 kImageBytes = 241663;
constexpr int kBlocks = 236;
constexpr int kBaud = 115200;
constexpr double kClosingSeconds = 1.5;

double FlashSeconds(const QString& port, const QString& image) {
    QElapsedTimer timer;
    QProcess flash;
    timer.start();
    flash.start(bench::BinaryPath("tavrel-flash"),
                {"-q", "-b", QString::number(kBaud), "-p", port, image});
    flash.waitForFinished(600000);
    return flash.exitStatus() == QProcess::NormalExit && flash.exitCode() == 0
               ? timer.nsecsElapsed() / 1e9
               : -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QFile program(AvrBoard::Firmware("example-app.bin"));
    program.open(QIODevice::ReadOnly);
    const QString image =
        bench::WriteTempFile(QStringLiteral("image.bin"),
                             program.readAll() + bench::RandomBytes(kImageBytes - program.size()));
    const double ideal = kBlocks * 1034.0 * 10 / kBaud + kClosingSeconds;
    std::printf("The reference boot loader on an emulated ATmega2560 against the simulated "
                "device,\n%d blocks at %d baud through tavrel-flash (wire alone: %.2f s)\n",
                kBlocks, kBaud, ideal);
    std::printf("%-28s %11s %11s %14s\n", "device", "measured s", "efficiency", "per block ms");
    QJsonArray rows;
    const auto report = [&](const char* name, double seconds) {
        const double efficiency = seconds > 0 ? ideal / seconds : 0;
        const double perBlockMs = seconds > 0 ? (seconds - kClosingSeconds) * 1000 / kBlocks : 0;
        std::printf("%-28s %11.3f %10.2f%% %14.2f\n", name, seconds, efficiency * 100, perBlockMs);
        rows.append(QJsonObject{{"device", name},
                                {"measured_s", seconds},
                                {"efficiency", efficiency},
                                {"per_block_ms", perBlockMs}});
    };
    {
        bench::Sim sim({"--baud", QString::number(kBaud)});
        report("tavrel-devsim", FlashSeconds(sim.port, image));
        sim.Stop();
    }
    {
        AvrBoard board;
        report("ATmega2560 in simavr", FlashSeconds(board.PortPath(), image));
        board.StopAndDumpFlash();
    }
    std::printf("the wire's time per block: %.2f ms\n", 1034.0 * 10 * 1000 / kBaud);
    bench::WriteResult(QStringLiteral("bootloader"), {{"rows", rows}});
    QFile::remove(image);
    return 0;
}
