// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-flash as scripts run it: a process against the simulated boot loader on a pty.
#include "support/LockHolder.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

struct FlashRun {
    int exitCode = -1;
    QString out;
    QString err;
};

FlashRun RunFlash(const QStringList& arguments, int timeoutMs = 60000) {
    QProcess process;
    process.start(QStringLiteral(TAVREL_FLASH_PATH), arguments);
    FlashRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

class FlashImage : public ::testing::TestWithParam<qint64> {};

TEST_P(FlashImage, WritesByteExactAndExitsZero) {
    TempFiles files;
    const QByteArray content = PatternBytes(GetParam(), 11);
    const QString image = files.Write("fw.bin", content);
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    const FlashRun run = RunFlash({"-p", sim.PortPath(), image});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const int blocks = int(GetParam() / 1024 + 1);
    EXPECT_TRUE(
        run.err.contains(QStringLiteral("Wrote %1 bytes (%2 blocks) to %3 at 115200 baud in ")
                             .arg(GetParam())
                             .arg(blocks)
                             .arg(sim.PortPath())))
        << run.err.toStdString();
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ReadFile(out), PaddedImage(content));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlashImage, ::testing::Values(1, 1024, 3000, 241663),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

// The environment names the port: com 7 through TAVREL_COM7, and the default port through
// TAVREL_PORT, which -v names as the one source.
TEST(Flash, PortNamedByTheEnvironment) {
    TempFiles files;
    const QByteArray content = PatternBytes(5000);
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    qputenv("TAVREL_COM7", sim.PortPath().toLocal8Bit());
    const FlashRun byCom = RunFlash({"-p", "com 7", files.Write("fw.bin", content)});
    qunsetenv("TAVREL_COM7");
    EXPECT_EQ(byCom.exitCode, 0) << byCom.err.toStdString();
    EXPECT_EQ(ReadFile(out), PaddedImage(content));
    qputenv("TAVREL_PORT", sim.PortPath().toLocal8Bit());
    const FlashRun byDefault = RunFlash({"-v", files.Path("fw.bin")});
    qunsetenv("TAVREL_PORT");
    EXPECT_TRUE(
        byDefault.err.contains(QStringLiteral("%1 is %1 (TAVREL_PORT)").arg(sim.PortPath())) &&
        !byDefault.err.contains("(the command line)"))
        << byDefault.err.toStdString();
}

// With several ports every line names its port, and the summary's columns stay in line for a
// name of any length.
TEST(Flash, SeveralPortsNameEachLineAndKeepTheColumns) {
    TempFiles files;
    SimProcess sims({"--count", "2"});
    const QString longName = files.Path("fixture-slot-with-a-rather-long-stable-name-3");
    ASSERT_TRUE(QFile::link(sims.PortPaths()[1], longName));
    const FlashRun run =
        RunFlash({"-p", sims.PortPaths()[0], "-p", longName, files.Write("fw.bin", "x")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString shortName = sims.PortPaths()[0];
    EXPECT_TRUE(run.err.contains(shortName + ": The device acknowledged the last block.") &&
                run.err.contains(longName + ": The device acknowledged the last block."))
        << run.err.toStdString();
    const qsizetype resultColumn = run.err.section("\nPORT ", 1).indexOf("RESULT") + 5;
    for (const QString& name : {shortName, longName}) {
        EXPECT_EQ(run.err.section('\n' + name + ' ', 1).indexOf("passed") + name.size() + 1,
                  resultColumn)
            << run.err.toStdString();
    }
}

// Device behaviour the flasher copes with, and what it must say.
struct DeviceCase {
    const char* name;
    QStringList simArguments;
    QStringList flashArguments;
    int exitCode;
    const char* errorPart;
};

class FlashDevice : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(FlashDevice, ExitsWithItsStatus) {
    TempFiles files;
    const QString image = files.Write("fw.bin", PatternBytes(6000));
    SimProcess sim(GetParam().simArguments);
    const FlashRun run =
        RunFlash(QStringList{"-p", sim.PortPath(), image} + GetParam().flashArguments);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::fromUtf8(GetParam().errorPart))) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Devices, FlashDevice,
    ::testing::Values(
        DeviceCase{
            "SplitAckIsJoined", {"--split-ack"}, {}, 0, "The device acknowledged the last block."},
        DeviceCase{
            "AckWithLineEnd", {"--ack-suffix", "\\r\\n"}, {}, 0, "Wrote 6000 bytes (6 blocks)"},
        DeviceCase{"NoiseLinesAreShown", {"--noise"}, {}, 0, "device: boot: flash sector erased"},
        DeviceCase{"SilentNamesTheBlock",
                   {"--silent-after", "2"},
                   {"-t", "0.5"},
                   4,
                   "no ACK for block 2 (number 0x16) within 0.5 s"},
        DeviceCase{"HangUp", {"--hangup-after", "2"}, {}, 5, "was lost"},
        DeviceCase{"ClosesThePortAfterTheSwitch",
                   {"--exit-on-switch"},
                   {},
                   0,
                   "The device closed the port after the switch packet"},
        DeviceCase{"ExpectMeetsTheNewProgram",
                   {"--after-switch", "300:app v2 ready\\r\\n"},
                   {"--expect", "v2 ready"},
                   0,
                   "The new program said: v2 ready"},
        DeviceCase{"ModemLinesOnAPtyAreRefusedBeforeAnyBlock",
                   {"--silent-after", "0"},
                   {"--before", "reset-dtr"},
                   3,
                   "cannot set DTR: Inappropriate ioctl for device; no block was sent"},
        DeviceCase{"ExpectWithoutAnAnswer",
                   {},
                   {"--expect", "ready", "--expect-within", "0.5"},
                   7,
                   "the new program did not say ready within 0.5 s"},
        DeviceCase{"HangUpBeforeTheSwitch",
                   {"--hangup-after", "6"},
                   {},
                   5,
                   "was lost after 6 of 6 blocks"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    std::function<QStringList(TempFiles&)> arguments;
    int exitCode;
    const char* errorPart;
};

class FlashRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(FlashRefusal, ExitsWithItsStatusAndMessage) {
    TempFiles files;
    const FlashRun run = RunFlash(GetParam().arguments(files));
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::fromUtf8(GetParam().errorPart))) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FlashRefusal,
    ::testing::Values(
        RefusalCase{"NoImage",
                    [](TempFiles&) {
                        return QStringList{"-p", "/dev/null"};
                    },
                    1, "no IMAGE given"},
        RefusalCase{"UnknownOption",
                    [](TempFiles&) {
                        return QStringList{"--fast", "x.bin"};
                    },
                    1, "unknown option --fast"},
        RefusalCase{"UnknownFormat",
                    [](TempFiles&) {
                        return QStringList{"--format", "elf", "x.bin"};
                    },
                    1, "--format needs bin, hex or srec"},
        RefusalCase{"BadBaud",
                    [](TempFiles&) {
                        return QStringList{"-b", "fast", "x.bin"};
                    },
                    1, "needs a baud rate"},
        RefusalCase{"MissingImage",
                    [](TempFiles& f) {
                        return QStringList{"-p", "/dev/null", f.Path("none.bin")};
                    },
                    2, "No such file or directory"},
        RefusalCase{
            "TooLarge",
            [](TempFiles& f) {
                return QStringList{"-p", "/dev/null", f.Write("big.bin", PatternBytes(241664))};
            },
            2, "the largest image that fits is 241,663 bytes"},
        RefusalCase{"MissingPort",
                    [](TempFiles& f) {
                        return QStringList{"-p", "/dev/ttyNOPE7", f.Write("a.bin", "x")};
                    },
                    3, "tavrel-flash: /dev/ttyNOPE7 does not exist."},
        RefusalCase{
            "RateNoPortRuns",
            [](TempFiles& f) {
                return QStringList{"-b", "2147483647", "-p", "/dev/null", f.Write("a.bin", "x")};
            },
            3, "the port does not run at 2147483647 baud"},
        RefusalCase{"TraceIsTheLog",
                    [](TempFiles& f) {
                        return QStringList{"-p",
                                           "/dev/null",
                                           "--log",
                                           f.Path("out.jsonl"),
                                           "--trace",
                                           f.Path("./out.jsonl"),
                                           f.Write("a.bin", "x")};
                    },
                    1, "the trace and the log are one file"},
        RefusalCase{"PortIsARegularFile",
                    [](TempFiles& f) {
                        return QStringList{"-p", f.Write("port", ""), f.Write("a.bin", "x")};
                    },
                    3, "is not a serial port (a regular file)"},
        // A script's unset variable or a pattern that swallows the image: a usage error, and
        // nothing is opened.
        RefusalCase{"EmptyPort",
                    [](TempFiles& f) {
                        return QStringList{"-p", "", f.Write("a.bin", "x")};
                    },
                    1, "-p needs a port, and an empty name is none"},
        RefusalCase{"EmptyLog",
                    [](TempFiles& f) {
                        return QStringList{"-p", "/dev/null", "--log", "", f.Write("a.bin", "x")};
                    },
                    1, "--log needs a file"},
        RefusalCase{"EmptyTrace",
                    [](TempFiles& f) {
                        return QStringList{"-p", "/dev/null", "--trace", "", f.Write("a.bin", "x")};
                    },
                    1, "--trace needs a file"},
        RefusalCase{"EmptyWatch",
                    [](TempFiles& f) {
                        return QStringList{"--watch", "", f.Write("a.bin", "x")};
                    },
                    1, "--watch is followed by an empty pattern"},
        RefusalCase{"WatchSwallowsTheImage",
                    [](TempFiles&) {
                        return QStringList{"--watch", "fw[1].bin"};
                    },
                    1, "--watch took fw[1].bin as the pattern"},
        RefusalCase{"BaseWithALeadingZero",
                    [](TempFiles& f) {
                        return QStringList{"--base", "010", f.Write("a.hex", "x")};
                    },
                    1, "--base needs an address in decimal or 0x hex"},
        RefusalCase{"EmptyImage",
                    [](TempFiles& f) {
                        return QStringList{"-p", "/dev/null", f.Write("a.bin", "")};
                    },
                    2, "the image is empty"},
        RefusalCase{"ExpectWithinAlone",
                    [](TempFiles& f) {
                        return QStringList{"--expect-within", "3", "-p", "/dev/null",
                                           f.Write("a.bin", "x")};
                    },
                    1, "--expect-within gives the time for --expect"},
        RefusalCase{"MissingSlotsFile",
                    [](TempFiles& f) {
                        return QStringList{"--slots", f.Path("none.txt"), "-p", "/dev/null",
                                           f.Write("a.bin", "x")};
                    },
                    1, "none.txt: it does not exist"},
        RefusalCase{"PortIsDevNull",
                    [](TempFiles& f) {
                        return QStringList{"-p", "/dev/null", f.Write("a.bin", "x")};
                    },
                    3, "/dev/null: it is a device, but not a serial port"}),
    [](const auto& info) { return std::string(info.param.name); });

// A port another program holds is refused by name, also for root, whom the kernel's exclusive
// open does not stop; the simulated device's own hold on its pty is no rival.
TEST(Flash, PortAnotherProgramHoldsIsRefusedByName) {
    TempFiles files;
    SimProcess sim;
    QProcess holder;
    holder.setStandardInputFile(sim.PortPath());
    holder.start(QStringLiteral("sleep"), {"30"});
    ASSERT_TRUE(holder.waitForStarted());
    const qint64 pid = holder.processId();
    const FlashRun run =
        RunFlash({"-p", sim.PortPath(), files.Write("fw.bin", PatternBytes(3000))});
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(run.exitCode, 3) << run.err.toStdString();
    EXPECT_TRUE(
        run.err.contains(QStringLiteral("is in use by another program, sleep (PID %1)").arg(pid)))
        << run.err.toStdString();
}

TEST(Flash, LockedImageExitsTwo) {
    TempFiles files;
    const QString image = files.Write("fw.bin", PatternBytes(3000));
    LockHolder holder(image, LockHolder::Kind::WholeFile);
    ASSERT_TRUE(holder.Locked());
    const FlashRun run = RunFlash({"-p", "/dev/null", image});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.contains("another program has locked the file")) << run.err.toStdString();
}

