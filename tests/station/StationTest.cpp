// SPDX-License-Identifier: GPL-3.0-or-later
// The station from the command line: several simulated devices flashed at once by one
// tavrel-flash, each on its own, with retries, a results log, and devices that come and go
// (symlinks to simulator ptys appearing in and vanishing from a watched folder).
#include "station/BoardStamper.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

class Station : public ::testing::Test {
  protected:
    void Start(const QStringList& arguments) {
        m_flash.start(QStringLiteral(TAVREL_FLASH_PATH), arguments);
        ASSERT_TRUE(m_flash.waitForStarted());
    }
    int Finish(int msecs = 60000) {
        // It may have ended already, while the test waited for its log.
        if (m_flash.state() != QProcess::NotRunning && !m_flash.waitForFinished(msecs)) {
            m_flash.kill();
            m_flash.waitForFinished();
            return -1;
        }
        m_out = QString::fromUtf8(m_flash.readAllStandardOutput());
        m_err = QString::fromUtf8(m_flash.readAllStandardError());
        return m_flash.exitCode();
    }
    // Station mode over a folder of its own, where the test plugs boards in as symlinks.
    QDir StartWatching() {
        QDir folder(m_files.Path("ports"));
        EXPECT_TRUE(QDir().mkpath(folder.path()));
        m_log = m_files.Path("log.jsonl");
        Start({"--watch", folder.filePath("*"), "--log", m_log,
               m_files.Write("fw.bin", PatternBytes(3000))});
        return folder;
    }
    bool Logged(int records) {
        return QTest::qWaitFor([&] { return JsonLines(m_log).size() >= records; }, 20000);
    }
    TempFiles m_files;
    QString m_log;
    QProcess m_flash;
    QString m_out;
    QString m_err;
};

// Three good devices, one that falls silent and one that is unplugged: the three pass
// byte-exact and at once, the other two fail with their reasons, and the run says so with 6.
TEST_F(Station, SeveralPortsAtOnceEachOnItsOwn) {
    SimProcess good({"--count", "3", "--out", m_files.Path("out%d.bin")});
    SimProcess silent({"--silent-after", "2"});
    SimProcess unplugged({"--hangup-after", "3"});
    const QByteArray image = PatternBytes(20 * 1024 + 5);
    const QString log = m_files.Path("results/log.jsonl");
    QStringList arguments{"--json", "-t", "1", "--log", log};
    for (const QString& port :
         good.PortPaths() + QStringList{silent.PortPath(), unplugged.PortPath()}) {
        arguments << "-p" << port;
    }
    Start(arguments + QStringList{m_files.Write("fw.bin", image)});
    EXPECT_EQ(Finish(), 6) << m_err.toStdString();
    EXPECT_EQ(good.Stop(), 0) << good.ErrorOutput().toStdString();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(ReadFile(m_files.Path(QStringLiteral("out%1.bin").arg(n))), PaddedImage(image));
    }
    const QList<QJsonObject> records = JsonLines(log);
    ASSERT_EQ(records.size(), 5) << ReadFile(log).toStdString();
    QDateTime first;
    QDateTime last;
    for (const QJsonObject& r : records) {
        const bool isSilent = r["port"].toString() == silent.PortPath();
        const bool isUnplugged = r["port"].toString() == unplugged.PortPath();
        EXPECT_EQ(r["result"].toString(), isSilent || isUnplugged ? "failed" : "passed");
        EXPECT_EQ(r["failure"].toString(), isSilent ? "no_ack" : isUnplugged ? "port_lost" : "");
        EXPECT_EQ(r["image_bytes"].toInt(), image.size());
        EXPECT_EQ(r["blocks"].toInt(), 21);
        EXPECT_EQ(r["attempt"].toInt(), 1);
        EXPECT_EQ(r["image_sha256"].toString().size(), 64);
        EXPECT_EQ(r["schema"].toInt(), 1);
        EXPECT_EQ(r["version"].toString(), TAVREL_VERSION);
        EXPECT_EQ(r["host"].toString(), QSysInfo::machineHostName());
        EXPECT_TRUE(QFileInfo(r["image"].toString()).isAbsolute());
        const QDateTime started = QDateTime::fromString(r["time"].toString(), Qt::ISODateWithMs);
        first = first.isValid() ? std::min(first, started) : started;
        last = last.isValid() ? std::max(last, started) : started;
        if (isSilent) {
            EXPECT_TRUE(r["reason"].toString().contains("no ACK for block 2"));
        }
        if (isUnplugged) {
            EXPECT_TRUE(r["reason"].toString().contains("was lost"));
        }
    }
    EXPECT_LT(first.msecsTo(last), 1000) << "every port started at once";
    const QStringList lines = m_out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    for (const QString& line : lines.mid(0, lines.size() - 1)) {
        EXPECT_FALSE(QJsonDocument::fromJson(line.toUtf8())["port"].toString().isEmpty())
            << line.toStdString();
    }
    const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
    EXPECT_EQ(summary["passed"].toInt(), 3);
    EXPECT_EQ(summary["failed"].toInt(), 2);
    EXPECT_EQ(summary["exit_code"].toInt(), 6);
}

