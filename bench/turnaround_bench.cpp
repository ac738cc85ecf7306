// SPDX-License-Identifier: GPL-3.0-or-later
// Per-block turnaround: from the simulator's last "ACK" byte to the first byte of the tool's next
// packet, over a pty, for the window (offscreen, the real dialog and its log box) and for
// tavrel-flash, with an empty log and with 1 MiB of device text already in the log. Once with a
// device that answers the instant a packet is complete, once with one paced like a 921600-baud
// line (the fastest line in use; a real device cannot answer before the packet has arrived).
#include "bench/BenchCommon.h"
#include "bench/WindowDriver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <cstdio>

namespace {

constexpr qint64 kImageBytes = 241663;
constexpr int kRounds = 2;

QStringList SimArguments(const QString& timing, const QString& baud) {
    QStringList arguments{"--timing", timing};
    if (!baud.isEmpty()) {
        arguments << "--baud" << baud;
    }
    return arguments;
}

// The turnarounds of one update, less the last: after the last block comes the 1 s wait.
std::vector<double> BlockTurnarounds(const QString& timing) {
    std::vector<double> samples = bench::ReadTurnarounds(timing);
    if (!samples.empty()) {
        samples.pop_back();
    }
    return samples;
}

std::vector<double> WindowRun(const QString& image, qint64 logBytes, const QString& baud) {
    std::vector<double> all;
    for (int round = 0; round < kRounds; ++round) {
        const QString timing = QDir::temp().filePath(QStringLiteral("tavrel-bench-timing-w.txt"));
        bench::Sim sim(SimArguments(timing, baud));
        bench::WindowDriver window;
        if (logBytes > 0) {
            QString text;
            while (text.size() < logBytes) {
                text += QStringLiteral("boot: flash sector erased, waiting for data\r\n\n\r");
            }
            window.Dialog().m_receiveText.Assign(text.left(logBytes));
            window.Dialog().UpdateData(false);
        }
        if (!window.Open(sim.port) || !window.Update(image, 120000)) {
            std::fprintf(stderr, "window update failed\n");
            continue;
        }
        sim.Stop();
        const auto samples = BlockTurnarounds(timing);
        all.insert(all.end(), samples.begin(), samples.end());
    }
    return all;
}

std::vector<double> FlashRun(const QString& image, const QString& baud) {
    std::vector<double> all;
    for (int round = 0; round < kRounds; ++round) {
        const QString timing = QDir::temp().filePath(QStringLiteral("tavrel-bench-timing-f.txt"));
        bench::Sim sim(SimArguments(timing, baud));
        QProcess flash;
        flash.start(bench::BinaryPath("tavrel-flash"), {"-q", "-p", sim.port, image});
        flash.waitForFinished(120000);
        sim.Stop();
        const auto samples = BlockTurnarounds(timing);
        all.insert(all.end(), samples.begin(), samples.end());
    }
    return all;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    const QString image =
        bench::WriteTempFile(QStringLiteral("image.bin"), bench::RandomBytes(kImageBytes));

    struct Row {
        const char* device;
        const char* path;
        const char* log;
        bench::Stats stats;
    };
    std::vector<Row> rows;
    for (const char* baud : {"921600", ""}) {
        const char* device = *baud ? "921600 baud" : "instant";
        rows.push_back({device, "window", "empty", bench::Summarise(WindowRun(image, 0, baud))});
        rows.push_back(
            {device, "window", "1 MiB", bench::Summarise(WindowRun(image, 1 << 20, baud))});
        rows.push_back({device, "tavrel-flash", "none", bench::Summarise(FlashRun(image, baud))});
    }
    std::printf("Turnaround per block, last ACK byte out -> next packet's first byte in\n");
    std::printf("(%d updates of 236 blocks per row)\n", kRounds);
    std::printf("%-12s %-13s %-6s %10s %10s %10s %8s\n", "device", "path", "log", "median us",
                "p99 us", "mean us", "samples");
    QJsonArray json;
    for (const Row& r : rows) {
        std::printf("%-12s %-13s %-6s %10.1f %10.1f %10.1f %8d\n", r.device, r.path, r.log,
                    r.stats.medianUs, r.stats.p99Us, r.stats.meanUs, r.stats.count);
        QJsonObject o = bench::ToJson(r.stats);
        o.insert("device", r.device);
        o.insert("path", r.path);
        o.insert("log", r.log);
        json.append(o);
    }
    bench::WriteResult(QStringLiteral("turnaround"), {{"rows", json}});
    QFile::remove(image);
    return 0;
}
