// SPDX-License-Identifier: GPL-3.0-or-later
// Faults a device or an operator can throw at the window, and what must hold afterwards: no
// crash, no hang beyond the specified waits, the store and the log as specified, the port
// usable again.
#include "sim/StreamParser.h"
#include "support/LockHolder.h"
#include "support/PtyPair.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "support/WindowFixture.h"

#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long ResidentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    return 0;
}

// What the device received, parsed as the simulated boot loader parses it.
struct Received {
    std::vector<int> blockNumbers;
    int switches = 0;
    std::size_t noise = 0;
    void Parse(const QByteArray& stream) {
        devsim::ParserEvents events;
        events.onBlock = [this](std::uint8_t number, const std::uint8_t*) {
            blockNumbers.push_back(number);
        };
        events.onSwitch = [this] { ++switches; };
        events.onNoise = [this](std::size_t n) { noise += n; };
        devsim::StreamParser parser(events);
        parser.Feed(reinterpret_cast<const std::uint8_t*>(stream.constData()),
                    static_cast<std::size_t>(stream.size()));
        parser.Finish();
    }
};

class WindowFault : public WindowFixture {
  protected:
    void StartTransfer(int blocks) {
        OpenPortOn(pty.SlavePath());
        ASSERT_TRUE(dlg->m_comm.get_PortOpen());
        SelectImage(files.Write("fw.bin", PatternBytes(qint64(blocks - 1) * 1024 + 10)));
        Click(IDC_WRITE);
        ASSERT_EQ(pty.Receive(500).size(), 1034);
    }
    PtyPair pty;
    TempFiles files;
};

TEST_F(WindowFault, SilenceWaitsWithoutTimeoutOrMessage) {
    StartTransfer(10);
    QTest::qWait(1500);
    EXPECT_TRUE(watcher.Messages().isEmpty());
    EXPECT_EQ(dlg->m_engine.m_currentBlock, 1) << "still waiting for the ACK of block 0";
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
    pty.Send("ACK");
    EXPECT_EQ(pty.Receive(500).size(), 1034) << "an ACK, however late, moves it on";
}

TEST_F(WindowFault, TenMiBOfNoiseIsLoggedAndAckStillAnswered) {
    StartTransfer(10);
    const long before = ResidentKiB();
    qsizetype entries = 0;  // each adds LF CR to the log
    const QObject counting; // the count ends with this test, not with the dialog
    QObject::connect(&dlg->m_comm, &CMscomm1::OnComm, &counting, [&] { entries += 1; });
    QByteArray noise(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>('!' + i % 90); // printable, never zero
    }
    for (int mib = 0; mib < 10; ++mib) {
        pty.Send(noise);
    }
    const auto logged = [&] {
        return QString(dlg->m_receiveText.Text()).remove(QStringLiteral("\n\r")).size();
    };
    // Counted without reading the whole log back on every look.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->m_receiveText.Size() - 2 * entries >= 10 << 20; },
                                300000))
        << logged();
    EXPECT_TRUE(pty.Receive(200).isEmpty()) << "noise sends nothing";
    pty.Send("ACK");
    EXPECT_EQ(pty.Receive(2000).size(), 1034) << "the window still answers";
    // The log keeps every byte (about 20 MiB of text) and the box shows it; beyond that the
    // window may not grow without bound.
    const long grownMiB = (ResidentKiB() - before) / 1024;
    EXPECT_LT(grownMiB, 400) << "grew by " << grownMiB << " MiB";
    EXPECT_EQ(logged(), (10 << 20) + 3) << "every byte is in the log, the ACK after the noise too";
}

TEST_F(WindowFault, ZeroBytesAndStormsMoveOneBlockPerEvent) {
    StartTransfer(236);
    QByteArray burst;
    for (int i = 0; i < 100; ++i) {
        burst += "ACK";
    }
    pty.Send(burst); // 100 acknowledgements in one event
    Received one;
    one.Parse(pty.Receive(500));
    EXPECT_EQ(one.blockNumbers, std::vector<int>{0x15});
    pty.Send(QByteArray("\0\0ACK", 5)); // zeros first: no acknowledgement
    EXPECT_TRUE(pty.Receive(200).isEmpty());
    EXPECT_TRUE(dlg->m_receiveText.Text().endsWith("\n\r\n\r"))
        << "a leading zero logs an empty entry";
}