// A device that stalls once is started over from block 0 and passes; the log has both
// attempts, the failed one written before the second began.
TEST_F(Station, RetryStartsOverFromBlockZero) {
    const QString out = m_files.Path("out.bin");
    SimProcess stalls({"--silent-once-after", "3", "--out", out});
    SimProcess fine;
    const QByteArray image = PatternBytes(8 * 1024);
    const QString log = m_files.Path("log.jsonl");
    Start({"-t", "1", "--retries", "2", "--log", log, "-p", stalls.PortPath(), "-p",
           fine.PortPath(), m_files.Write("fw.bin", image)});
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    EXPECT_EQ(stalls.Stop(), 0) << stalls.ErrorOutput().toStdString();
    EXPECT_EQ(ReadFile(out), PaddedImage(image));
    QStringList attempts;
    for (const QJsonObject& r : JsonLines(log)) {
        if (r["port"].toString() == stalls.PortPath()) {
            attempts
                << QStringLiteral("%1:%2").arg(r["attempt"].toInt()).arg(r["result"].toString());
        }
    }
    EXPECT_EQ(attempts, QStringList({"1:failed", "2:passed"}));
    EXPECT_TRUE(m_err.contains(stalls.PortPath() + ": no ACK for block 3")) << m_err.toStdString();
}

// A port that another program holds is a failure at once, never tried again; and Ctrl-C in the
// pause before another attempt ends the run there, without opening the port again.
TEST_F(Station, InUseIsFinalAndCtrlCBetweenAttemptsOpensNothing) {
    SimProcess held;
    SimProcess silent({"--silent-after", "0"});
    const int holder = ::open(QFile::encodeName(held.PortPath()).constData(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    Start({"--json", "-t", "0.3", "--retries", "3", "-p", held.PortPath(), "-p", silent.PortPath(),
           m_files.Write("fw.bin", PatternBytes(3000))});
    QTest::qWait(900); // the silent board's first attempt has failed; its pause runs
    ::kill(static_cast<pid_t>(m_flash.processId()), SIGINT);
    EXPECT_EQ(Finish(5000), 130) << m_err.toStdString();
    ::close(holder);
    QMap<QString, int> starts;
    for (const QString& line : m_out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
        starts[record["port"].toString()] += record["event"].toString() == "start";
    }
    EXPECT_EQ(starts.value(held.PortPath()), 1) << m_out.toStdString();
    EXPECT_EQ(starts.value(silent.PortPath()), 1) << m_out.toStdString();
    EXPECT_TRUE(m_out.contains("in use by another program")) << m_out.toStdString();
    EXPECT_TRUE(m_out.contains("no further attempt: stopped by Ctrl-C")) << m_out.toStdString();
}

// Killed outright between two attempts: every record written so far is whole and valid.
TEST_F(Station, LogIsCompleteAfterSigkillBetweenAttempts) {
    SimProcess stalls({"--silent-once-after", "2"});
    const QString log = m_files.Path("log.jsonl");
    Start({"-t", "0.5", "--retries", "1", "--log", log, "-p", stalls.PortPath(),
           m_files.Write("fw.bin", PatternBytes(6000))});
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadFile(log).endsWith('\n'); }, 10000));
    ::kill(static_cast<pid_t>(m_flash.processId()), SIGKILL); // in the pause before attempt 2
    m_flash.waitForFinished();
    const QList<QByteArray> lines = ReadFile(log).split('\n');
    ASSERT_EQ(lines.size(), 2) << "one line and the end of it";
    QJsonParseError error{};
    const QJsonObject record = QJsonDocument::fromJson(lines[0], &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    for (const char* field :
         {"time", "port", "usb_serial", "usb_vendor_id", "usb_product_id", "image", "image_bytes",
          "image_sha256", "blocks", "result", "failure", "seconds", "attempt"}) {
        EXPECT_TRUE(record.contains(field)) << field;
    }
    EXPECT_EQ(record["result"].toString(), "failed");
}

