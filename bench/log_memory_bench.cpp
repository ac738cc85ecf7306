// SPDX-License-Identifier: GPL-3.0-or-later
// What a long shift of device text costs the window: a device prints lines of about 40
// characters, the window logs and shows every byte, and we measure the peak memory per received
// byte and how late the window answers its own timer (a stand-in for the operator's input)
// while the text pours in. Twice, each in a process of its own: text as fast as the pty takes it
// (many lines to a receive event), and one line to a receive event, as a device at 115200 baud
// behind a low-latency adapter delivers it.
#include "bench/BenchCommon.h"
#include "bench/WindowDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

long StatusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(static_cast<qsizetype>(std::strlen(field)))
                .trimmed()
                .split(' ')
                .first()
                .toLong();
        }
    }
    return 0;
}

struct Figures {
    qint64 bytes = 0;
    qint64 events = 0;
    double perByte = 0;
    long peakKiB = 0;
    qint64 worstLateMs = 0;
    double seconds = 0;
};

Figures Measure(qint64 totalBytes, bool linePerEvent) {

    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master);
    ::unlockpt(master);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    int hold = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(hold, &tio);
    cfmakeraw(&tio);
    tcsetattr(hold, TCSANOW, &tio);

    bench::WindowDriver window;
    CTavrel_V10Dlg& dlg = window.Dialog();
    if (!window.Open(slave)) {
        std::fprintf(stderr, "cannot open the pty\n");
        std::exit(1);
    }
    std::atomic<qint64> events{0};
    QObject::connect(&dlg.m_comm, &CMscomm1::OnComm, [&] { ++events; });
    const long baseKiB = StatusKiB("VmRSS:");

    // Lines of 40 characters and a line end, each a little different.
    std::atomic<bool> written{false};
    std::thread device([&] {
        QByteArray chunk;
        for (int i = 0; chunk.size() < 64 * 1024; ++i) {
            chunk += QByteArray("boot: sector ") + QByteArray::number(100000 + i % 900000) +
                     QByteArray(" erased, waiting\r\n");
        }
        const qint64 lineBytes = chunk.indexOf('\n') + 1;
        qint64 sent = 0;
        qint64 writes = 0;
        while (sent < totalBytes) {
            while (linePerEvent && events < writes) {
                std::this_thread::yield(); // until the window has taken the line before
            }
            ++writes;
            const qint64 take =
                std::min<qint64>(linePerEvent ? lineBytes : chunk.size(), totalBytes - sent);
            qint64 done = 0;
            while (done < take) {
                const ssize_t n =
                    ::write(master, chunk.constData() + done, static_cast<size_t>(take - done));
                if (n <= 0) {
                    break;
                }
                done += n;
            }
            sent += take;
        }
        written = true;
    });

    // The window's own timer: how late it fires is how late the window answers the operator.
    QElapsedTimer sinceTick;
    sinceTick.start();
    qint64 worstLateMs = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worstLateMs = std::max(worstLateMs, sinceTick.elapsed() - 10);
        sinceTick.restart();
    });
    tick.start(10);

    QElapsedTimer clock;
    clock.start();
    qint64 logged = 0;
    while (!written || dlg.m_comm.get_InBufferCount() > 0 || logged < totalBytes) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        logged = dlg.m_receiveText.Size(); // characters, line ends of the entries included
        if (written && clock.elapsed() > 600000) {
            break;
        }
    }
    Figures figures;
    figures.seconds = clock.elapsed() / 1000.0;
    tick.stop();
    device.join();
    QCoreApplication::processEvents();
    figures.bytes = totalBytes;
    figures.events = events;
    figures.peakKiB = StatusKiB("VmHWM:");
    figures.perByte = double(figures.peakKiB - baseKiB) * 1024.0 / double(totalBytes);
    figures.worstLateMs = worstLateMs;
    ::close(hold);
    ::close(master);
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    const qint64 mb = 1000 * 1000;
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        const bool linePerEvent = std::strcmp(argv[2], "line") == 0;
        const qint64 lineMb = qEnvironmentVariableIntValue("TAVREL_LINE_MB");
        const Figures f =
            Measure(linePerEvent ? (lineMb > 0 ? lineMb : 10) * mb : 100 * mb, linePerEvent);
        std::printf("%lld %lld %f %ld %lld %f\n", static_cast<long long>(f.bytes),
                    static_cast<long long>(f.events), f.perByte, f.peakKiB,
                    static_cast<long long>(f.worstLateMs), f.seconds);
        return 0;
    }
    std::printf("Device text in lines of 40 characters, logged and shown by the window\n");
    std::printf("%-24s %8s %10s %10s %10s %10s\n", "", "MB", "events", "bytes/byte", "late ms",
                "seconds");
    QJsonArray rows;
    for (const char* mode : {"flood", "line"}) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--child", mode});
        child.waitForFinished(-1);
        const QList<QByteArray> v = child.readAllStandardOutput().trimmed().split(' ');
        if (v.size() != 6) {
            std::fprintf(stderr, "the %s run failed\n", mode);
            return 1;
        }
        const char* label =
            std::strcmp(mode, "line") == 0 ? "one line per event" : "as fast as it goes";
        std::printf("%-24s %8.0f %10lld %10.2f %10lld %10.1f\n", label, v[0].toDouble() / mb,
                    v[1].toLongLong(), v[2].toDouble(), v[4].toLongLong(), v[5].toDouble());
        rows.append(QJsonObject{{"mode", mode},
                                {"device_bytes", v[0].toLongLong()},
                                {"events", v[1].toLongLong()},
                                {"bytes_per_received_byte", v[2].toDouble()},
                                {"peak_rss_kib", v[3].toLongLong()},
                                {"worst_timer_lateness_ms", v[4].toLongLong()},
                                {"seconds", v[5].toDouble()}});
    }
    bench::WriteResult(QStringLiteral("log_memory"), {{"rows", rows}});
    return 0;
}
