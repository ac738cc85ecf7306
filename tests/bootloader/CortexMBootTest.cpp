// SPDX-License-Identifier: GPL-3.0-or-later
// The reference boot loader on an emulated Cortex-M3 board (QEMU's mps2-an385): tavrel-flash
// writes the program into the board's code memory through it, the program starts from its own
// vector table and says its version, and the memory, read out through QMP, holds the image.
// A program too large for the application section is refused by the boot loader, and the run
// fails saying so.

#include "support/QemuBoard.h"
#include "support/TempFiles.h"

#include <QFile>
#include <QProcess>
#include <functional>
#include <gtest/gtest.h>

namespace {

// The example program, then a pattern up to `size` bytes.
QByteArray ProgramOfSize(qint64 size) {
    const QByteArray program = ReadFile(QemuBoard::Firmware("example-app.bin"));
    return program + PatternBytes(size - program.size(), 9);
}

constexpr int kSection = QemuBoard::kAppEnd - QemuBoard::kAppBase;

struct BoardCase {
    const char* name;
    std::function<QString(TempFiles&)> image;
    std::function<QByteArray()> written; // what the application section must then begin with
    int exitCode;
    const char* said; // on standard error; empty: nothing from the boot loader
};

class CortexMFlash : public ::testing::TestWithParam<BoardCase> {};

TEST_P(CortexMFlash, WritesWhatFitsAndRefusesWhatDoesNot) {
    const BoardCase& c = GetParam();
    TempFiles files;
    QemuBoard board;
    QProcess flash;
    flash.start(QStringLiteral(TAVREL_FLASH_PATH),
                {"-p", board.PortPath(), "-t", "3", "--expect", "v1\\.0 ready", c.image(files)});
    ASSERT_TRUE(flash.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(flash.readAllStandardError());
    EXPECT_EQ(flash.exitCode(), c.exitCode) << err.toStdString();
    if (*c.said == '\0') {
        EXPECT_FALSE(err.contains("tavrel-boot:")) << err.toStdString();
    } else {
        EXPECT_TRUE(err.contains(c.said)) << err.toStdString();
    }
    const QByteArray memory = board.StopAndDumpMemory(QemuBoard::kAppEnd + 4096);
    ASSERT_EQ(memory.size(), QemuBoard::kAppEnd + 4096);
    const QByteArray written = c.written();
    EXPECT_TRUE(memory.mid(QemuBoard::kAppBase, written.size()) == written);
    EXPECT_TRUE(memory.startsWith(ReadFile(QemuBoard::Firmware("tavrel-boot-mps2-an385.bin"))))
        << "the boot loader stays";
    EXPECT_EQ(memory.mid(QemuBoard::kAppEnd), QByteArray(4096, '\0'))
        << "nothing past the application section";
}

INSTANTIATE_TEST_SUITE_P(
    Images, CortexMFlash,
    ::testing::Values(
        // The last block of the largest image that fits ends one byte of padding short of the
        // section's end.
        BoardCase{"LargestThatFits",
                  [](TempFiles& f) { return f.Write("app.bin", ProgramOfSize(kSection - 1)); },
                  [] { return ProgramOfSize(kSection - 1) + QByteArray(1, char(0xFF)); }, 0, ""},
        BoardCase{"IntelHex", [](TempFiles&) { return QemuBoard::Firmware("example-app.hex"); },
                  [] { return ReadFile(QemuBoard::Firmware("example-app.bin")); }, 0, ""},
        // A file of exactly the section's size gets one more block, all FF, which does not fit:
        // every block before it is written, that one is refused, and no ACK comes for it.
        BoardCase{"OneBlockTooMany",
                  [](TempFiles& f) { return f.Write("big.bin", ProgramOfSize(kSection)); },
                  [] { return ProgramOfSize(kSection); }, 4,
                  "tavrel-boot: block 0xF4 lies past the application section (0x038000 bytes)"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