TEST_F(WindowFault, ThousandAcksInASecond) {
    StartTransfer(236);
    QByteArray stream;
    for (int i = 0; i < 1000; ++i) {
        pty.Send("ACK");
        QTest::qWait(1);
        stream += pty.Drain();
    }
    QTest::qWait(2500); // the closing waits and the success message run their course
    stream += pty.Receive(300);
    Received received;
    received.Parse(stream);
    EXPECT_EQ(received.noise, 0u) << "every byte sent is part of a whole packet";
    EXPECT_LE(received.blockNumbers.size(), 1000u);
    // The blocks go out in order, each one after the one before, starting over only at 0x14.
    for (std::size_t i = 1; i < received.blockNumbers.size(); ++i) {
        const int previous = received.blockNumbers[i - 1];
        const int current = received.blockNumbers[i];
        EXPECT_TRUE(current == previous + 1 || current == 0x14) << previous << " then " << current;
    }
    EXPECT_GE(dlg->m_receiveText.Text().count(QStringLiteral("ACK")), 1000)
        << "every byte is logged";
    Click(IDC_CLEAR_DATA);
    EXPECT_TRUE(Log()->Text().isEmpty());
}

// Images the store refuses, chosen through the real open-file dialog: a message, and the image
// loaded before stays as it was.
struct ImageFault {
    const char* name;
    std::function<QString(TempFiles&)> make;
    const char* messagePart;
};

class RefusedImage : public WindowFixture, public ::testing::WithParamInterface<ImageFault> {};

TEST_P(RefusedImage, LeavesThePreviousImageLoaded) {
    TempFiles files;
    SelectImage(files.Write("good.bin", PatternBytes(5000)));
    const auto image = dlg->m_store.m_image;
    const QString path = GetParam().make(files);
    std::optional<LockHolder> holder;
    if (QString(GetParam().name) == "Locked") {
        holder.emplace(path, LockHolder::Kind::WholeFile);
        ASSERT_TRUE(holder->Locked());
    }
    SelectImage(path);
    holder.reset();
    ASSERT_EQ(watcher.Messages().size(), 1);
    EXPECT_TRUE(watcher.Messages().front().contains(GetParam().messagePart))
        << watcher.Messages().front().toStdString();
    EXPECT_EQ(dlg->m_store.m_lastBlock, 4);
    EXPECT_TRUE(dlg->m_store.m_image == image);
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedImage,
    ::testing::Values(
        ImageFault{"TooLarge",
                   [](TempFiles& f) { return f.Write("big.bin", PatternBytes(241664)); },
                   "241,663 bytes"},
        ImageFault{"FiveGiB", [](TempFiles& f) { return f.Sparse("huge.bin", 5LL << 30); },
                   "5,368,709,120 bytes"},
        ImageFault{"FourGiBPlus100",
                   [](TempFiles& f) { return f.Sparse("wrap.bin", (4LL << 30) + 100); },
                   "4,294,967,396"},
        ImageFault{"Locked", [](TempFiles& f) { return f.Write("locked.bin", PatternBytes(3000)); },
                   "locked"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file name that is not valid UTF-8 shows with replacement characters in the dialog; it
// still loads, by the name it stands for.
TEST_F(WindowFixture, ImageNameThatIsNotUtf8LoadsThroughTheDialog) {
    TempFiles files;
    const QByteArray name = files.WriteByName("fw-\xff.bin", PatternBytes(3000));
    SelectImage(QFile::decodeName(name));
    EXPECT_TRUE(watcher.Messages().isEmpty()) << watcher.Messages().join("|").toStdString();
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
    EXPECT_EQ(dlg->m_store.m_lastBlock, 2);
}

// Port paths that are not serial ports: a message, the caption stays, and a real port opens after.
class RefusedPort : public WindowFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedPort, ExplainsAndThePortOpensAfterwards) {
    TempFiles files;
    QString path = QString::fromLatin1(GetParam());
    if (path == "regular-file") {
        path = files.Write("not-a-port", "");
    } else if (path == "directory") {
        path = files.Path("");
    }
    OpenPortOn(path);
    ASSERT_EQ(watcher.Messages().size(), 1);
    EXPECT_TRUE(watcher.Messages().front().contains("serial port"))
        << watcher.Messages().front().toStdString();
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Open Port");
    PtyPair pty;
    OpenPortOn(pty.SlavePath());
    EXPECT_TRUE(dlg->m_comm.get_PortOpen());
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Close Port");
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedPort,
                         ::testing::Values("regular-file", "directory", "/dev/null"),
                         [](const auto& info) {
                             return QString(info.param).remove('/').remove('-').toStdString();
                         });

} // namespace
