// SPDX-License-Identifier: GPL-3.0-or-later
// What the device says, as the window logs it and as it moves the engine. The test plays the
// device on the master side of a pty, one write per receive event.
#include "support/PtyPair.h"
#include "support/TempFiles.h"
#include "support/WindowFixture.h"

#include <QScrollBar>

namespace {

class ReceivePath : public WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        OpenPortOn(pty.SlavePath());
        ASSERT_TRUE(dlg->m_comm.get_PortOpen());
    }
    // One write from the device, handled as its own receive event.
    void DeviceSays(const QByteArray& bytes) {
        const qsizetype before = events;
        pty.Send(bytes);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return events > before && dlg->m_comm.get_InBufferCount() == 0; }, 5000));
        QTest::qWait(30);
    }
    void CountEvents() {
        QObject::connect(&dlg->m_comm, &CMscomm1::OnComm, [this] { ++events; });
    }
    PtyPair pty;
    qsizetype events = 0;
};

struct LogCase {
    const char* name;
    std::vector<QByteArray> events;
    QString log;
};

class LogEntries : public ReceivePath, public ::testing::WithParamInterface<LogCase> {};

TEST_P(LogEntries, EachEventIsOneEntryEndingInLfCr) {
    CountEvents();
    for (const QByteArray& bytes : GetParam().events) {
        DeviceSays(bytes);
    }
    EXPECT_EQ(dlg->m_receiveText.Text(), GetParam().log);
    EXPECT_EQ(Log()->Text(), GetParam().log) << "the box shows the whole log";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LogEntries,
    ::testing::Values(LogCase{"Ack", {"ACK"}, "ACK\n\r"},
                      LogCase{"ZeroEndsTheText", {QByteArray("AB\0CD", 5)}, "AB\n\r"},
                      LogCase{"LeadingZero", {QByteArray("\0ACK", 4)}, "\n\r"},
                      LogCase{"SplitAck", {"AC", "K"}, "AC\n\rK\n\r"},
                      LogCase{"NotValidText",
                              {QByteArray("\xff\xfe ok", 5)},
                              QString::fromUtf8("\xef\xbf\xbd\xef\xbf\xbd ok\n\r")},
                      LogCase{"Utf8", {"温度 OK"}, QString::fromUtf8("温度 OK\n\r")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReceivePath, FiveThousandBytesInOneEventAreAllLogged) {
    CountEvents();
    QByteArray bytes = "ACK";
    bytes += QByteArray(4997, 'x');
    DeviceSays(bytes);
    // A pty hands over at most 4095 bytes at a time, so this may come as two events.
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg->m_receiveText.Size() >= 5002; }, 3000));
    EXPECT_TRUE(dlg->m_receiveText.Text().endsWith("\n\r"));
    EXPECT_EQ(QString(dlg->m_receiveText.Text()).remove("\n\r"), QString::fromLatin1(bytes));
}

TEST_F(ReceivePath, MoreThanInputLenIsLoggedInSeveralEntriesWithNothingLost) {
    CountEvents();
    const QByteArray bytes(12000, 'q');
    DeviceSays(bytes);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return dlg->m_receiveText.Text().count('q') == 12000; }, 3000));
    EXPECT_EQ(dlg->m_receiveText.Text().count('q'), 12000);
}

TEST_F(ReceivePath, ClearDataEmptiesAndTheNextEventStartsAfresh) {
    CountEvents();
    DeviceSays("hello");
    Click(IDC_CLEAR_DATA);
    EXPECT_TRUE(Log()->Text().isEmpty());
    Click(IDC_CLEAR_DATA);
    DeviceSays("ACK");
    EXPECT_EQ(dlg->m_receiveText.Text(), "ACK\n\r");
}

TEST_F(ReceivePath, TypedTextIsReplacedByTheNextEventUnlessSaved) {
    CountEvents();
    Log()->setFocus();
    QTest::keyClicks(Log(), "note");
    DeviceSays("ACK");
    EXPECT_EQ(dlg->m_receiveText.Text(), "ACK\n\r");
    EXPECT_EQ(Log()->Text(), "ACK\n\r");
}

// The engine moves one block per event that begins with "ACK", and nothing else.
TEST_F(ReceivePath, OnlyEventsBeginningWithAckSendBlocks) {
    CountEvents();
    TempFiles files;
    SelectImage(files.Write("fw.bin", PatternBytes(5 * 1024)));
    Click(IDC_WRITE);
    ASSERT_EQ(pty.Receive(500).size(), 1034) << "block 0";
    DeviceSays("AC");
    DeviceSays("K");
    EXPECT_TRUE(pty.Receive(100).isEmpty()) << "a split ACK stalls";
    DeviceSays("ACKACK");
    const QByteArray block1 = pty.Receive(500);
    ASSERT_EQ(block1.size(), 1034) << "two in one event send one block";
    EXPECT_EQ(static_cast<std::uint8_t>(block1[7]), 0x15);
    Click(IDC_BOOT_USER);
    EXPECT_EQ(pty.Receive(500), QByteArray("\xAA\xBB\x47\xD4\xE5\xFF\x00\xFF\x5A\x5B\x5C\x5D", 12));
    DeviceSays("ACK");
    EXPECT_EQ(static_cast<std::uint8_t>(pty.Receive(500)[7]), 0x16) << "the switch changed nothing";
    Click(IDC_WRITE);
    EXPECT_EQ(static_cast<std::uint8_t>(pty.Receive(500)[7]), 0x14) << "Write starts over";
}

TEST_F(ReceivePath, AckBeforeAnyLoadIsOnlyLogged) {
    CountEvents();
    DeviceSays("ACK");
    EXPECT_TRUE(pty.Receive(100).isEmpty());
    EXPECT_EQ(dlg->m_receiveText.Text(), "ACK\n\r");
}

TEST_F(ReceivePath, LogRefreshAppendsWithoutRewritingTheBox) {
    CountEvents();
    dlg->m_receiveText.Assign(QString(100000, 'L'));
    dlg->UpdateData(false);
    int contentsChanges = 0;
    int removed = 0;
    const QMetaObject::Connection counting =
        QObject::connect(Log()->document(), &QTextDocument::contentsChange, [&](int, int r, int) {
            ++contentsChanges;
            removed += r;
        });
    DeviceSays("ACK");
    EXPECT_EQ(removed, 0) << "nothing of the shown log was rewritten";
    EXPECT_TRUE(Log()->Text().endsWith("LACK\n\r"));
    QObject::disconnect(counting); // the counters end here, the dialog later
}

// After a receive event the box shows the log from its first line, as it always has, also when
// the operator had scrolled it down.
TEST_F(ReceivePath, EachReceiveEventShowsTheLogFromItsFirstLine) {
    CountEvents();
    DeviceSays(QByteArray("boot: line\n").repeated(100));
    QTest::qWait(100); // the box's next repaint
    QScrollBar* bar = Log()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(bar->maximum());
    DeviceSays("boot: ready\n");
    EXPECT_EQ(bar->value(), 0);
}

} // namespace

namespace {

// Text the program sets is all the box holds, also when log text waited for the next repaint.
TEST(LogBox, TextSetByTheProgramLeavesNoLogTextWaiting) {
    LimitedTextEdit box;
    box.show();
    DataLog log;
    box.ShowLog(log);
    log.Append(u"ACK\n\r");
    box.ShowLog(log); // waits for the next repaint
    box.SetProgramText(QString());
    EXPECT_EQ(box.Text(), QString());
    QTest::qWait(100);
    EXPECT_EQ(box.toPlainText(), QString());
}

} // namespace
