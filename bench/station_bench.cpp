// SPDX-License-Identifier: GPL-3.0-or-later
// Many devices at once: 1, 8 and 32 simulated boot loaders paced at 115200 and 921600 baud, each
// taking a whole 236-block image from one tavrel-flash. Wall time against one device's, the
// per-block turnaround across all ports, CPU time per device update and peak memory per port.
#include "bench/BenchCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Run {
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
    std::vector<double> turnaroundsUs;
};

Run FlashAtOnce(int devices, long baud, const QString& image, const QString& folder) {
    Run run;
    QProcess sims;
    sims.start(bench::BinaryPath("tavrel-devsim"),
               {"--count", QString::number(devices), "--baud", QString::number(baud), "--timing",
                QDir(folder).filePath("timing-%d.txt")});
    QStringList ports;
    while (ports.size() < devices && sims.waitForReadyRead(10000)) {
        while (sims.canReadLine() && ports.size() < devices) {
            ports << QString::fromLocal8Bit(sims.readLine()).trimmed();
        }
    }
    if (ports.size() != devices) {
        return run;
    }
    QList<QByteArray> arguments{bench::BinaryPath("tavrel-flash").toLocal8Bit(), "-q", "-b",
                                QByteArray::number(static_cast<qlonglong>(baud))};
    for (const QString& port : ports) {
        arguments << "-p" << port.toLocal8Bit();
    }
    arguments << image.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
    run.peakKiB = usage.ru_maxrss;
    ::kill(static_cast<pid_t>(sims.processId()), SIGTERM);
    sims.waitForFinished(10000);
    for (int n = 1; n <= devices; ++n) {
        const std::vector<double> samples =
            bench::ReadTurnarounds(QDir(folder).filePath(QStringLiteral("timing-%1.txt").arg(n)));
        run.turnaroundsUs.insert(run.turnaroundsUs.end(), samples.begin(), samples.end());
    }
    return run;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString image =
        bench::WriteTempFile(QStringLiteral("station.bin"), bench::RandomBytes(241663));
    std::printf("Station: one 236-block image into N simulated devices at once\n");
    std::printf("%7s %7s %9s %9s %10s %10s %12s %10s %10s\n", "baud", "devices", "wall s", "vs one",
                "median us", "p99 us", "CPU ms/dev", "peak MiB", "MiB/port");
    QJsonArray rows;
    bool allOk = true;
    for (const long baud : {115200L, 921600L}) {
        double oneWall = 0;
        long onePeak = 0;
        for (const int devices : {1, 8, 32}) {
            QTemporaryDir folder;
            const Run run = FlashAtOnce(devices, baud, image, folder.path());
            allOk = allOk && run.ok;
            if (devices == 1) {
                oneWall = run.wallSeconds;
                onePeak = run.peakKiB;
            }
            const bench::Stats turnaround = bench::Summarise(run.turnaroundsUs);
            const double slower = oneWall > 0 ? (run.wallSeconds / oneWall - 1) * 100 : 0;
            const double perPortMiB =
                devices > 1 ? (run.peakKiB - onePeak) / 1024.0 / (devices - 1) : 0;
            std::printf("%7ld %7d %9.2f %8.1f%% %10.0f %10.0f %12.1f %10.1f %10.2f%s\n", baud,
                        devices, run.wallSeconds, slower, turnaround.medianUs, turnaround.p99Us,
                        run.cpuSeconds * 1000 / devices, run.peakKiB / 1024.0, perPortMiB,
                        run.ok ? "" : "  (a port failed)");
            QJsonObject row = bench::ToJson(turnaround);
            row.insert("baud", static_cast<qint64>(baud));
            row.insert("devices", devices);
            row.insert("ok", run.ok);
            row.insert("wall_seconds", run.wallSeconds);
            row.insert("slower_than_one_percent", slower);
            row.insert("cpu_ms_per_device", run.cpuSeconds * 1000 / devices);
            row.insert("peak_kib", static_cast<qint64>(run.peakKiB));
            row.insert("mib_per_port", perPortMiB);
            rows.append(row);
        }
    }
    QFile::remove(image);
    bench::WriteResult(QStringLiteral("station"), {{"rows", rows}});
    return allOk ? 0 : 1;
}
