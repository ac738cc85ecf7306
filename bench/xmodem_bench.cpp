// SPDX-License-Identifier: GPL-3.0-or-later
// A peer on the same work: the XMODEM-1K sender "sx -k" (lrzsz) sends the same 241,663 bytes
// over a pty to a small XMODEM-1K receiver of ours, which times from each ACK it sends to the
// first byte of the next block: the sender's per-block turnaround, beside tavrel-flash's into
// tavrel-devsim (which answers at once as our receiver does).
#include "bench/BenchCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr qint64 kImageBytes = 241663;
constexpr unsigned char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15;

long long NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// Receives one XMODEM(-1K) transfer with CRC on `fd`; returns the turnarounds in microseconds,
// or nothing when the transfer did not complete.
std::vector<double> ReceiveXmodem(int fd, qint64& received) {
    std::vector<double> samples;
    std::vector<unsigned char> block;
    long long ackAt = -1;
    long long lastC = 0;
    bool started = false;
    const long long deadline = NowUs() + 120LL * 1000000;
    while (NowUs() < deadline) {
        if (!started && NowUs() - lastC > 1000000) {
            const unsigned char c = 'C'; // ask for CRC mode until the first block comes
            [[maybe_unused]] auto n = ::write(fd, &c, 1);
            lastC = NowUs();
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        unsigned char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        if (ackAt >= 0 && block.empty() && (buffer[0] == STX || buffer[0] == SOH)) {
            samples.push_back(static_cast<double>(NowUs() - ackAt));
        }
        ackAt = -1;
        block.insert(block.end(), buffer, buffer + n);
        while (!block.empty()) {
            if (block[0] == EOT) {
                const unsigned char a = ACK;
                [[maybe_unused]] auto w = ::write(fd, &a, 1);
                return samples;
            }
            const std::size_t size = block[0] == STX ? 1029 : block[0] == SOH ? 133 : 1;
            if (size == 1) {
                block.erase(block.begin()); // stray byte
                continue;
            }
            if (block.size() < size) {
                break;
            }
            started = true;
            received += static_cast<qint64>(size - 5);
            block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size));
            const unsigned char a = ACK;
            [[maybe_unused]] auto w = ::write(fd, &a, 1);
            ackAt = NowUs();
        }
    }
    (void)NAK;
    return {};
}

std::vector<double> SxRun(const QString& file, qint64& received, double& seconds) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master);
    ::unlockpt(master);
    const QByteArray slave = ::ptsname(master);
    const QByteArray path = file.toLocal8Bit();
    QElapsedTimer timer;
    timer.start();
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(slave.constData(), O_RDWR);
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        ::dup2(fd, 0);
        ::dup2(fd, 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::execlp("sx", "sx", "-k", path.constData(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::vector<double> samples = ReceiveXmodem(master, received);
    int status = 0;
    ::waitpid(child, &status, 0);
    seconds = timer.nsecsElapsed() / 1e9;
    ::close(master);
    return samples;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString image =
        bench::WriteTempFile(QStringLiteral("xmodem.bin"), bench::RandomBytes(kImageBytes));

    constexpr int kRounds = 5;
    qint64 received = 0;
    double sxSeconds = 0;
    std::vector<double> sx;
    for (int round = 0; round < kRounds; ++round) {
        qint64 got = 0;
        const std::vector<double> samples = SxRun(image, got, sxSeconds);
        sx.insert(sx.end(), samples.begin(), samples.end());
        received = got;
    }

    const QString timing = QDir::temp().filePath(QStringLiteral("tavrel-bench-timing-x.txt"));
    QElapsedTimer timer;
    std::vector<double> tavrel;
    double flashSeconds = 0;
    for (int round = 0; round < kRounds; ++round) {
        bench::Sim sim({"--timing", timing});
        QProcess flash;
        timer.start();
        flash.start(bench::BinaryPath("tavrel-flash"), {"-q", "-p", sim.port, image});
        flash.waitForFinished(120000);
        flashSeconds = timer.nsecsElapsed() / 1e9;
        sim.Stop();
        std::vector<double> samples = bench::ReadTurnarounds(timing);
        if (!samples.empty()) {
            samples.pop_back(); // the 1 s wait before the switch packet
        }
        tavrel.insert(tavrel.end(), samples.begin(), samples.end());
    }
    const bench::Stats sxStats = bench::Summarise(sx);
    const bench::Stats tavrelStats = bench::Summarise(tavrel);
    std::printf(
        "Per-block turnaround over a pty, receiver answers at once (%lld bytes, %d runs each)\n",
        static_cast<long long>(kImageBytes), kRounds);
    std::printf("%-28s %10s %10s %10s %8s %9s\n", "sender", "median us", "p99 us", "mean us",
                "samples", "last s");
    std::printf("%-28s %10.1f %10.1f %10.1f %8d %9.2f\n", "sx -k (XMODEM-1K, lrzsz)",
                sxStats.medianUs, sxStats.p99Us, sxStats.meanUs, sxStats.count, sxSeconds);
    std::printf("%-28s %10.1f %10.1f %10.1f %8d %9.2f\n", "tavrel-flash", tavrelStats.medianUs,
                tavrelStats.p99Us, tavrelStats.meanUs, tavrelStats.count, flashSeconds);
    std::printf(
        "(tavrel-flash's total includes the protocol's fixed 1.5 s around the switch packet)\n");
    QJsonObject sxJson = bench::ToJson(sxStats);
    sxJson.insert("received_bytes", received);
    sxJson.insert("seconds", sxSeconds);
    QJsonObject tavrelJson = bench::ToJson(tavrelStats);
    tavrelJson.insert("seconds", flashSeconds);
    bench::WriteResult(QStringLiteral("xmodem_peer"),
                       {{"sx_k", sxJson}, {"tavrel_flash", tavrelJson}});
    QFile::remove(image);
    return sx.empty() ? 1 : 0;
}