TEST(Flash, SwitchOnlySendsTheSwitchPacketAlone) {
    SimProcess sim({"-v"});
    const FlashRun run = RunFlash({"-p", sim.PortPath(), "--switch-only"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(sim.Stop(), 1) << "no block came first";
    EXPECT_EQ(sim.Summary(), "devsim: 0 blocks, 0 bytes, switch seen, 0 noise bytes");
}

TEST(Flash, TraceShowsBothDirections) {
    TempFiles files;
    SimProcess sim;
    const QString trace = files.Path("trace.txt");
    const FlashRun run = RunFlash(
        {"-p", sim.PortPath(), "--trace", trace, files.Write("fw.bin", PatternBytes(1500))});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList lines = QString::fromLatin1(ReadFile(trace)).split('\n', Qt::SkipEmptyParts);
    QStringList kinds;
    for (const QString& line : lines) {
        kinds << line.section(' ', 1, 2, QString::SectionSkipEmpty);
    }
    EXPECT_EQ(kinds,
              QStringList({"-- Write", "TX 1034", "RX 3", "TX 1034", "RX 3", "TX 12", "-- Updata"}))
        << lines.join("\n").toStdString();
    EXPECT_TRUE(lines[1].contains("aabb47d4e5ff0014")) << "hex of the first packet";
    EXPECT_TRUE(lines[2].endsWith("414b43  |ACK|") || lines[2].endsWith("41434b  |ACK|"))
        << lines[2].toStdString();
}

TEST(Flash, JsonLinesParseAndDoneCarriesTheCounts) {
    TempFiles files;
    SimProcess sim;
    const FlashRun run =
        RunFlash({"--json", "-p", sim.PortPath(), files.Write("fw.bin", PatternBytes(3000))});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList events;
    QJsonObject done;
    for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        events << doc.object().value("event").toString();
        if (events.last() == "done") {
            done = doc.object();
        }
    }
    EXPECT_EQ(events, QStringList({"start", "block", "block", "block", "done", "summary"}));
    EXPECT_EQ(done.value("bytes").toInt(), 3000);
    EXPECT_EQ(done.value("blocks").toInt(), 3);
    EXPECT_TRUE(done.value("last_block_acknowledged").toBool());
}

TEST(Flash, JsonErrorEvent) {
    TempFiles files;
    const FlashRun run = RunFlash({"--json", "-p", "/dev/ttyNOPE1", files.Write("fw.bin", "x")});
    EXPECT_EQ(run.exitCode, 3);
    QJsonObject error;
    for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
        error = record.value("event") == QStringLiteral("error") ? record : error;
    }
    EXPECT_EQ(error.value("exit_code").toInt(), 3);
    EXPECT_EQ(error.value("failure").toString(), "port");
}

