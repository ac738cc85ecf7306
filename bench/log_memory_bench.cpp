// What a long shift of device text costs the window: a device prints lines of about 40
// characters as fast as the line takes them, the window logs and shows every byte, and we
// measure the peak memory per received byte and how late the window answers its own timer
// (a stand-in for the operator's input) while the text pours in.
#include "bench/BenchCommon.h"
#include "bench/WindowDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <atomic>
#include <cstdio>
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

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    const qint64 totalBytes = qEnvironmentVariableIntValue("TAVREL_LOG_MIB") > 0
                                  ? qint64(qEnvironmentVariableIntValue("TAVREL_LOG_MIB")) << 20
                                  : qint64(100) * 1000 * 1000;

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
        return 1;
    }
    const long baseKiB = StatusKiB("VmRSS:");

    // Lines of 40 characters and a line end, each a little different.
    std::atomic<bool> written{false};
    std::thread device([&] {
        QByteArray chunk;
        for (int i = 0; chunk.size() < 64 * 1024; ++i) {
            chunk += QByteArray("boot: sector ") + QByteArray::number(100000 + i % 900000) +
                     QByteArray(" erased, waiting\r\n");
        }
        qint64 sent = 0;
        while (sent < totalBytes) {
            const qint64 take = std::min<qint64>(chunk.size(), totalBytes - sent);
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
    const double seconds = clock.elapsed() / 1000.0;
    tick.stop();
    device.join();
    QCoreApplication::processEvents();
    const long peakKiB = StatusKiB("VmHWM:");
    const double perByte = double(peakKiB - baseKiB) * 1024.0 / double(totalBytes);

    std::printf("Device text into the window: %.0f MB in lines of 40 characters\n",
                totalBytes / 1e6);
    std::printf("%-44s %10.2f\n", "peak memory per received byte, bytes", perByte);
    std::printf("%-44s %10ld\n", "peak resident set, MiB", peakKiB / 1024);
    std::printf("%-44s %10lld\n", "worst lateness of the window's timer, ms",
                static_cast<long long>(worstLateMs));
    std::printf("%-44s %10.1f\n", "seconds to log it all", seconds);
    bench::WriteResult(QStringLiteral("log_memory"),
                       {{"device_bytes", totalBytes},
                        {"bytes_per_received_byte", perByte},
                        {"peak_rss_kib", static_cast<qint64>(peakKiB)},
                        {"worst_timer_lateness_ms", worstLateMs},
                        {"seconds", seconds}});
    ::close(hold);
    ::close(master);
    return 0;
}
