// SPDX-License-Identifier: GPL-3.0-or-later
// HEX and S-record files as Debian's srec_cat writes them, and as editors, cat and cut copies
// change them: what could flash a wrong image is refused, what is sound loads byte for byte.
#include "update/ImageFormats.h"
#include "support/TempFiles.h"

#include <QProcess>
#include <functional>
#include <gtest/gtest.h>

namespace {

const QByteArray kFirmware = PatternBytes(3000, 7);

// srec_cat's own rendering of kFirmware at 0x08005000.
QByteArray SrecCat(const char* format) {
    TempFiles files;
    const QString in = files.Write("in.bin", kFirmware);
    const QString out = files.Path("out");
    QProcess::execute("srec_cat", {in, "-binary", "-offset", "0x08005000", "-o", out, format});
    QFile file(out);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray WithoutLines(QByteArray text, const QByteArray& start) {
    QList<QByteArray> kept;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.startsWith(start)) {
            kept << line;
        }
    }
    return kept.join('\n');
}

QByteArray EachLineEndsWith(const QByteArray& text, const QByteArray& end) {
    QByteArray out;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty()) {
            out += line + end;
        }
    }
    return out;
}

struct FileCase {
    const char* name;
    std::function<QByteArray(const QByteArray& srec, const QByteArray& hex)> content;
    const char* refusal; // nullptr: loads kFirmware
};

class RecordFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(RecordFile, LoadsByteForByteOrIsRefusedWithTheReason) {
    static const QByteArray srec = SrecCat("-motorola");
    static const QByteArray hex = SrecCat("-intel");
    ASSERT_TRUE(srec.contains("S5") && hex.endsWith(":00000001FF\n")) << "srec_cat is installed";
    TempFiles files;
    const QByteArray path = QFile::encodeName(files.Write("fw", GetParam().content(srec, hex)));
    ImageStore store;
    const FirmwareLoad load = LoadFirmwareFile(store, path);
    if (GetParam().refusal == nullptr) {
        ASSERT_TRUE(load.result.ok) << load.result.message.toStdString();
        EXPECT_EQ(load.result.bytes, kFirmware.size());
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(store.Block(0).data()), 1024),
                  kFirmware.first(1024));
    } else {
        EXPECT_FALSE(load.result.ok);
        EXPECT_TRUE(load.result.message.contains(GetParam().refusal))
            << load.result.message.toStdString();
    }
}

const QByteArray kStart = "S70508005000A2\n";

INSTANTIATE_TEST_SUITE_P(
    Files, RecordFile,
    ::testing::Values(
        FileCase{"SRecordWithCountRecordOnly", [](auto& s, auto&) { return s; }, nullptr},
        FileCase{"SRecordWithoutHeader", [](auto& s, auto&) { return WithoutLines(s, "S0"); },
                 nullptr},
        FileCase{"BlanksAtLineEnds", [](auto& s, auto&) { return EachLineEndsWith(s, " \t\n"); },
                 nullptr},
        FileCase{"CrOnlyLineEnds", [](auto&, auto& h) { return EachLineEndsWith(h, "\r"); },
                 nullptr},
        FileCase{"BlankLinesFirstAndLast", [](auto& s, auto&) { return "\n\r\n" + s + "\n \n"; },
                 nullptr},
        FileCase{"TwoStartAddressesThatAgree", [](auto& s, auto&) { return s + kStart + kStart; },
                 nullptr},
        FileCase{"HexTwoStartAddressesThatAgree",
                 [](auto&, auto& h) {
                     return WithoutLines(h, ":00000001") + "\n:04000005080050009F\n"
                                                           ":04000005080050009F\n:00000001FF\n";
                 },
                 nullptr},
        FileCase{"DosEndOfFileMarkAfterTheEnd", [](auto&, auto& h) { return h + "\x1a"; }, nullptr},
        FileCase{"HexEndRecordTwice", [](auto&, auto& h) { return h + ":00000001FF\n"; }, nullptr},
        FileCase{"ChecksumErrorNamesTheFilesLine",
                 [](auto&, auto& h) {
                     QList<QByteArray> lines = h.split('\n');
                     lines[3][lines[3].size() - 1] = lines[3].endsWith('0') ? '1' : '0';
                     return "\n\n" + lines.join('\n');
                 },
                 "line 6: checksum mismatch"},
        FileCase{"LargerThanTheTextOfAnyImage",
                 [](auto&, auto& h) { return h.left(44) + QByteArray(17 << 20, '\n'); },
                 "larger than the Intel HEX text of any image that fits"},
        FileCase{"HexJoinedWithCat", [](auto&, auto& h) { return h + h; },
                 "line 97 follows the end-of-file record of line 96"},
        FileCase{"TextAfterHexEnd", [](auto&, auto& h) { return h + "\nnotes\n"; }, "srec_cat"},
        FileCase{"SRecordJoinedWithCat", [](auto& s, auto&) { return s + kStart + s; },
                 "follows the termination record"},
        FileCase{"StartAddressesThatDiffer",
                 [](auto& s, auto&) { return s + kStart + "S705080050049E\n"; },
                 "another start address"},
        FileCase{"NoEndAndNoCount", [](auto& s, auto&) { return WithoutLines(s, "S5"); },
                 "may be cut short"},
        FileCase{"CountDisagrees",
                 [](auto& s, auto&) {
                     QList<QByteArray> lines = s.split('\n');
                     lines.removeAt(3);
                     return lines.join('\n');
                 },
                 "says 94 data records, but the file holds 93"},
        FileCase{"HexCutShort", [](auto&, auto& h) { return WithoutLines(h, ":00000001"); },
                 "may be cut short"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
