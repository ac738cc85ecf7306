// SPDX-License-Identifier: GPL-3.0-or-later
// A board on a serial server against the same board on a local pty: tavrel-flash writes a full
// 236-block image into a simulator paced like a 115200-baud line, once over its pty, once over
// rfc2217:// and once over socket:// through Debian's ser2net on loopback in front of it. Line
// efficiency as line_efficiency_bench counts it, and the per-block turnaround the simulator sees
// (its last "ACK" byte out -> the first byte of the next packet in), which over the network
// takes in ser2net and both TCP hops.
#include "bench/BenchCommon.h"
#include "support/FreePort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QThread>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 kImageBytes = 241663;
constexpr int kBlocks = 236;
constexpr int kBaud = 115200;

struct Run {
    double seconds = -1;
    bench::Stats turnaround;
};

// One update through `port`, which `route` makes of the simulator's pty ("" for the pty itself).
Run Flash(const QString& image, const QString& route) {
    const QString timing = bench::WriteTempFile(QStringLiteral("timing.txt"), {});
    bench::Sim sim({"--baud", QString::number(kBaud), "--timing", timing});
    QString port = sim.port;
    QProcess server;
    if (!route.isEmpty()) {
        const quint16 tcp = FreePort();
        const QString config = bench::WriteTempFile(
            QStringLiteral("ser2net.yaml"),
            QStringLiteral("connection: &board\n  accepter: %1,127.0.0.1,%2\n  connector: "
                           "serialdev,%3,%4n81,local\n  options:\n    chardelay: false\n")
                .arg(route == QLatin1String("rfc2217") ? "telnet(rfc2217),tcp" : "tcp")
                .arg(tcp)
                .arg(sim.port)
                .arg(kBaud)
                .toUtf8());
        server.start(QStringLiteral("ser2net"), {"-n", "-c", config});
        QThread::msleep(300); // ser2net listens within milliseconds
        port = QStringLiteral("%1://127.0.0.1:%2").arg(route).arg(tcp);
    }
    QElapsedTimer timer;
    QProcess flash;
    timer.start();
    flash.start(bench::BinaryPath("tavrel-flash"),
                {"-q", "-b", QString::number(kBaud), "-p", port, image});
    flash.waitForFinished(300000);
    Run run;
    run.seconds = flash.exitCode() == 0 ? timer.nsecsElapsed() / 1e9 : -1;
    sim.Stop();
    std::vector<double> samples = bench::ReadTurnarounds(timing);
    if (!samples.empty()) {
        samples.pop_back(); // after the last block comes the 1 s wait
    }
    run.turnaround = bench::Summarise(samples);
    server.kill();
    server.waitForFinished();
    QFile::remove(timing);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString image =
        bench::WriteTempFile(QStringLiteral("image.bin"), bench::RandomBytes(kImageBytes));
    const double ideal = kBlocks * 1034.0 * 10 / kBaud + 1.5;
    std::printf(
        "A board on a serial server (ser2net on loopback) against a local pty, tavrel-flash,"
        "\n%d blocks into a simulator paced at %d baud\n",
        kBlocks, kBaud);
    std::printf("%-10s %11s %11s %16s %13s\n", "port", "measured s", "efficiency", "turnaround med",
                "p99 us");
    QJsonArray rows;
    Run local;
    for (const char* route : {"", "rfc2217", "socket"}) {
        const Run run = Flash(image, QLatin1String(route));
        if (*route == '\0') {
            local = run;
        }
        const double efficiency = run.seconds > 0 ? ideal / run.seconds : 0;
        const char* name = *route == '\0' ? "local pty" : route;
        std::printf("%-10s %11.3f %10.2f%% %13.0f us %13.0f\n", name, run.seconds, efficiency * 100,
                    run.turnaround.medianUs, run.turnaround.p99Us);
        rows.append(QJsonObject{{"port", name},
                                {"measured_s", run.seconds},
                                {"efficiency", efficiency},
                                {"turnaround", bench::ToJson(run.turnaround)}});
    }
    std::printf("goal: efficiency within 1 point of the local pty, turnaround median under twice "
                "its own\n");
    bench::WriteResult(QStringLiteral("network"), {{"rows", rows}});
    QFile::remove(image);
    return 0;
}
