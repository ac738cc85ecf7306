// SPDX-License-Identifier: GPL-3.0-or-later
// Faults a device throws at tavrel-flash; the test plays the device on a pty. What must hold:
// the flasher neither crashes nor hangs, sends only whole packets, one block per reply, and
// ends with the status its help gives.
#include "sim/StreamParser.h"
#include "support/PtyPair.h"
#include "support/TempFiles.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

namespace {

struct Parsed {
    std::vector<int> blocks;
    int switches = 0;
    std::size_t noise = 0;
};

Parsed Parse(const QByteArray& stream) {
    Parsed parsed;
    devsim::ParserEvents events;
    events.onBlock = [&](std::uint8_t number, const std::uint8_t*) {
        parsed.blocks.push_back(number);
    };
    events.onSwitch = [&] { ++parsed.switches; };
    events.onNoise = [&](std::size_t n) { parsed.noise += n; };
    devsim::StreamParser parser(events);
    parser.Feed(reinterpret_cast<const std::uint8_t*>(stream.constData()),
                static_cast<std::size_t>(stream.size()));
    parser.Finish();
    return parsed;
}

class FlashFault : public ::testing::Test {
  protected:
    void Start(qint64 imageBytes, const QStringList& extra = {}) {
        m_flash.start(QStringLiteral(TAVREL_FLASH_PATH),
                      QStringList{"-p", m_pty.SlavePath()} + extra +
                          QStringList{m_files.Write("fw.bin", PatternBytes(imageBytes))});
        ASSERT_TRUE(m_flash.waitForStarted());
    }
    // Reads from the pty while the flasher runs; whole packets come one at a time.
    QByteArray Packet(int msecs = 3000) { return m_pty.Receive(msecs); }
    // The exit status; -1 for a run that had to be killed, -2 for one that crashed (its
    // standard error, a sanitizer's report included, is in m_err either way).
    int Finish(int msecs = 20000) {
        // It may have ended already, while the test read the pty.
        const bool ended =
            m_flash.state() == QProcess::NotRunning || m_flash.waitForFinished(msecs);
        if (!ended) {
            m_flash.kill();
            m_flash.waitForFinished();
        }
        m_err = QString::fromLocal8Bit(m_flash.readAllStandardError());
        if (!ended) {
            return -1;
        }
        return m_flash.exitStatus() == QProcess::NormalExit ? m_flash.exitCode() : -2;
    }
    PtyPair m_pty;
    TempFiles m_files;
    QProcess m_flash;
    QString m_err;
};

TEST_F(FlashFault, TenMiBOfNoiseThenAnAckStillMovesTheTransfer) {
    Start(3 * 1024, {"-t", "60"}); // noise is no ACK: a slow machine must not time out in it
    ASSERT_EQ(Packet().size(), 1034);
    QByteArray noise(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>('!' + i % 90);
    }
    for (int i = 0; i < 10; ++i) {
        m_pty.Send(noise);
    }
    m_pty.Send("\nACK"); // the noise line ends; a new reply begins with ACK
    const Parsed next = Parse(Packet());
    EXPECT_EQ(next.blocks, std::vector<int>{0x15});
    for (int block = 0x16; block <= 0x17; ++block) {
        m_pty.Send("ACK");
        EXPECT_EQ(Parse(Packet()).blocks, std::vector<int>{block});
    }
    m_pty.Send("ACK"); // the last block's, without which no switch goes
    EXPECT_EQ(Finish(), 0) << m_err.right(300).toStdString();
    EXPECT_TRUE(m_err.contains("device: !\"#$%&")) << "the noise was shown";
}

TEST_F(FlashFault, ZeroBytesAndInvalidTextAreShownAndSkipped) {
    Start(2 * 1024 + 1);
    ASSERT_EQ(Packet().size(), 1034);
    const char text[] = "\0\0boot \xff\xfe ready\r\n";
    m_pty.Send(QByteArray(text, sizeof text - 1));
    m_pty.Send("ACK");
    EXPECT_EQ(Parse(Packet()).blocks, std::vector<int>{0x15});
    m_pty.Send("ACK");
    EXPECT_EQ(Parse(Packet()).blocks, std::vector<int>{0x16});
    m_pty.Send("ACK");
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    EXPECT_TRUE(m_err.contains("device: ")) << m_err.toStdString();
}

// Escape sequences and endless text without line ends: shown visibly, in bounded pieces, each
// once, and never a stream of empty lines.
TEST_F(FlashFault, DeviceTextCannotDriveTheTerminal) {
    Start(2 * 1024 + 1);
    ASSERT_EQ(Packet().size(), 1034);
    m_pty.Send("\x1b[2J\x1b]0;owned\x07"
               "boot\r\n");
    m_pty.Send(QByteArray(10000, 'z'));
    QTest::qWait(200);
    m_pty.Send("\nACK");
    EXPECT_EQ(Parse(Packet()).blocks, std::vector<int>{0x15});
    m_pty.Send("ACK");
    Packet();
    m_pty.Send("ACK");
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    EXPECT_FALSE(m_err.contains(QChar(0x1b))) << "no raw escape reaches the terminal";
    EXPECT_FALSE(m_err.contains(QChar(0x07)));
    EXPECT_TRUE(m_err.contains("device: \\x1b[2J\\x1b]0;owned\\x07boot")) << m_err.toStdString();
    EXPECT_EQ(m_err.count('z'), 10000) << "every piece once";
    EXPECT_FALSE(m_err.contains("device: \n"));
    for (const QString& line : m_err.split('\n')) {
        EXPECT_LE(line.size(), 4200) << "pieces are bounded";
    }
}

// A device that stops reading blocks the flasher's write; a signal still ends the run at once,
// the port closed, with the shell's status for that signal.
class StopSignal : public FlashFault, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsTheRunAtOnceEvenWhileAWriteIsBlocked) {
    Start(241663, {"-b", "300", "-t", "0"});
    for (int i = 0; i < 150; ++i) { // acknowledges everything, reads nothing
        m_pty.Send("ACK");
        QTest::qWait(5);
    }
    QTest::qWait(300);
    ASSERT_EQ(m_flash.state(), QProcess::Running);
    QElapsedTimer timer;
    timer.start();
    ::kill(static_cast<pid_t>(m_flash.processId()), GetParam());
    EXPECT_EQ(Finish(5000), 128 + GetParam()) << m_err.toStdString();
    EXPECT_LT(timer.elapsed(), 1000);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "Int" : "Term"; });

