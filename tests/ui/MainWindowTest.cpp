// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as the operator meets it: layout, start-up state, data exchange, close paths.
#include "app/CAboutDlg.h"
#include "app/CTavrel_V10App.h"
#include "support/PtyPair.h"
#include "support/TempFiles.h"
#include "support/WindowFixture.h"
#include "ui/DialogUnits.h"

#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

class MainWindow : public WindowFixture {};

TEST_F(MainWindow, StartsAsTheTemplateSays) {
    EXPECT_EQ(dlg->windowTitle(), "Kallix-UPDATA  V2.0");
    EXPECT_TRUE(Log()->Text().isEmpty());
    EXPECT_EQ(QApplication::focusWidget(), Log());
    EXPECT_EQ(dlg->m_portList->count(), 15);
    EXPECT_EQ(dlg->m_portList->currentText(), "com 1");
    EXPECT_EQ(dlg->m_portList->itemText(14), "com 15");
    QStringList bauds;
    for (int i = 0; i < dlg->m_baudList->count(); ++i) {
        bauds << dlg->m_baudList->itemText(i);
    }
    EXPECT_EQ(bauds, QStringList({"115200", "1200", "19200", "2400", "300", "38400", "43000",
                                  "4800", "56000", "57600", "600", "9600"}));
    EXPECT_EQ(dlg->m_baudList->currentText(), "115200");
    EXPECT_EQ(dlg->m_store.m_imageReady, 0);
    EXPECT_EQ(dlg->m_engine.m_currentBlock, 0);
    EXPECT_EQ(dlg->m_engine.m_progressStep, 0);
    EXPECT_EQ(Bar()->value(), 0);
    EXPECT_FALSE(dlg->m_comm.get_PortOpen());
}

struct ControlCase {
    int id;
    const char* caption;
    bool visible;
    int x, y, w, h;
};

class ControlLayout : public MainWindow, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlLayout, SitsAtItsTemplateRectangle) {
    const ControlCase& c = GetParam();
    QWidget* control = dlg->GetDlgItem(c.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->isVisible(), c.visible);
    if (auto* button = qobject_cast<QPushButton*>(control)) {
        EXPECT_EQ(button->text(), QString::fromUtf8(c.caption));
        EXPECT_FALSE(button->isDefault());
    }
    const DialogUnits units(dlg->font());
    EXPECT_EQ(control->geometry(), units.ToPixels(c.x, c.y, c.w, c.h));
    dlg->showMaximized();
    QCoreApplication::processEvents();
    EXPECT_EQ(control->geometry(), units.ToPixels(c.x, c.y, c.w, c.h)) << "resizing moves nothing";
}

INSTANTIATE_TEST_SUITE_P(Controls, ControlLayout,
                         ::testing::Values(ControlCase{1000, "", true, 11, 15, 274, 100},
                                           ControlCase{1001, "", false, 300, 42, 20, 23},
                                           ControlCase{1002, "", true, 14, 169, 48, 15},
                                           ControlCase{1003, "", true, 14, 207, 48, 16},
                                           ControlCase{1004, "Open Port", true, 107, 165, 59, 17},
                                           ControlCase{1005, "发送数据", false, 291, 103, 31, 17},
                                           ControlCase{1006, "Clear Data", true, 231, 203, 63, 17},
                                           ControlCase{1007, "Exit", false, 167, 186, 35, 16},
                                           ControlCase{1010, "Select  bin", true, 107, 204, 59, 17},
                                           ControlCase{1009, "Write", true, 231, 164, 64, 17},
                                           ControlCase{1011, "boot_user切换", false, 206, 181, 19,
                                                       17},
                                           ControlCase{1012, "", true, 10, 132, 283, 12}));

TEST_F(MainWindow, LabelsAndGroupBoxesCarryTheirCaptions) {
    QStringList labels;
    for (QLabel* label : dlg->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        labels << label->text();
    }
    EXPECT_EQ(labels, QStringList({"Port", "Baud rate", "1", "2", "3", "4"}));
    QStringList groups;
    for (QGroupBox* group : dlg->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) {
        groups << group->title() + (group->isVisible() ? "" : " (hidden)");
    }
    EXPECT_EQ(groups, QStringList({"Data", "发送 (hidden)"}));
}