// Station mode: each device is flashed as it appears, once, and again only after it has gone
// and come back; Ctrl-C ends the watch with the totals.
TEST_F(Station, WatchFlashesEachNewDeviceOnce) {
    SimProcess sims({"--count", "2"});
    const QDir folder = StartWatching();
    const QString a = folder.filePath("board-a");
    const QString b = folder.filePath("board-b");
    ASSERT_TRUE(QFile::link(sims.PortPaths()[0], a));
    ASSERT_TRUE(Logged(1));
    // One board under two names, as /dev/serial/by-id and by-path give it: one update.
    ASSERT_TRUE(QFile::link(sims.PortPaths()[1], b));
    ASSERT_TRUE(QFile::link(sims.PortPaths()[1], folder.filePath("board-b-by-path")));
    ASSERT_TRUE(Logged(2));
    QTest::qWait(2000);
    EXPECT_EQ(JsonLines(m_log).size(), 2) << "a device that stays is flashed once";
    ASSERT_TRUE(QFile::remove(a));
    QTest::qWait(500);
    ASSERT_TRUE(QFile::link(sims.PortPaths()[0], a));
    ASSERT_TRUE(Logged(3)) << "back again: flashed again";
    ::kill(static_cast<pid_t>(m_flash.processId()), SIGINT);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    QStringList ports;
    for (const QJsonObject& r : JsonLines(m_log)) {
        ports << r["port"].toString() + ":" + r["result"].toString() + ":" + r["device"].toString();
    }
    const QString deviceA = sims.PortPaths()[0];
    const QString deviceB = sims.PortPaths()[1];
    EXPECT_EQ(ports, QStringList({a + ":passed:" + deviceA, b + ":passed:" + deviceB,
                                  a + ":passed:" + deviceA}));
    EXPECT_TRUE(m_err.contains("3 passed, 0 failed, 3 in all")) << m_err.toStdString();
    EXPECT_EQ(sims.Stop(), 0) << sims.ErrorOutput().toStdString();
}

