// SPDX-License-Identifier: GPL-3.0-or-later
// Whole updates from the window into the simulated boot loader over a real pty.
#include "support/Ser2NetProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "support/WindowFixture.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>

namespace {

struct SimTimes {
    std::vector<qint64> blocksUs;
    std::vector<qint64> switchesUs;
};

SimTimes ParseSimLog(const QString& text) {
    SimTimes times;
    static const QRegularExpression line(QStringLiteral("devsim: (\\d+) (block|switch)"));
    for (auto it = line.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        (match.captured(2) == "block" ? times.blocksUs : times.switchesUs)
            .push_back(match.captured(1).toLongLong());
    }
    return times;
}

struct UpdateCase {
    qint64 fileSize;
    int blocks;
    std::vector<int> barValues; // every change of the bar, in order
};

class WholeUpdate : public WindowFixture, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(WholeUpdate, ImageArrivesByteExactThenSwitchAndSuccess) {
    const UpdateCase& c = GetParam();
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out, "-v"});
    const QByteArray content = PatternBytes(c.fileSize, 5);
    OpenPortOn(sim.PortPath());
    ASSERT_TRUE(dlg->m_comm.get_PortOpen());
    SelectImage(files.Write("firmware.bin", content));
    ASSERT_EQ(dlg->m_store.m_lastBlock, c.blocks - 1);

    std::vector<int> bar;
    const QObject recording; // the record ends with this test, not with the dialog
    QObject::connect(Bar(), &QProgressBar::valueChanged, &recording,
                     [&](int v) { bar.push_back(v); });
    Click(IDC_WRITE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.Messages().contains("Updata Successfully!"); },
                                120000))
        << watcher.Messages().join("|").toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Bar()->value() == 0 && dlg->m_store.m_imageReady == 1; }, 5000));
    EXPECT_EQ(bar, c.barValues);
    EXPECT_EQ(watcher.Messages(), QStringList{"Updata Successfully!"});
    EXPECT_EQ(watcher.seen.back().title, "Tavrel_V1.0");
    EXPECT_EQ(watcher.seen.back().icon, QMessageBox::NoIcon);
    EXPECT_EQ(dlg->m_engine.m_currentBlock, 0);
    EXPECT_EQ(dlg->m_engine.m_progressStep, 0);
    // The device acknowledged the last block meanwhile: only logged, nothing more was sent.
    QTest::qWait(200);

    EXPECT_EQ(sim.Stop(), 0);
    QFile received(out);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), PaddedImage(content));

    const SimTimes times = ParseSimLog(sim.ErrorOutput());
    ASSERT_EQ(static_cast<int>(times.blocksUs.size()), c.blocks);
    ASSERT_EQ(times.switchesUs.size(), 1u);
    // The switch leaves at least 1000 ms after the last block, the report at least 500 ms after it
    // (less what the simulator may lag behind in reading the switch on a busy machine).
    EXPECT_GE(times.switchesUs[0] - times.blocksUs.back(), 1000 * 1000 - 50 * 1000);
    EXPECT_GE(watcher.seen.back().shownAtMs * 1000 - times.switchesUs[0], 500 * 1000 - 50 * 1000);
}

INSTANTIATE_TEST_SUITE_P(Images, WholeUpdate,
                         ::testing::Values(UpdateCase{1024, 2, {100, 0}},
                                           UpdateCase{9 * 1024 + 500, 10, {1, 2, 3, 4, 100, 0}},
                                           UpdateCase{241663, 236,
                                                      [] {
                                                          std::vector<int> v;
                                                          for (int i = 1; i <= 100; ++i) {
                                                              v.push_back(i);
                                                          }
                                                          v.push_back(0);
                                                          return v;
                                                      }()}),
                         [](const auto& info) {
                             return "Blocks" + std::to_string(info.param.blocks);
                         });

TEST_F(WindowFixture, OneBlockImageDisarmsAndSendsNoSwitch) {
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out, "-v"});
    const QByteArray content = PatternBytes(700);
    OpenPortOn(sim.PortPath());
    SelectImage(files.Write("tiny.bin", content));
    Click(IDC_WRITE);
    EXPECT_EQ(Button(IDC_WRITE)->text(), "Send end");
    QTest::qWait(300); // the device's ACK arrives and sends nothing
    EXPECT_TRUE(watcher.Messages().isEmpty());
    EXPECT_EQ(dlg->m_store.m_imageReady, 0);
    EXPECT_EQ(Bar()->value(), 0);
    EXPECT_TRUE(Log()->Text().startsWith("ACK"));
    Click(IDC_BOOT_USER); // the hidden switch button, so that the simulator writes what it got
    QTest::qWait(200);
    sim.Stop();
    const SimTimes times = ParseSimLog(sim.ErrorOutput());
    EXPECT_EQ(times.blocksUs.size(), 1u);
    QFile received(out);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), PaddedImage(content));
    EXPECT_EQ(Button(IDC_WRITE)->text(), "Send end") << "the caption is never set back";
}

TEST_F(WindowFixture, EscapeClosesTheWindowDuringATransfer) {
    TempFiles files;
    SimProcess sim({"--ack-delay", "50"});
    OpenPortOn(sim.PortPath());
    SelectImage(files.Write("fw.bin", PatternBytes(50 * 1024)));
    Click(IDC_WRITE);
    QTest::qWait(300);
    ASSERT_GT(dlg->m_engine.m_currentBlock, 0);
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_EQ(finished.count(), 1);
}

// A port on a serial server typed into the port list opens that port; the update runs over it
// as over a local one.
class NetworkPortWindow : public WindowFixture {};

TEST_F(NetworkPortWindow, TypedPortOnASerialServerTakesAWholeUpdate) {
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    Ser2NetProcess server({sim.PortPath()}, Ser2NetProcess::Scheme::Rfc2217);
    dlg->m_portList->lineEdit()->clear();
    QTest::keyClicks(dlg->m_portList->lineEdit(), server.PortName());
    Click(IDC_OPEN_PORT);
    ASSERT_TRUE(dlg->m_comm.get_PortOpen()) << watcher.Messages().join("|").toStdString();
    EXPECT_EQ(dlg->m_comm.DevicePath(), server.PortName());
    const QByteArray content = PatternBytes(5000, 9);
    SelectImage(files.Write("firmware.bin", content));
    Click(IDC_WRITE);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return watcher.Messages().contains("Updata Successfully!"); }, 30000))
        << watcher.Messages().join("|").toStdString();
    EXPECT_EQ(sim.Stop(), 0) << sim.ErrorOutput().toStdString();
    QFile received(out);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), PaddedImage(content));
}

} // namespace
