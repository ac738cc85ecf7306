// SPDX-License-Identifier: GPL-3.0-or-later
// The window's update into the reference boot loader on an emulated ATmega2560: the operator's
// Write ends in the success message, the new program's banner shows in the window's log, and
// the chip's flash holds the image.

#include "support/AvrBoard.h"
#include "support/TempFiles.h"
#include "support/WindowFixture.h"

#include <QFile>

namespace {

class AvrWindow : public WindowFixture {};

TEST_F(AvrWindow, WriteEndsInSuccessAndTheNewProgramSpeaks) {
    TempFiles files;
    AvrBoard board;
    QFile program(AvrBoard::Firmware("example-app.bin"));
    ASSERT_TRUE(program.open(QIODevice::ReadOnly));
    const QByteArray image = program.readAll() + PatternBytes(5000, 3);
    OpenPortOn(board.PortPath());
    ASSERT_TRUE(dlg->m_comm.get_PortOpen());
    SelectImage(files.Write("app.bin", image));
    Click(IDC_WRITE);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return watcher.Messages().contains("Updata Successfully!"); }, 60000))
        << watcher.Messages().join("|").toStdString();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return dlg->m_receiveText.Text().contains("Tavrel example v1.0 ready"); }, 5000))
        << dlg->m_receiveText.Text().toStdString();
    EXPECT_FALSE(dlg->m_receiveText.Text().contains("tavrel-boot:"));
    const QByteArray flash = board.StopAndDumpFlash();
    ASSERT_EQ(flash.size(), 256 * 1024);
    EXPECT_TRUE(flash.left(image.size()) == image);
}

} // namespace