// Output that nobody reads (a full pipe, a paused terminal) holds up no board: a new board is
// flashed on time and a stop ends the run; when the output moves again, the dropped progress is
// counted and the results and the summary are all there.
TEST_F(Station, BlockedOutputHoldsUpNoBoard) {
    SimProcess sims({"--count", "2", "--noise"});
    const QDir folder(m_files.Path("ports"));
    ASSERT_TRUE(QDir().mkpath(folder.path()));
    const QByteArray fifo = QFile::encodeName(m_files.Path("out.fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC); // reads later
    ASSERT_GE(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    m_flash.setStandardOutputFile(QFile::decodeName(fifo));
    m_flash.setStandardErrorFile(QFile::decodeName(fifo));
    m_log = m_files.Path("log.jsonl");
    Start({"--json", "--watch", folder.filePath("*"), "--log", m_log,
           m_files.Write("fw.bin", PatternBytes(100 * 1024))});
    ASSERT_TRUE(QFile::link(sims.PortPaths()[0], folder.filePath("board-a")));
    ASSERT_TRUE(Logged(1));
    ASSERT_TRUE(QFile::link(sims.PortPaths()[1], folder.filePath("board-b")));
    EXPECT_TRUE(Logged(2)) << "the second board was flashed while the output was blocked";
    ::kill(static_cast<pid_t>(m_flash.processId()), SIGINT);
    QByteArray out;
    char buffer[4096];
    do {
        ssize_t n;
        while ((n = ::read(reader, buffer, sizeof buffer)) > 0) {
            out.append(buffer, n);
        }
    } while (!m_flash.waitForFinished(20));
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
        out.append(buffer, n);
    }
    ::close(reader);
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(out.contains("progress lines were dropped while the output was blocked"));
    EXPECT_TRUE(out.contains(R"("event":"summary")")) << out.right(500).toStdString();
    EXPECT_EQ(out.count(R"("event":"done")"), 2) << "every result is there";
}

// A board that drops its port right after passing and comes back is restarting with its new
// program: it is not flashed again, and the run says so rather than staying silent.
TEST_F(Station, WatchSaysWhenItTakesABoardForRestarting) {
    SimProcess sims({"--count", "1"});
    const QString board = StartWatching().filePath("board");
    ASSERT_TRUE(QFile::link(sims.PortPaths()[0], board));
    ASSERT_TRUE(Logged(1));
    ASSERT_TRUE(QFile::remove(board));
    QTest::qWait(500);
    ASSERT_TRUE(QFile::link(sims.PortPaths()[0], board));
    QTest::qWait(1000);
    ::kill(static_cast<pid_t>(m_flash.processId()), SIGINT);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    EXPECT_EQ(JsonLines(m_log).size(), 1) << m_err.toStdString();
    EXPECT_TRUE(m_err.contains(board + ": back right after passing: taken for the same board "
                                       "restarting, not flashed again"))
        << m_err.toStdString();
}

} // namespace

namespace {

// What cannot stamp a board is refused before the first one: a counter whose numbers do not fit
// their field (every board would take one only to give it back), a value with no counter, a
// lease without a line's store.
TEST(BoardStamper, RefusesAtStartWhatCouldNeverStampABoard) {
    struct Case {
        const char* recipe;
        StampCounter serial;
        StampCounter mac;
        int lease;
        const char* said;
    };
    TempFiles files;
    const auto records = records::Recorder::Open(
        *records::ParseStoreUrl(QStringLiteral("sqlite:") + files.Path("r.sqlite")), "st");
    ASSERT_TRUE(records);
    for (const Case& c : {
             Case{"serial@0:u32le", {"a", 1, qint64(1) << 32}, {}, 0, "does not fit"},
             Case{"serial@0:dec:3", {"b", 1, 1000}, {}, 0, "does not fit"},
             Case{"text@0:4=SN{serial}", {"c", 1, 100}, {}, 0, "does not fit"},
             Case{"mac@0", {}, {}, 0, "give --stamp-mac-pool"},
             Case{"serial@0:u32le", {}, {}, 0, "give --stamp-counter"},
             Case{"serial@0:u32le", {"d", 1, 9}, {}, 5, "--stamp-lease holds numbers of the line"},
             Case{"serial@0:dec:3;mac@4",
                  {"e", 1, 999},
                  {"mac", 0x020000000000, 0x0200000000ff},
                  0,
                  ""},
         }) {
        const auto made =
            station::BoardStamper::Make({*ParseStampRecipe(QString::fromLatin1(c.recipe)), c.serial,
                                         c.mac, *records, "st", c.lease});
        EXPECT_EQ(bool(made), *c.said == '\0') << c.recipe;
        if (!made) {
            EXPECT_TRUE(made.error().contains(QString::fromLatin1(c.said)))
                << made.error().toStdString();
        }
    }
}

} // namespace
