// SPDX-License-Identifier: GPL-3.0-or-later
// Where the station's results log may go, for tavrel-flash and the station window alike, and
// records that a full disk cannot cut.
#include "station/ResultsLog.h"
#include "station/Station.h"
#include "support/PtyPair.h"
#include "support/TempFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LogCase {
    const char* name;
    // Makes the log's path; `image` is the image's, `port` a pty given to the station.
    std::function<QString(TempFiles&, const QString& image, const QString& port)> log;
    bool givePort;
    const char* refusal; // nullptr: the log opens
};

class LogPlace : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogPlace, OnlyARegularFileThatIsNoInputTakesTheLog) {
    TempFiles files;
    PtyPair pty;
    const QString image = files.Write("fw.bin", PatternBytes(100));
    station::Station::Settings settings;
    settings.update.imagePath = QFile::encodeName(image);
    settings.logFile = QFile::encodeName(GetParam().log(files, image, pty.SlavePath()));
    const StopFlag stop{0};
    station::Station station(settings, LoadedImage{}, stop, {});
    const station::OutputDone opened =
        station.OpenLog(GetParam().givePort ? QStringList{pty.SlavePath()} : QStringList{});
    if (GetParam().refusal == nullptr) {
        EXPECT_TRUE(opened) << opened.error().text.toStdString();
    } else {
        ASSERT_FALSE(opened);
        EXPECT_TRUE(opened.error().text.contains(GetParam().refusal))
            << opened.error().text.toStdString();
    }
    EXPECT_TRUE(pty.Drain().isEmpty()) << "nothing was written into the port";
    EXPECT_EQ(QFile(image).size(), 100) << "the image is untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Places, LogPlace,
    ::testing::Values(
        LogCase{"NewFileInANewFolder",
                [](TempFiles& f, auto&, auto&) { return f.Path("logs/new/log.jsonl"); }, false,
                nullptr},
        LogCase{"TheImage", [](TempFiles&, auto& image, auto&) { return image; }, false,
                "is the image"},
        LogCase{"HardLinkToTheImage",
                [](TempFiles& f, auto& image, auto&) {
                    EXPECT_EQ(::link(QFile::encodeName(image).constData(),
                                     QFile::encodeName(f.Path("hard")).constData()),
                              0);
                    return f.Path("hard");
                },
                false, "is the image"},
        LogCase{"SymlinkToTheImage",
                [](TempFiles& f, auto& image, auto&) {
                    QFile::link(image, f.Path("soft"));
                    return f.Path("soft");
                },
                false, "is the image"},
        LogCase{"APortGiven", [](TempFiles&, auto&, auto& port) { return port; }, true,
                "is the serial port"},
        LogCase{"APtyNotGiven", [](TempFiles&, auto&, auto& port) { return port; }, false,
                "is a character device"},
        LogCase{"DevFull", [](TempFiles&, auto&, auto&) { return QStringLiteral("/dev/full"); },
                false, "is a character device"},
        LogCase{"FifoWithoutAReader",
                [](TempFiles& f, auto&, auto&) {
                    ::mkfifo(QFile::encodeName(f.Path("fifo")).constData(), 0600);
                    return f.Path("fifo");
                },
                false, "is a FIFO"}),
    [](const auto& info) { return std::string(info.param.name); });

// A full disk (here a file size limit, which fails a write part way as a full disk does): the
// record is taken back whole, and once there is room every line of the log parses.
TEST(ResultsLog, RecordIsWholeOrNotThereOnAFullDisk) {
    TempFiles files;
    const QByteArray path = QFile::encodeName(files.Path("log.jsonl"));
    station::ResultsLog log;
    ASSERT_TRUE(log.Open(path));
    ASSERT_TRUE(log.Append({{"board", 1}}));
    const qint64 before = QFile(QString::fromUtf8(path)).size();

    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = rlim_t(before + 10);
    ::setrlimit(RLIMIT_FSIZE, &small);
    const station::OutputDone cut =
        log.Append({{"board", 2}, {"reason", QString(200, QLatin1Char('x'))}});
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_FALSE(cut);
    EXPECT_TRUE(cut.error().text.contains("File too large")) << cut.error().text.toStdString();
    EXPECT_EQ(QFile(QString::fromUtf8(path)).size(), before) << "the cut record was taken back";
    ASSERT_TRUE(log.Append({{"board", 3}}));
    QFile file(QString::fromUtf8(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_EQ(lines.size(), 3); // two records and the end of the last line
    for (const QByteArray& line : lines.first(2)) {
        EXPECT_FALSE(QJsonDocument::fromJson(line).isNull()) << line.toStdString();
    }
}

} // namespace