// Toolchains' formats, written as a linker would: 16 data bytes a record, with an extended
// linear address record wherever the upper half of the address changes (Intel HEX), or with
// 32-bit addresses (S-record, S3).
QByteArray IntelHex(const QByteArray& data, quint32 address, int corruptRecord = -1,
                    bool end = true) {
    QByteArray hex;
    auto record = [&](quint8 type, quint16 offset, const QByteArray& bytes) {
        QByteArray raw;
        raw += char(bytes.size());
        raw += char(offset >> 8);
        raw += char(offset & 0xFF);
        raw += char(type);
        raw += bytes;
        quint8 sum = 0;
        for (char c : raw) {
            sum += quint8(c);
        }
        raw += char(quint8(0x100 - sum) + (corruptRecord-- == 0 ? 1 : 0));
        hex += ":" + raw.toHex().toUpper() + "\r\n";
    };
    quint32 upper = 0xFFFFFFFF;
    for (qsizetype at = 0; at < data.size(); at += 16) {
        const quint32 here = address + quint32(at);
        if (here >> 16 != upper) {
            upper = here >> 16;
            record(0x04, 0,
                   QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
        }
        record(0x00, quint16(here & 0xFFFF), data.mid(at, 16));
    }
    if (end) {
        record(0x01, 0, {});
    }
    return hex;
}

QByteArray SRecord(const QByteArray& data, quint32 address) {
    QByteArray text = "S00600004844521B\n";
    for (qsizetype at = 0; at < data.size(); at += 16) {
        const quint32 here = address + quint32(at);
        const QByteArray bytes = data.mid(at, 16);
        QByteArray raw;
        raw += char(bytes.size() + 5);
        for (int shift = 24; shift >= 0; shift -= 8) {
            raw += char((here >> shift) & 0xFF);
        }
        raw += bytes;
        quint8 sum = 0;
        for (char c : raw) {
            sum += quint8(c);
        }
        raw += char(~sum);
        text += "S3" + raw.toHex().toUpper() + "\n";
    }
    return text + "S70500000000FA\n";
}

// The same firmware as raw binary, Intel HEX and S-record reaches the device byte for byte;
// --format bin flashes a file's own bytes whatever it looks like or is named.
TEST(Flash, EveryFormatReachesTheDeviceByteForByte) {
    struct FormatCase {
        const char* name;
        QByteArray content;
        QStringList extra;
        QByteArray expected;
        const char* said; // what the run says of the image
    };
    TempFiles files;
    const QByteArray firmware = PatternBytes(70 * 1024 + 9); // crosses a 64 KiB boundary
    const quint32 base = 0x0800F000;
    const char* range = "addresses 0x0800F000 to 0x08020808, 71689 bytes";
    const QByteArray hexLike = IntelHex(PatternBytes(64), 0);
    const QByteArray named = PatternBytes(3000);
    for (const FormatCase& c : {
             FormatCase{"fw.bin", firmware, {}, firmware, "binary, 71689 bytes"},
             FormatCase{"fw.hex", IntelHex(firmware, base), {}, firmware, range},
             FormatCase{"fw.srec", SRecord(firmware, base), {}, firmware, range},
             FormatCase{"looks-like.bin", hexLike, {"--format", "bin"}, hexLike, "binary"},
             FormatCase{"named.hex", named, {"--format", "bin"}, named, "binary"},
         }) {
        const QString out = files.Path(QStringLiteral("out-%1").arg(c.name));
        SimProcess sim({"--out", out});
        const FlashRun run = RunFlash(QStringList{"-p", sim.PortPath()} + c.extra +
                                      QStringList{files.Write(c.name, c.content)});
        EXPECT_EQ(run.exitCode, 0) << c.name << run.err.toStdString();
        EXPECT_EQ(sim.Stop(), 0);
        EXPECT_EQ(ReadFile(out), PaddedImage(c.expected)) << c.name;
        EXPECT_TRUE(run.err.contains(c.said)) << c.name << run.err.toStdString();
    }
}

// A damaged or impossible addressed file is refused with the reason, as any image that cannot
// be loaded: status 2, nothing sent.
struct FormatRefusal {
    const char* name;
    QByteArray content;
    QStringList extra;
    const char* reason;
};

class FormatRefused : public ::testing::TestWithParam<FormatRefusal> {};

TEST_P(FormatRefused, ExitsTwoWithTheReason) {
    TempFiles files;
    const FlashRun run = RunFlash(QStringList{"-p", "/dev/null"} + GetParam().extra +
                                  QStringList{files.Write("fw.hex", GetParam().content)});
    EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(GetParam().reason)) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Files, FormatRefused,
    ::testing::Values(
        FormatRefusal{"Checksum", IntelHex(PatternBytes(100), 0, 2), {}, "checksum"},
        FormatRefusal{"OverlapWithOtherData",
                      IntelHex(PatternBytes(64, 1), 0x100, -1, false) +
                          IntelHex(PatternBytes(64, 2), 0x120),
                      {},
                      "multiple 0x00000120 values"},
        FormatRefusal{"TooLarge",
                      IntelHex("a", 0x08000000, -1, false) + IntelHex("b", 0x08040000),
                      {},
                      "addresses 0x08000000 to 0x08040000 make 262145 bytes"},
        FormatRefusal{"NoEndRecord", IntelHex(PatternBytes(64), 0, -1, false), {}, "end"},
        FormatRefusal{"GarbageLine",
                      IntelHex(PatternBytes(32), 0).replace(":10001000", "#garbage\r\n:10001000"),
                      {},
                      "line 3 is garbage, not an Intel HEX record"},
        FormatRefusal{
            "BinaryNamedHex",
            PatternBytes(100),
            {},
            "the name says Intel HEX, but the file does not begin with an Intel HEX line"},
        FormatRefusal{"ByteOrderMark",
                      "\xEF\xBB\xBF" + IntelHex(PatternBytes(32), 0),
                      {},
                      "begins with a byte order mark"},
        FormatRefusal{"ForcedFormatOtherContent",
                      SRecord(PatternBytes(32), 0),
                      {"--format", "hex"},
                      "--format hex, but the file begins like S-record"},
        FormatRefusal{"BelowBase",
                      SRecord(PatternBytes(64), 0x1000),
                      {"--base", "0x2000"},
                      "data at 0x00001000 lies below --base 0x00002000"}),
    [](const auto& info) { return std::string(info.param.name); });

