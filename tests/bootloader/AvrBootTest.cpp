// SPDX-License-Identifier: GPL-3.0-or-later
// The reference boot loader on an emulated ATmega2560 (simavr): tavrel-flash writes real flash
// pages through it, the new program starts and says its version, and the chip's flash, read
// out afterwards, holds the image byte for byte. A bad packet is answered with text and never
// written.

#include "support/AvrBoard.h"
#include "support/TempFiles.h"
#include "update/Packets.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <array>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct FlashRun {
    int exitCode = -1;
    QString err;
};

FlashRun Flash(const QStringList& arguments, int msecs = 120000) {
    QProcess flash;
    flash.start(QStringLiteral(TAVREL_FLASH_PATH), arguments);
    if (!flash.waitForFinished(msecs)) {
        flash.kill();
        flash.waitForFinished();
    }
    return {flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1,
            QString::fromLocal8Bit(flash.readAllStandardError())};
}

// The example program, then a pattern up to `size` bytes: the program runs, and every block
// carries bytes of its own.
QByteArray ProgramOfSize(qint64 size) {
    const QByteArray program = ReadFile(AvrBoard::Firmware("example-app.bin"));
    return program + PatternBytes(size - program.size(), 7);
}

// What the flash must hold below the boot section: the image, then erased flash.
void ExpectFlashHolds(const QByteArray& flash, const QByteArray& image) {
    ASSERT_EQ(flash.size(), 256 * 1024);
    EXPECT_TRUE(flash.left(image.size()) == image) << "the image, byte for byte";
    EXPECT_EQ(flash.mid(image.size(), AvrBoard::kBootSection - image.size()),
              QByteArray(AvrBoard::kBootSection - image.size(), char(0xFF)));
    const QByteArray boot = ReadFile(AvrBoard::Firmware("tavrel-boot-atmega2560.bin"));
    EXPECT_TRUE(flash.mid(AvrBoard::kBootSection, boot.size()) == boot) << "the boot loader stays";
}

struct ImageCase {
    const char* name;
    std::function<QString(TempFiles&)> image; // the file to flash
    std::function<QByteArray()> bytes;        // what the flash must then hold
};

class AvrFlash : public ::testing::TestWithParam<ImageCase> {};

// 236 blocks is the largest image: it reaches past 64 and 128 KiB (the far pages) and ends
// with block 0xFF, which only the quiet line after it tells from the switch packet.
TEST_P(AvrFlash, WritesTheImageAndTheProgramStarts) {
    TempFiles files;
    AvrBoard board;
    const FlashRun run = Flash({"-p", board.PortPath(), "-b", "115200", "-t", "10", "--expect",
                                "v1\\.0 ready", GetParam().image(files)});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_FALSE(run.err.contains("tavrel-boot:")) << run.err.toStdString();
    ExpectFlashHolds(board.StopAndDumpFlash(), GetParam().bytes());
}