TEST_F(MainWindow, TabFromTheLogMovesToThePortList) {
    Log()->setFocus();
    QTest::keyClick(Log(), Qt::Key_Tab);
    EXPECT_TRUE(dlg->m_portList->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == dlg->m_portList);
}

// The limit counts the log's own characters, the CR of every line end included, and what the
// operator edits keeps the log's line ends when it is taken back.
TEST_F(MainWindow, LogLimitCountsLineEndsAndEditingKeepsThem) {
    const QString entries = QString("x\n\r").repeated(600); // 1800 characters, 1200 shown
    dlg->m_receiveText.Assign(entries);
    dlg->UpdateData(false);
    Log()->moveCursor(QTextCursor::End);
    QTest::keyClicks(Log(), QString(300, 'y'));
    Click(IDC_SEND_DATA);
    EXPECT_EQ(dlg->m_receiveText.Text(), entries + QString(248, 'y'));
    EXPECT_TRUE(watcher.Messages().isEmpty());

    dlg->m_receiveText.Assign(QString("x\n\r").repeated(700)); // 2100 characters
    dlg->UpdateData(false);
    Log()->moveCursor(QTextCursor::End);
    QTest::keyClick(Log(), Qt::Key_Backspace);
    Click(IDC_SEND_DATA);
    EXPECT_EQ(dlg->m_receiveText.Size(), 2099);
    EXPECT_EQ(watcher.Messages(), QStringList{"Please enter no more than 2048 characters."});
}

TEST_F(MainWindow, LogScrollsSidewaysWithoutAHorizontalBar) {
    EXPECT_EQ(Log()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(Log()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    Log()->setFocus();
    QTest::keyClicks(Log(), QString(400, 'w'));
    EXPECT_GT(Log()->horizontalScrollBar()->value(), 0) << "the end of a long line is in view";
}

// Every system-menu command other than About gets the window's usual handling.
TEST_F(MainWindow, SystemCommandsOtherThanAboutWorkAsUsual) {
    dlg->OnSysCommand(SC_MAXIMIZE);
    EXPECT_TRUE(dlg->isMaximized());
    dlg->OnSysCommand(SC_RESTORE);
    EXPECT_FALSE(dlg->isMaximized());
    dlg->OnSysCommand(SC_MINIMIZE);
    EXPECT_TRUE(dlg->isMinimized());
    dlg->OnSysCommand(SC_RESTORE);
    EXPECT_FALSE(dlg->isMinimized());
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    dlg->OnSysCommand(SC_CLOSE);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Rejected);
}

// The tool stores nothing, not even the file dialog's history.
TEST_F(MainWindow, SelectBinStoresNothing) {
    QTemporaryDir home;
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    TempFiles files;
    SelectImage(files.Write("fw.bin", PatternBytes(100)));
    qputenv("XDG_CONFIG_HOME", oldConfig);
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
    EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

// Command-line arguments are ignored, Qt's own too: "-platform" naming no platform would end
// the program at once if it were taken.
TEST(Application, IgnoresTheCommandLine) {
    QProcess window;
    window.start(QStringLiteral(TAVREL_WINDOW_PATH),
                 {"-platform", "no-such-platform", "-reverse", "firmware.bin"});
    ASSERT_TRUE(window.waitForStarted(5000));
    EXPECT_FALSE(window.waitForFinished(1500)) << window.readAllStandardError().toStdString();
    window.kill();
    window.waitForFinished(5000);
}

TEST_F(MainWindow, TypingIntoTheLogStopsAtItsLimitButReceivedTextDoesNot) {
    dlg->m_receiveText.Assign(QString(2047, 'x'));
    dlg->UpdateData(false);
    Log()->moveCursor(QTextCursor::End);
    QTest::keyClicks(Log(), "abc");
    EXPECT_EQ(Log()->Text().size(), 2048);
    dlg->m_receiveText.Assign(QString(5000, 'y'));
    dlg->UpdateData(false);
    EXPECT_EQ(Log()->Text().size(), 5000) << "the program's text is never cut";
}

TEST_F(MainWindow, EscapeClosesWithCancel) {
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Rejected);
}

TEST_F(MainWindow, EnterInAListClosesWithOkWhenTheExchangeSucceeds) {
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    dlg->m_portList->setFocus();
    dlg->m_portList->lineEdit()->clear();
    QTest::keyClicks(dlg->m_portList, "co"); // no completion may take the Enter that follows
    QTest::keyClick(dlg->m_portList, Qt::Key_Return);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Accepted);
}

