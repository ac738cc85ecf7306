// SPDX-License-Identifier: GPL-3.0-or-later
// The cost of one receive event in the window as the log grows: the device's text is appended
// to the log and shown before the engine looks at it. Measured from the device's write to the
// log holding the new entry, over a pty.
#include "bench/BenchCommon.h"
#include "bench/WindowDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Pty {
    int master = -1;
    int hold = -1;
    QString slave;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master);
        ::unlockpt(master);
        slave = QString::fromLocal8Bit(::ptsname(master));
        hold = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        termios tio{};
        tcgetattr(hold, &tio);
        cfmakeraw(&tio);
        tcsetattr(hold, TCSANOW, &tio);
    }
    ~Pty() {
        ::close(hold);
        ::close(master);
    }
};

constexpr int kEvents = 300;

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel_V1.0"));
    std::printf("One receive event (\"ACK\\r\\n\" from the device) with a log of a given size\n");
    std::printf("%-10s %10s %10s %10s\n", "log", "median us", "p99 us", "mean us");
    QJsonArray rows;
    const std::pair<const char*, qint64> sizes[] = {
        {"0", 0}, {"64 KiB", 64 << 10}, {"1 MiB", 1 << 20}, {"8 MiB", 8 << 20}};
    for (const auto& [label, size] : sizes) {
        Pty pty;
        bench::WindowDriver window;
        CTavrel_V10Dlg& dlg = window.Dialog();
        QString text;
        text.reserve(size);
        while (text.size() < size) {
            text += QStringLiteral("boot: flash sector erased, waiting for data\r\n\n\r");
        }
        dlg.m_receiveText.Assign(text.left(size));
        dlg.UpdateData(false);
        if (!window.Open(pty.slave)) {
            std::fprintf(stderr, "cannot open the pty\n");
            return 1;
        }
        std::vector<double> samples;
        for (int i = 0; i < kEvents; ++i) {
            const qsizetype before = dlg.m_receiveText.Size();
            QElapsedTimer timer;
            timer.start();
            [[maybe_unused]] auto n = ::write(pty.master, "ACK\r\n", 5);
            while (dlg.m_receiveText.Size() == before) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            samples.push_back(timer.nsecsElapsed() / 1000.0);
            QCoreApplication::processEvents(); // let the box repaint before the next event
        }
        const bench::Stats stats = bench::Summarise(samples);
        std::printf("%-10s %10.1f %10.1f %10.1f\n", label, stats.medianUs, stats.p99Us,
                    stats.meanUs);
        QJsonObject row = bench::ToJson(stats);
        row.insert("log", label);
        row.insert("log_chars", size);
        rows.append(row);
    }
    bench::WriteResult(QStringLiteral("log_growth"), {{"rows", rows}});
    return 0;
}