INSTANTIATE_TEST_SUITE_P(
    Images, AvrFlash,
    ::testing::Values(
        ImageCase{"LargestBinary",
                  [](TempFiles& f) { return f.Write("app.bin", ProgramOfSize(241663)); },
                  [] { return ProgramOfSize(241663); }},
        ImageCase{"IntelHex", [](TempFiles&) { return AvrBoard::Firmware("example-app.hex"); },
                  [] { return ReadFile(AvrBoard::Firmware("example-app.bin")); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The port as a device's peer sees it: raw bytes, nothing translated.
class RawPort {
  public:
    explicit RawPort(const QString& path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~RawPort() { ::close(m_fd); }
    void Send(const QByteArray& bytes) {
        ASSERT_EQ(::write(m_fd, bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    // What arrives until the line has been quiet for `quietMs`.
    QByteArray Receive(int quietMs) {
        QByteArray got;
        for (;;) {
            pollfd ready{m_fd, POLLIN, 0};
            if (::poll(&ready, 1, quietMs) <= 0) {
                return got;
            }
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0) {
                return got;
            }
            got.append(buffer, n);
        }
    }

  private:
    int m_fd;
};

QByteArray Block(int index, char fill) {
    std::array<std::uint8_t, tavrel::kBlockSize> data{};
    data.fill(static_cast<std::uint8_t>(fill));
    return BuildBlockPacket(static_cast<std::uint8_t>(index), tavrel::BlockView(data));
}

// Each bad packet is answered with a line that says why, and not with ACK; none reaches the
// flash. A good block after them is written and acknowledged, and the order goes on from it.
TEST(AvrBoot, AnswersBadPacketsWithTextAndWritesNone) {
    AvrBoard board;
    RawPort port(board.PortPath());
    EXPECT_TRUE(port.Receive(300).contains("tavrel-boot atmega2560")) << "the banner";
    QByteArray wrongTrailer = Block(0, 'b');
    wrongTrailer[wrongTrailer.size() - 1] = 0x5C;
    const struct {
        QByteArray packet;
        int quietMs;
        const char* answer;
    } cases[] = {
        {Block(1, 'a'), 300,
         "tavrel-boot: block 0x15 is out of order (expected 0x14); not written"},
        {wrongTrailer, 300, "tavrel-boot: block 0x14 has a wrong trailer; not written"},
        {Block(0, 'c').left(500), 1500, "tavrel-boot: block 0x14 ended early; not written"},
        {Block(0, 'd'), 300, "ACK"},
        {Block(2, 'e'), 300,
         "tavrel-boot: block 0x16 is out of order (expected 0x15); not written"},
    };
    for (const auto& c : cases) {
        port.Send(c.packet);
        const QByteArray answer = port.Receive(c.quietMs);
        EXPECT_TRUE(answer.startsWith(c.answer)) << c.answer << " / " << answer.toStdString();
    }
    const QByteArray flash = board.StopAndDumpFlash();
    ASSERT_EQ(flash.size(), 256 * 1024);
    EXPECT_EQ(flash.left(1024), QByteArray(1024, 'd'));
    EXPECT_EQ(flash.mid(1024, 8 * 1024), QByteArray(8 * 1024, char(0xFF)));
}

// A program that resets the chip through its watchdog leaves it in the boot loader, which must
// take the next update: the watchdog stays on across that reset and would reset it again.
TEST(AvrBoot, TakesAnUpdateAfterTheProgramsWatchdogReset) {
    AvrBoard board;
    const FlashRun first = Flash({"-p", board.PortPath(), "-t", "5", "--expect", "v1\\.0 ready",
                                  AvrBoard::Firmware("example-app-watchdog.bin")});
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    const FlashRun second = Flash({"-p", board.PortPath(), "-t", "5", "--expect", "v1\\.0 ready",
                                   AvrBoard::Firmware("example-app.bin")});
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
}

// A line of four boards under station mode: each is flashed as its port appears, all at once,
// and each board's flash holds the image.
TEST(AvrBoot, StationFlashesFourBoardsAtOnce) {
    TempFiles files;
    QDir folder(files.Path("ports"));
    ASSERT_TRUE(QDir().mkpath(folder.path()));
    std::vector<std::unique_ptr<AvrBoard>> boards;
    for (int n = 0; n < 4; ++n) {
        boards.push_back(
            std::make_unique<AvrBoard>(folder.filePath(QStringLiteral("avr%1").arg(n))));
    }
    const QByteArray image = ProgramOfSize(12 * 1024);
    const QString log = files.Path("log.jsonl");
    QProcess flash;
    flash.start(QStringLiteral(TAVREL_FLASH_PATH),
                {"--watch", folder.filePath("*"), "--log", log, "-b", "115200", "--expect",
                 "v1\\.0 ready", files.Write("app.bin", image)});
    ASSERT_TRUE(flash.waitForStarted());
    const auto records = [&] { return ReadFile(log).count('\n'); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return records() >= 4; }, 60000));
    ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
    ASSERT_TRUE(flash.waitForFinished(20000));
    int passed = 0;
    for (const QByteArray& line : ReadFile(log).split('\n')) {
        if (!line.isEmpty()) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            passed += record["result"].toString() == "passed" && record["expect_matched"].toBool();
        }
    }
    EXPECT_EQ(passed, 4) << ReadFile(log).toStdString();
    for (auto& board : boards) {
        ExpectFlashHolds(board->StopAndDumpFlash(), image);
    }
}

} // namespace