TEST_F(MainWindow, HiddenExitClosesThePortFirst) {
    PtyPair pty;
    OpenPortOn(pty.SlavePath());
    ASSERT_TRUE(dlg->m_comm.get_PortOpen());
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    Click(IDC_EXIT);
    EXPECT_FALSE(dlg->m_comm.get_PortOpen());
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Rejected);
}

// Once the log is past 2048 characters every save-direction exchange warns, and the action
// that asked for it still runs to its end.
TEST_F(MainWindow, LengthWarningOnEverySaveExchangeOnceTheLogIsLong) {
    PtyPair pty;
    dlg->m_receiveText.Assign(QString(2049, 'z'));
    dlg->UpdateData(false);
    const QString warning = "Please enter no more than 2048 characters.";

    OpenPortOn(pty.SlavePath());
    EXPECT_EQ(watcher.Messages(), QStringList{warning}) << "Open Port";
    EXPECT_EQ(watcher.seen.back().icon, QMessageBox::Warning);
    EXPECT_EQ(watcher.seen.back().title, "Tavrel_V1.0");
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Close Port") << "the action still runs to its end";
    EXPECT_EQ(dlg->focusWidget(), Log());
    EXPECT_EQ(Log()->textCursor().selectedText().size(), 2049);

    TempFiles files;
    SelectImage(files.Write("one.bin", "tiny"));
    Click(IDC_WRITE); // a one-block image disarms: the exchange runs
    EXPECT_EQ(watcher.Messages().size(), 2) << "disarming Write";
    EXPECT_EQ(Button(IDC_WRITE)->text(), "Send end");

    Click(IDC_OPEN_PORT);
    EXPECT_EQ(watcher.Messages().size(), 3) << "Close Port";
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Open Port");

    QSignalSpy finished(dlg.get(), &QDialog::finished);
    dlg->m_portList->setFocus();
    QTest::keyClick(dlg->m_portList, Qt::Key_Return);
    EXPECT_EQ(watcher.Messages().size(), 4) << "Enter in a list";
    EXPECT_EQ(finished.count(), 0) << "the window stays open";

    Click(IDC_CLEAR_DATA);
    dlg->m_portList->setFocus();
    QTest::keyClick(dlg->m_portList, Qt::Key_Return);
    EXPECT_EQ(finished.count(), 1) << "after Clear Data the exchange succeeds";
    EXPECT_EQ(watcher.Messages().size(), 4);
}

