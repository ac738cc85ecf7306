// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator as a process on a real pty, fed by the tool's own packet builder.
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "update/Packets.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The tool's side of the pty, opened raw.
class PtyEnd {
  public:
    explicit PtyEnd(const QString& path) {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
        termios tio{};
        tcgetattr(m_fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~PtyEnd() { ::close(m_fd); }
    bool Ok() const { return m_fd >= 0; }
    void Send(const QByteArray& bytes) {
        ASSERT_EQ(::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size())),
                  bytes.size());
    }
    // Everything that arrives within `msecs` of quiet.
    QByteArray Receive(int msecs) {
        QByteArray got;
        pollfd p{m_fd, POLLIN, 0};
        while (::poll(&p, 1, msecs) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.append(buffer, n);
        }
        return got;
    }

  private:
    int m_fd = -1;
};

std::array<std::uint8_t, 1024> BlockOf(const QByteArray& image, int index) {
    std::array<std::uint8_t, 1024> block{};
    std::memcpy(block.data(), image.constData() + index * 1024, 1024);
    return block;
}

TEST(DevSim, AnswersBuiltPacketsAndWritesImageByteExact) {
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    PtyEnd pty(sim.PortPath());
    ASSERT_TRUE(pty.Ok());
    const QByteArray image = PaddedImage(PatternBytes(2500));
    for (int b = 0; b < 3; ++b) {
        pty.Send(BuildBlockPacket(static_cast<std::uint8_t>(b), BlockOf(image, b)));
        EXPECT_EQ(pty.Receive(300), QByteArray("ACK")) << "block " << b;
    }
    pty.Send(BuildSwitchPacket());
    EXPECT_EQ(pty.Receive(300), QByteArray()) << "the switch packet gets no answer";
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(sim.Summary(), "devsim: 3 blocks, 3072 bytes, switch seen, 0 noise bytes");
    QFile received(out);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), image);
}

struct FaultCase {
    const char* name;
    QStringList arguments;
    QByteArray expectedReplies; // to two blocks
};

class DevSimFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DevSimFaultTest, AnswersAsConfigured) {
    SimProcess sim(GetParam().arguments);
    PtyEnd pty(sim.PortPath());
    QByteArray replies;
    const std::array<std::uint8_t, 1024> block{};
    for (int b = 0; b < 2; ++b) {
        pty.Send(BuildBlockPacket(static_cast<std::uint8_t>(b), block));
        replies += pty.Receive(250);
    }
    EXPECT_EQ(replies, GetParam().expectedReplies);
}

INSTANTIATE_TEST_SUITE_P(
    Options, DevSimFaultTest,
    ::testing::Values(FaultCase{"Plain", {}, "ACKACK"},
                      FaultCase{"Suffix", {"--ack-suffix", "\\r\\n"}, "ACK\r\nACK\r\n"},
                      FaultCase{"SilentAfterOne", {"--silent-after", "1"}, "ACK"},
                      FaultCase{"SplitAck", {"--split-ack"}, "ACKACK"},
                      FaultCase{"Noise",
                                {"--noise"},
                                "boot: flash sector erased, waiting for data\r\nACK"
                                "boot: flash sector erased, waiting for data\r\nACK"}),
    [](const auto& info) { return std::string(info.param.name); });

// The simulator is a strict reference: blocks out of order, an update that never finished and
// an image it cannot write make it fail with the reason; a new update replaces the old one.
struct SequenceCase {
    const char* name;
    std::vector<int> packets; // block indices; -1 for the switch packet
    QStringList arguments;
    int exitCode;
    const char* reason;
    int outBlocks; // blocks in --out at the end; -1 not checked
};

class DevSimSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(DevSimSequence, JudgesTheUpdate) {
    const SequenceCase& c = GetParam();
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim(c.arguments.isEmpty() ? QStringList{"--out", out} : c.arguments);
    PtyEnd pty(sim.PortPath());
    std::array<std::uint8_t, 1024> block{};
    for (int packet : c.packets) {
        block.fill(static_cast<std::uint8_t>(packet));
        pty.Send(packet < 0 ? BuildSwitchPacket()
                            : BuildBlockPacket(static_cast<std::uint8_t>(packet), block));
        pty.Receive(60);
    }
    EXPECT_EQ(sim.Stop(), c.exitCode) << sim.Summary().toStdString();
    EXPECT_TRUE(sim.ErrorOutput().contains(c.reason)) << sim.Summary().toStdString();
    if (c.outBlocks >= 0) {
        QFile received(out);
        ASSERT_TRUE(received.open(QIODevice::ReadOnly));
        EXPECT_EQ(received.size(), c.outBlocks * 1024);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Updates, DevSimSequence,
    ::testing::Values(
        SequenceCase{"ShorterSecondUpdateReplacesTheFirst", {0, 1, 2, -1, 0, -1}, {}, 0, "", 1},
        SequenceCase{"RestartMidUpdate", {0, 1, 2, 0, 1, -1}, {}, 0, "", 2},
        SequenceCase{"SkippedBlock", {0, 2, -1}, {}, 1, "block 0x16 came after block 0x14", -1},
        SequenceCase{"RepeatedBlock", {0, 1, 1, -1}, {}, 1, "block 0x15 came after block 0x15", -1},
        SequenceCase{"FirstBlockMissing", {1, -1}, {}, 1, "came before block 0x14", -1},
        SequenceCase{"NeverFinished", {0, 1, -1, 0, 1}, {}, 1, "never finished: 2 blocks", -1},
        SequenceCase{"OutCannotBeWritten",
                     {0, -1},
                     {"--out", "/dev/full"},
                     1,
                     "cannot write /dev/full",
                     -1}),
    [](const auto& info) { return std::string(info.param.name); });

// A peer that never reads blocks the simulator's answers; a signal still ends it at once.
TEST(DevSim, StopsAtOnceWhileItsWritesAreBlocked) {
    SimProcess sim({"--ack-suffix", QString(60000, 'y')}); // 180 KB of answers to 3 blocks
    PtyEnd pty(sim.PortPath());
    std::array<std::uint8_t, 1024> block{};
    for (int b = 0; b < 3; ++b) {
        pty.Send(BuildBlockPacket(static_cast<std::uint8_t>(b), block));
    }
    QThread::msleep(300);
    QElapsedTimer timer;
    timer.start();
    sim.Stop();
    EXPECT_LT(timer.elapsed(), 1000);
}

TEST(DevSim, CountsNoiseAndFailsExitStatus) {
    SimProcess sim;
    PtyEnd pty(sim.PortPath());
    pty.Send("hello");
    const std::array<std::uint8_t, 1024> block{};
    pty.Send(BuildBlockPacket(0, block));
    EXPECT_EQ(pty.Receive(300), QByteArray("ACK"));
    pty.Send(BuildSwitchPacket());
    pty.Receive(100);
    EXPECT_EQ(sim.Stop(), 1);
    EXPECT_EQ(sim.Summary(), "devsim: 1 blocks, 1024 bytes, switch seen, 5 noise bytes");
}

TEST(DevSim, HangsUpAfterNthBlock) {
    SimProcess sim({"--hangup-after", "1"});
    PtyEnd pty(sim.PortPath());
    const std::array<std::uint8_t, 1024> block{};
    pty.Send(BuildBlockPacket(0, block));
    ASSERT_TRUE(sim.WaitForExit(5000));
    EXPECT_NE(sim.ExitCode(), 0) << "no switch was seen";
}

TEST(DevSim, PacesAnswersAtTheGivenBaud) {
    SimProcess sim({"--baud", "9600"}); // 1034 bytes take 1077 ms at 9600 baud
    PtyEnd pty(sim.PortPath());
    const std::array<std::uint8_t, 1024> block{};
    QElapsedTimer timer;
    timer.start();
    pty.Send(BuildBlockPacket(0, block));
    EXPECT_EQ(pty.Receive(2000), QByteArray("ACK"));
    EXPECT_GE(timer.elapsed(), 1070);
}

TEST(DevSim, ExitsOnSwitchWhenAsked) {
    SimProcess sim({"--exit-on-switch"});
    PtyEnd pty(sim.PortPath());
    const std::array<std::uint8_t, 1024> block{};
    pty.Send(BuildBlockPacket(0, block));
    pty.Receive(200);
    pty.Send(BuildSwitchPacket());
    ASSERT_TRUE(sim.WaitForExit(5000));
    EXPECT_EQ(sim.ExitCode(), 0);
}

} // namespace
