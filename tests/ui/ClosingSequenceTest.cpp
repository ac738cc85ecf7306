// SPDX-License-Identifier: GPL-3.0-or-later
// What the window does around the end of an update and when the image or the port changes
// under it: replies in the closing sequence are logged and answered with nothing, a new image
// starts the transfer over, a lost port always leaves a way on, and a device that restarts after
// the switch packet is a success. Against the simulated boot loader on a real pty.
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "support/WindowFixture.h"

#include <QFile>
#include <QRegularExpression>

namespace {

int CountOf(const QString& text, const QString& what) {
    return static_cast<int>(text.count(what));
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class ClosingSequence : public WindowFixture {
  protected:
    bool WaitForSuccess(int msecs = 30000) {
        return QTest::qWaitFor([&] { return watcher.Messages().contains("Updata Successfully!"); },
                               msecs);
    }
    TempFiles files;
};

// The device acknowledges the last block while the window waits before the switch packet, and
// its new program greets 200 ms after the switch and again 3 s later. Every byte is logged; the
// device is sent nothing after the switch packet.
TEST_F(ClosingSequence, RepliesAfterTheLastBlockAreLoggedAndAnsweredWithNothing) {
    SimProcess sim({"-v", "--ack-suffix", "\\r\\n", "--after-switch", "200:app: started\\r\\n",
                    "--after-switch", "3000:app: running\\r\\n"});
    OpenPortOn(sim.PortPath());
    SelectImage(files.Write("fw.bin", PatternBytes(9 * 1024 + 7)));
    Click(IDC_WRITE);
    ASSERT_TRUE(WaitForSuccess());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dlg->m_receiveText.Text().contains("app: running"); }, 10000));
    QTest::qWait(300);
    const QString log = dlg->m_receiveText.Text();
    EXPECT_EQ(CountOf(log, "ACK"), 10) << log.toStdString();
    EXPECT_EQ(CountOf(log, "app: started"), 1);
    EXPECT_EQ(watcher.Messages(), QStringList{"Updata Successfully!"});
    EXPECT_EQ(sim.Stop(), 0) << sim.Summary().toStdString();
    const QString verbose = sim.ErrorOutput();
    EXPECT_EQ(CountOf(verbose, " block 0x"), 10);
    EXPECT_TRUE(verbose.trimmed().endsWith("switch packet")) << "nothing after the switch";
}

// A new image loaded at block 20 of a 60-block transfer: the device ends with exactly the new
// image, never a mix of the two.
class NewImageMidTransfer : public ClosingSequence, public ::testing::WithParamInterface<int> {};

TEST_P(NewImageMidTransfer, StartsOverWithTheNewImage) {
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out, "--ack-delay", "15"});
    OpenPortOn(sim.PortPath());
    SelectImage(files.Write("old.bin", PatternBytes(59 * 1024 + 1, 1)));
    Click(IDC_WRITE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->m_engine.m_currentBlock >= 20; }, 10000));
    const QByteArray fresh = PatternBytes(qint64(GetParam() - 1) * 1024 + 3, 2);
    SelectImage(files.Write("new.bin", fresh));
    EXPECT_LE(Bar()->value(), 1) << "the bar starts over with the transfer";
    ASSERT_TRUE(WaitForSuccess());
    EXPECT_EQ(sim.Stop(), 0) << sim.Summary().toStdString();
    EXPECT_EQ(ReadAll(out), PaddedImage(fresh));
}

INSTANTIATE_TEST_SUITE_P(Sizes, NewImageMidTransfer, ::testing::Values(10, 100),
                         [](const auto& info) { return "Blocks" + std::to_string(info.param); });

// The port goes away during the transfer or during the closing waits: the operator is told
// where it stopped and what to do, and Write after reopening writes the whole image.
struct LossCase {
    const char* name;
    int blocks;
    int hangupAfter;
    const char* told;
};

class LostPort : public ClosingSequence, public ::testing::WithParamInterface<LossCase> {};

TEST_P(LostPort, IsReportedOnceAndWriteAfterReopeningWritesTheWholeImage) {
    const LossCase& c = GetParam();
    const QByteArray image = PatternBytes(qint64(c.blocks - 1) * 1024 + 1);
    SelectImage(files.Write("fw.bin", image));
    {
        SimProcess sim({"--hangup-after", QString::number(c.hangupAfter)});
        OpenPortOn(sim.PortPath());
        Click(IDC_WRITE);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.Messages().isEmpty(); }, 10000));
        QTest::qWait(300);
        ASSERT_EQ(watcher.Messages().size(), 1) << watcher.Messages().join("|").toStdString();
        const QString message = watcher.Messages().front();
        EXPECT_TRUE(message.contains("was lost")) << message.toStdString();
        EXPECT_TRUE(message.contains(c.told)) << message.toStdString();
        EXPECT_TRUE(message.contains("press Write to start the update over"));
        EXPECT_FALSE(dlg->m_comm.get_PortOpen());
        EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Open Port");
    }
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    OpenPortOn(sim.PortPath());
    ASSERT_TRUE(dlg->m_comm.get_PortOpen());
    Click(IDC_WRITE);
    ASSERT_TRUE(WaitForSuccess());
    EXPECT_EQ(sim.Stop(), 0) << sim.Summary().toStdString();
    EXPECT_EQ(ReadAll(out), PaddedImage(image));
}

INSTANTIATE_TEST_SUITE_P(
    Points, LostPort,
    ::testing::Values(LossCase{"MidTransfer", 10, 3, "stopped at block 4 of 10"},
                      LossCase{"BeforeTheSwitch", 3, 3, "All 3 blocks were sent"}),
    [](const auto& info) { return std::string(info.param.name); });

// Many USB boot loaders drop the port when they start the new program.
TEST_F(ClosingSequence, DeviceThatClosesThePortAfterTheSwitchIsASuccess) {
    SimProcess sim({"--exit-on-switch"});
    OpenPortOn(sim.PortPath());
    SelectImage(files.Write("fw.bin", PatternBytes(3000)));
    Click(IDC_WRITE);
    ASSERT_TRUE(WaitForSuccess());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->m_comm.get_PortOpen(); }, 5000));
    QTest::qWait(200);
    EXPECT_EQ(watcher.Messages(), QStringList{"Updata Successfully!"});
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Open Port");
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
}

} // namespace