TEST_F(FlashFault, HundredAcksInOneReplyMoveOneBlock) {
    Start(5 * 1024, {"-t", "1"});
    ASSERT_EQ(Packet().size(), 1034);
    QByteArray storm;
    for (int i = 0; i < 100; ++i) {
        storm += "ACK";
    }
    m_pty.Send(storm);
    EXPECT_EQ(Parse(Packet()).blocks, std::vector<int>{0x15});
    EXPECT_EQ(Finish(), 4);
}

TEST_F(FlashFault, ThousandAcksInASecondGiveOneWholeUpdate) {
    Start(241663);
    QByteArray stream = Packet();
    for (int i = 0; i < 1000 && m_flash.state() == QProcess::Running; ++i) {
        m_pty.Send("ACK");
        QTest::qWait(1);
        stream += m_pty.Drain();
    }
    stream += m_pty.Receive(2500);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    const Parsed parsed = Parse(stream);
    EXPECT_EQ(parsed.noise, 0u);
    ASSERT_EQ(parsed.blocks.size(), 236u);
    for (int i = 0; i < 236; ++i) {
        EXPECT_EQ(parsed.blocks[static_cast<std::size_t>(i)], 0x14 + i);
    }
    EXPECT_EQ(parsed.switches, 1);
}

TEST(FlashInput, BaudTheDriverCannotTakeIsRefused) {
    PtyPair pty;
    TempFiles files;
    QProcess flash;
    flash.start(QStringLiteral(TAVREL_FLASH_PATH),
                {"-b", "200000000", "-p", pty.SlavePath(), files.Write("a.bin", "x")});
    ASSERT_TRUE(flash.waitForFinished(10000));
    EXPECT_EQ(flash.exitCode(), 3);
    EXPECT_TRUE(QString(flash.readAllStandardError()).contains("Invalid settings"));
}

} // namespace