// A stop signal while an update waits: Ctrl-C, or a closed terminal (SIGHUP), which ends a run
// as SIGTERM does; a station run writes a record for the stopped board and prints the summary.
// A stop after the switch packet leaves a written image, and the record says so.
struct StopCase {
    const char* name;
    int signal;
    bool station;
    bool afterSwitch; // stopped while the new program's text is waited for
    const char* said;
};

class StopSignal : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopSignal, StopsCleanlyWithTheSignalsStatus) {
    const StopCase& c = GetParam();
    TempFiles files;
    const QString received = files.Path("received.bin");
    SimProcess sim(c.afterSwitch ? QStringList{"--out", received}
                                 : QStringList{"--silent-after", "1"});
    const QString log = files.Path("log.jsonl");
    QProcess flash;
    flash.start(
        QStringLiteral(TAVREL_FLASH_PATH),
        QStringList{"-t", "0", "-p", sim.PortPath(), files.Write("fw.bin", PatternBytes(9000))} +
            (c.afterSwitch ? QStringList{"--expect", "READY", "--expect-within", "30"}
                           : QStringList{}) +
            (c.station ? QStringList{"--log", log} : QStringList{}));
    ASSERT_TRUE(flash.waitForStarted());
    // The stop comes while the update waits for an ACK, or once the device has the switch
    // packet (its image written out).
    QThread::msleep(500);
    const QDeadlineTimer deadline(20000);
    while (c.afterSwitch && !QFileInfo::exists(received) && !deadline.hasExpired()) {
        QThread::msleep(20);
    }
    ::kill(static_cast<pid_t>(flash.processId()), c.signal);
    ASSERT_TRUE(flash.waitForFinished(5000));
    EXPECT_EQ(flash.exitCode(), 128 + c.signal);
    const QString err = flash.readAllStandardError();
    EXPECT_TRUE(err.contains(c.said)) << err.toStdString();
    if (c.station) {
        const QJsonObject record =
            QJsonDocument::fromJson(ReadFile(log).trimmed().split('\n').last()).object();
        EXPECT_TRUE(record.value("reason").toString().contains(c.said));
        EXPECT_EQ(record.value("stopped_by").toString(), c.signal == SIGINT ? "SIGINT" : "SIGHUP");
        EXPECT_EQ(record.value("last_block_acknowledged").toBool(), c.afterSwitch);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopSignal,
    ::testing::Values(StopCase{"CtrlC", SIGINT, false, false, "stopped by Ctrl-C"},
                      StopCase{"HangUp", SIGHUP, false, false, "stopped by SIGHUP"},
                      StopCase{"HangUpStation", SIGHUP, true, false, "stopped by SIGHUP"},
                      StopCase{"AfterTheSwitchStation", SIGINT, true, true,
                               "the image was written and the switch packet sent; then the run "
                               "was stopped"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every way a --json run ends, a refused command line included, ends with a record that
// carries the exit status; and no output may be one of the inputs.
struct EndCase {
    const char* name;
    std::function<QStringList(TempFiles&)> arguments;
    int exitCode;
};

class JsonEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(JsonEnd, LastLineIsARecordWithTheExitStatus) {
    TempFiles files;
    const QString image = files.Write("fw.bin", PatternBytes(3000));
    const FlashRun run = RunFlash(QStringList{"--json"} + GetParam().arguments(files));
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err.toStdString();
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty()) << run.err.toStdString();
    const QJsonObject last = QJsonDocument::fromJson(lines.last().toUtf8()).object();
    EXPECT_EQ(last.value("exit_code").toInt(-1), GetParam().exitCode) << lines.last().toStdString();
    EXPECT_EQ(ReadFile(image), PatternBytes(3000)) << "the image is never harmed";
}

INSTANTIATE_TEST_SUITE_P(
    Ends, JsonEnd,
    ::testing::Values(EndCase{"TimeoutNan",
                              [](TempFiles& f) {
                                  return QStringList{"-t", "nan", f.Path("fw.bin")};
                              },
                              1},
                      EndCase{"TimeoutInf",
                              [](TempFiles& f) {
                                  return QStringList{"-t", "inf", f.Path("fw.bin")};
                              },
                              1},
                      EndCase{"TimeoutNegative",
                              [](TempFiles& f) {
                                  return QStringList{"-t", "-1", f.Path("fw.bin")};
                              },
                              1},
                      EndCase{"TraceIsTheImage",
                              [](TempFiles& f) {
                                  return QStringList{"-p", "/dev/null", "--trace", f.Path("fw.bin"),
                                                     f.Path("fw.bin")};
                              },
                              1},
                      EndCase{"TraceCannotBeOpened",
                              [](TempFiles& f) {
                                  return QStringList{"-p", "/dev/null", "--trace",
                                                     f.Path("no/such/dir"), f.Path("fw.bin")};
                              },
                              1},
                      EndCase{"NoImage",
                              [](TempFiles&) {
                                  return QStringList{"-p", "/dev/null"};
                              },
                              1},
                      EndCase{"MissingImage",
                              [](TempFiles& f) { return QStringList{f.Path("nope.bin")}; }, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// Output that can no longer be written (a reader that went away) never stops an update.
TEST(Flash, ClosedOutputPipeDoesNotStopTheUpdate) {
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    const QByteArray image = PatternBytes(30 * 1024);
    const QString command =
        QStringLiteral("'%1' --json -p '%2' '%3' | head -n1 >/dev/null; "
                       "echo \"status ${PIPESTATUS[0]}\"")
            .arg(TAVREL_FLASH_PATH, sim.PortPath(), files.Write("fw.bin", image));
    QProcess shell;
    shell.start("bash", {"-c", command});
    ASSERT_TRUE(shell.waitForFinished(60000));
    EXPECT_EQ(QString(shell.readAllStandardOutput()).trimmed(), "status 0");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ReadFile(out), PaddedImage(image));
}

// A trace that cannot be written is reported once; the update goes on and its status stands.
TEST(Flash, UnwritableTraceIsReportedOnce) {
    TempFiles files;
    SimProcess sim;
    const FlashRun run = RunFlash(
        {"-p", sim.PortPath(), "--trace", "/dev/full", files.Write("fw.bin", PatternBytes(5000))});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err.count("cannot write the trace"), 1) << run.err.toStdString();
}

// A name is bytes: an image, a port, a log and a trace whose names are not valid UTF-8 are used
// by their exact names.
TEST(Flash, NamesThatAreNotUtf8AreUsedByTheirBytes) {
    TempFiles files;
    const QString out = files.Path("received.bin");
    SimProcess sim({"--out", out});
    const QByteArray image = PatternBytes(2000);
    files.WriteByName("fw-\xff\xfe.bin", image);
    const QByteArray folder = QFile::encodeName(QFileInfo(files.Path("fw.bin")).path()) + '/';
    const QByteArray port = folder + "port-\xff";
    const QByteArray written = folder + "out-\xfd";
    ASSERT_EQ(::symlink(QFile::encodeName(sim.PortPath()).constData(), port.constData()), 0);
    for (const char* output : {"--log", "--trace"}) {
        QProcess shell;
        shell.start(
            "bash",
            {"-c", QStringLiteral("cd '%1' && exec '%2' -p \"$(printf 'port-\\xff')\" "
                                  "%3 \"$(printf 'out-\\xfd')\" "
                                  "\"$(printf 'fw-\\xff\\xfe.bin')\"")
                       .arg(QString::fromUtf8(folder), TAVREL_FLASH_PATH, QLatin1String(output))});
        ASSERT_TRUE(shell.waitForFinished(30000));
        EXPECT_EQ(shell.exitCode(), 0) << output << shell.readAllStandardError().toStdString();
        EXPECT_EQ(::access(written.constData(), R_OK), 0) << output << ": written by its name";
        ::unlink(written.constData());
    }
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ReadFile(out), PaddedImage(image));
}

TEST(Flash, HelpAndVersion) {
    const FlashRun help = RunFlash({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"--port", "--baud", "--timeout", "--switch-only", "--list-ports",
                             "--json", "--trace", "130  interrupted", "143  stopped"}) {
        EXPECT_TRUE(help.out.contains(part)) << part;
    }
    const FlashRun version = RunFlash({"--version"});
    EXPECT_EQ(version.out.trimmed(), "tavrel-flash 1.0.0.1");
}

// What com 1 to com 15 stand for: the mapped ones each, those that stand for nothing in one line;
// with --json, a com record for each mapped one.
TEST(Flash, ListPortsShowsTheComNumbers) {
    qputenv("TAVREL_COM3", "/dev/pts/42");
    const FlashRun text = RunFlash({"--list-ports"});
    const FlashRun json = RunFlash({"--list-ports", "--json"});
    qunsetenv("TAVREL_COM3");
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_TRUE(text.out.contains("com 3: /dev/pts/42 [TAVREL_COM3]")) << text.out.toStdString();
    EXPECT_LE(text.out.count("no port"), 1) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(QRegularExpression("com [0-9, ]*15: no port|com 15: /dev")))
        << text.out.toStdString();
    EXPECT_TRUE(json.out.contains(R"("com":3,"device":"/dev/pts/42")") &&
                json.out.contains(R"("source":"TAVREL_COM3")"))
        << json.out.toStdString();
}

} // namespace