TEST_F(MainWindow, EnterOnAFocusedButtonClicksIt) {
    dlg->m_receiveText.Assign("text");
    dlg->UpdateData(false);
    Button(IDC_CLEAR_DATA)->setFocus();
    QTest::keyClick(Button(IDC_CLEAR_DATA), Qt::Key_Return);
    EXPECT_TRUE(dlg->m_receiveText.Text().isEmpty());
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(MainWindow, AboutBoxOpensClosesAndOpensAgain) {
    dlg->OnSysCommand(IDM_ABOUTBOX);
    QTest::keyClick(dlg.get(), Qt::Key_F1);
    ASSERT_EQ(watcher.seen.size(), 2u);
    for (const SeenModal& s : watcher.seen) {
        EXPECT_EQ(s.kind, "about");
        EXPECT_EQ(s.title, "关于 Tavrel_V2.0");
    }
    dlg->OnSysCommand(0xF020); // a standard command (minimise) opens nothing here
    EXPECT_EQ(watcher.seen.size(), 2u);
}

TEST_F(MainWindow, RefusedImageLeavesThePreviousOneLoaded) {
    TempFiles files;
    SelectImage(files.Write("good.bin", PatternBytes(3000)));
    ASSERT_EQ(dlg->m_store.m_lastBlock, 2);
    const auto image = dlg->m_store.m_image;
    SelectImage(files.Write("big.bin", PatternBytes(241664)));
    ASSERT_EQ(watcher.Messages().size(), 1);
    EXPECT_TRUE(watcher.Messages().front().contains("241,663 bytes"));
    EXPECT_EQ(dlg->m_store.m_lastBlock, 2);
    EXPECT_TRUE(dlg->m_store.m_image == image);
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
}

TEST_F(MainWindow, SelectBinOffersTheBinFilterAndCancelChangesNothing) {
    watcher.AnswerFileDialog({});
    Click(IDC_SELECT_BIN);
    ASSERT_EQ(watcher.seen.size(), 1u);
    EXPECT_EQ(watcher.seen.front().text, "bin文件(*.bin)");
    EXPECT_EQ(dlg->m_store.m_imageReady, 0);
}

TEST_F(MainWindow, SeveralMarkedFilesLoadTheFirst) {
    TempFiles files;
    const QString first = files.Write("a.bin", QByteArray(1500, 'a'));
    const QString second = files.Write("b.bin", QByteArray(5000, 'b'));
    watcher.AnswerFileDialog({first, second});
    Click(IDC_SELECT_BIN);
    EXPECT_EQ(dlg->m_store.m_lastBlock, 1);
    EXPECT_EQ(dlg->m_store.m_image[20][0], 'a');
}

// Opening writes the seven properties in this order, whatever the lists show.
TEST_F(MainWindow, OpenPortWritesPropertiesInOrder) {
    PtyPair pty;
    QStringList writes;
    QObject::connect(
        &dlg->m_comm, &CMscomm1::PropertyWritten,
        [&](const QString& name, const QString& value) { writes << name + "=" + value; });
    dlg->m_baudList->SetCurSel(6); // "43000"
    OpenPortOn(pty.SlavePath(), 15);
    EXPECT_EQ(writes,
              QStringList({"CommPort=15", "InputMode=1", "Settings=43000,n,8,1", "InputLen=5000",
                           "RThreshold=1", "RTSEnable=true", "PortOpen=true"}));
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Close Port");
    writes.clear();
    Click(IDC_OPEN_PORT);
    EXPECT_EQ(writes, QStringList({"PortOpen=false"}));
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Open Port");
    Click(IDC_OPEN_PORT);
    EXPECT_TRUE(dlg->m_comm.get_PortOpen()) << "a third press opens again";
}

TEST_F(MainWindow, RefusedPortShowsTheControlsMessageAndKeepsOpenPort) {
    OpenPortOn("/dev/ttyNOPE0", 3);
    ASSERT_EQ(watcher.Messages().size(), 1);
    EXPECT_TRUE(watcher.Messages().front().startsWith("No such port"))
        << watcher.Messages().front().toStdString();
    EXPECT_EQ(Button(IDC_OPEN_PORT)->text(), "Open Port");
}

TEST_F(MainWindow, NoSelectionInAListOpensNothing) {
    dlg->m_portList->SetCurSel(-1);
    Click(IDC_OPEN_PORT);
    dlg->m_portList->SetCurSel(0);
    dlg->m_baudList->SetCurSel(-1);
    Click(IDC_OPEN_PORT);
    EXPECT_EQ(watcher.Messages(),
              QStringList({"Select a port from the list, then open the port.",
                           "Select a baud rate from the list, then open the port."}));
    EXPECT_FALSE(dlg->m_comm.get_PortOpen());
}

// What the lists' fields show is what opens: a typed rate or port is used as it stands, and
// typed text that is neither opens nothing.
struct TypedCase {
    const char* name;
    const char* port; // typed into the port list; "PTY" stands for the test's pty, "" keeps com 1
    const char* baud; // typed into the baud list; "" keeps the selection
    const char* settings; // written to the control; "" when nothing may open
    const char* message;  // shown instead, when nothing opens
};

class TypedIntoList : public WindowFixture, public ::testing::WithParamInterface<TypedCase> {};

TEST_P(TypedIntoList, OpensWhatTheFieldsShow) {
    const TypedCase& c = GetParam();
    PtyPair pty;
    // The selected com 1 is the pty only where the port list is left as it is.
    qputenv("TAVREL_COM1", QString(c.port).isEmpty() ? pty.SlavePath().toLocal8Bit()
                                                     : QByteArray("/dev/ttyNOPE1"));
    qputenv("TAVREL_COM16", pty.SlavePath().toLocal8Bit());
    auto type = [](SortedComboBox* list, QString text) {
        if (!text.isEmpty()) {
            list->lineEdit()->clear();
            QTest::keyClicks(list->lineEdit(), text);
        }
    };
    type(dlg->m_portList, QString(c.port).replace("PTY", pty.SlavePath()));
    type(dlg->m_baudList, c.baud);
    QStringList writes;
    QObject::connect(&dlg->m_comm, &CMscomm1::PropertyWritten,
                     [&](const QString& name, const QString& value) {
                         if (name == "Settings") {
                             writes << value;
                         }
                     });
    Click(IDC_OPEN_PORT);
    qunsetenv("TAVREL_COM16");
    if (QString(c.settings).isEmpty()) {
        EXPECT_EQ(watcher.Messages(), QStringList{c.message});
        EXPECT_FALSE(dlg->m_comm.get_PortOpen());
        return;
    }
    EXPECT_TRUE(watcher.Messages().isEmpty()) << watcher.Messages().join("|").toStdString();
    EXPECT_EQ(writes, QStringList{c.settings});
    ASSERT_TRUE(dlg->m_comm.get_PortOpen());
    EXPECT_EQ(dlg->m_comm.DevicePath(), pty.SlavePath());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TypedIntoList,
    ::testing::Values(TypedCase{"Com16", "com 16", "", "115200,n,8,1", ""},
                      TypedCase{"DevicePath", "PTY", "", "115200,n,8,1", ""},
                      TypedCase{"Rate250000", "", "250000", "250000,n,8,1", ""},
                      TypedCase{"Rate921600", "", "921600", "921600,n,8,1", ""},
                      TypedCase{"WordsForRate", "", "fast", "",
                                "Select a baud rate from the list, then open the port."},
                      TypedCase{"WordsForPort", "comx", "", "",
                                "Select a port from the list, then open the port."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, PortListTooltipsSayWhatEachComNumberIs) {
    qputenv("TAVREL_COM4", "/dev/pts/99");
    dlg->m_portList->showPopup();
    dlg->m_portList->hidePopup();
    qunsetenv("TAVREL_COM4");
    EXPECT_EQ(dlg->m_portList->itemData(3, Qt::ToolTipRole).toString(),
              "com 4: /dev/pts/99 [TAVREL_COM4]");
}

TEST_F(MainWindow, WriteWithoutPortShowsTheControlsMessageAndKeepsState) {
    TempFiles files;
    SelectImage(files.Write("img.bin", PatternBytes(5000)));
    Click(IDC_WRITE);
    ASSERT_EQ(watcher.Messages().size(), 1);
    EXPECT_TRUE(watcher.Messages().front().contains("Open the port first"));
    EXPECT_EQ(dlg->m_engine.m_currentBlock, 0);
    EXPECT_EQ(dlg->m_store.m_imageReady, 1);
    EXPECT_EQ(Button(IDC_WRITE)->text(), "Write");
}

TEST(Application, NameIsTheExecutablesFileNameWithoutExtension) {
    EXPECT_EQ(CTavrel_V10App::NameFromExecutable("/usr/bin/Tavrel_V1.0"), "Tavrel_V1.0");
    EXPECT_EQ(CTavrel_V10App::NameFromExecutable("C:/tools/Tavrel_V1.0.exe"), "Tavrel_V1.0");
    EXPECT_EQ(CTavrel_V10App::NameFromExecutable("/opt/flash"), "flash");
}

} // namespace

namespace {

TEST(AboutBox, ShowsNameVersionAndOk) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "关于 Tavrel_V2.0");
    QStringList texts;
    for (QLabel* label : about.findChildren<QLabel*>()) {
        texts << label->text();
    }
    EXPECT_TRUE(texts.contains("Tavrel_V2.0，2.0 版"));
    EXPECT_TRUE(texts.contains("Firmware updater 1.0.0.1"));
    auto* ok = about.findChild<QPushButton*>("1");
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "确定");
    EXPECT_TRUE(ok->isDefault());
}

} // namespace
