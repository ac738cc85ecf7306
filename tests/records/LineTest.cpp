// SPDX-License-Identifier: GPL-3.0-or-later
// Stations writing into the line's PostgreSQL, as a line runs them: tavrel-flash processes with
// simulated boards, a server that goes away and comes back, stations killed at the worst moment,
// and stores that must be refused before a board is touched.
#include "support/PostgresServer.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTest>
#include <QtEndian>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace {

class Line : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!PostgresServer::Available()) {
            GTEST_SKIP() << "no PostgreSQL server on this machine";
        }
        m_server = std::make_unique<PostgresServer>();
        m_image = m_files.Write("fw.bin", PatternBytes(3000));
    }
    // A tavrel-flash of a station of its own: its own data folder, and so its own SQLite store.
    std::unique_ptr<QProcess> Flash(const QString& station, const QStringList& arguments,
                                    const QByteArray& faultPoint = {}) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", m_files.Path("data-" + station));
        if (!faultPoint.isEmpty()) {
            environment.insert("TAVREL_FAULT_POINT", QString::fromLatin1(faultPoint));
        }
        process->setProcessEnvironment(environment);
        process->start(QStringLiteral(TAVREL_FLASH_PATH),
                       QStringList{"--station-name", station} + arguments);
        EXPECT_TRUE(process->waitForStarted());
        return process;
    }
    qint64 Count(const QByteArray& sql) { return m_server->Query(sql).value(0).toLongLong(); }

    TempFiles m_files;
    std::unique_ptr<PostgresServer> m_server;
    QString m_image;
};

// Eight stations flash while the line's server is stopped for 30 s and started again: every
// attempt reaches it exactly once, and the summary agrees with the stations' own logs.
TEST_F(Line, EightStationsOneServerThatGoesAway) {
    constexpr int kStations = 8;
    constexpr int kPerRound = 2;
    SimProcess boards({"--count", QString::number(kStations * kPerRound * 3)});
    std::vector<std::unique_ptr<QProcess>> stations;
    for (int s = 0; s < kStations; ++s) {
        ASSERT_TRUE(QDir().mkpath(m_files.Path(QStringLiteral("ports%1").arg(s))));
        stations.push_back(Flash(QStringLiteral("station-%1").arg(s),
                                 {"--watch", m_files.Path(QStringLiteral("ports%1/*").arg(s)),
                                  "--store", m_server->Url(), "--log",
                                  m_files.Path(QStringLiteral("s%1.jsonl").arg(s)), m_image}));
    }
    int plugged = 0;
    const auto round = [&](int rounds) {
        for (int s = 0; s < kStations; ++s) {
            for (int b = 0; b < kPerRound; ++b) {
                const QString board = boards.PortPaths().at(plugged++);
                QFile::link(board,
                            m_files.Path(QStringLiteral("ports%1/board%2").arg(s).arg(plugged)));
            }
        }
        for (int s = 0; s < kStations; ++s) {
            const QString log = m_files.Path(QStringLiteral("s%1.jsonl").arg(s));
            ASSERT_TRUE(
                QTest::qWaitFor([&] { return JsonLines(log).size() >= rounds * kPerRound; }, 60000))
                << "station " << s;
        }
    };
    round(1);
    m_server->Stop();
    QElapsedTimer away;
    away.start();
    round(2); // flashed while the server is away: the records wait on the stations
    QTest::qWait(int(std::max<qint64>(0, 30000 - away.elapsed())));
    m_server->Start();
    round(3);

    const qint64 total = kStations * kPerRound * 3;
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return Count("SELECT count(*) FROM records") >= total; }, 60000));
    QSet<QString> logged;
    int passed = 0;
    for (int s = 0; s < kStations; ++s) {
        stations[s]->kill(); // a line's station ends however it ends; the records are kept
        stations[s]->waitForFinished();
        if (s == 0) {
            EXPECT_TRUE(stations[s]->readAllStandardError().contains("line server unreachable: "));
        }
        for (const QJsonObject& record :
             JsonLines(m_files.Path(QStringLiteral("s%1.jsonl").arg(s)))) {
            logged << record.value("id").toString();
            passed += record.value("result").toString() == "passed";
        }
    }
    EXPECT_EQ(Count("SELECT count(*) FROM records"), total) << "none doubled";
    QSet<QString> stored;
    for (const QByteArray& id : m_server->Query("SELECT id FROM records")) {
        stored << QString::fromUtf8(id);
    }
    EXPECT_EQ(stored, logged) << "none lost";

    QProcess summary;
    summary.start(QStringLiteral(TAVREL_RECORDS_PATH),
                  {"--store", m_server->Url(), "--json", "summary"});
    ASSERT_TRUE(summary.waitForFinished(30000));
    const QJsonArray rows = QJsonDocument::fromJson(summary.readAllStandardOutput()).array();
    ASSERT_EQ(rows.size(), kStations * kPerRound * 3 + 1) << "a row per slot, then the line";
    const QJsonObject lineRow = rows.last().toObject();
    EXPECT_EQ(lineRow.value("station").toString(), "*");
    EXPECT_EQ(lineRow.value("passed").toInt(), passed);
    EXPECT_EQ(lineRow.value("failed").toInt(), total - passed);
}

// A station killed between its own commit and the forward, or between the forward and its note
// of it: after its restart every record is on the server once.
TEST_F(Line, KilledStationLosesAndDoublesNothing) {
    for (const QByteArray point : {"after-commit", "after-forward"}) {
        SCOPED_TRACE(point.constData());
        const QString station = QString::fromLatin1(point).replace('-', '_');
        m_server->Query("CREATE DATABASE " + station.toUtf8());
        const QString url = m_server->Url(station);
        SimProcess boards({"--count", "2"});
        const auto killed =
            Flash(station, {"-p", boards.PortPaths()[0], "--store", url, m_image}, point);
        ASSERT_TRUE(killed->waitForFinished(60000));
        EXPECT_EQ(killed->exitStatus(), QProcess::CrashExit) << "SIGKILL at " << point.constData();
        const auto restarted =
            Flash(station, {"-p", boards.PortPaths()[1], "--store", url, m_image});
        ASSERT_TRUE(restarted->waitForFinished(60000));
        EXPECT_EQ(restarted->exitCode(), 0) << restarted->readAllStandardError().toStdString();
        const auto count = [&](const QByteArray& sql) {
            return m_server->Query(sql, station).value(0).toLongLong();
        };
        EXPECT_EQ(count("SELECT count(*) FROM records"), 2);
        EXPECT_EQ(count("SELECT count(DISTINCT port) FROM records"), 2);
    }
}

// Before any board: a store that cannot be used ends the run with 1 and says why, without the
// password; a server that is not there does not: the board is flashed and its record waits.
TEST_F(Line, StoreCheckedBeforeAnyBoard) {
    m_server->Query("CREATE DATABASE newer");
    m_server->Query("CREATE TABLE tavrel_schema (version INTEGER); INSERT INTO tavrel_schema "
                    "VALUES (99)",
                    "newer");
    struct Case {
        const char* name;
        QString store;
        QByteArray password;
        int exitCode;
        QString told;
    };
    for (const Case& c : {
             Case{"bad URL", "mysql://tavrel@127.0.0.1/line", PostgresServer::kPassword, 1,
                  "the store must be sqlite:PATH or postgresql://"},
             Case{"wrong password", m_server->Url(), "not-the-password", 1,
                  "password authentication failed"},
             Case{"newer schema", m_server->Url("newer"), PostgresServer::kPassword, 1,
                  "schema version 99, newer than this tavrel's"},
             Case{"server away", "postgresql://tavrel@127.0.0.1:1/line", PostgresServer::kPassword,
                  0, "1 records wait in the station's store"},
         }) {
        SCOPED_TRACE(c.name);
        SimProcess board({"--out", m_files.Path(QStringLiteral("%1.bin").arg(c.name))});
        qputenv("PGPASSWORD", c.password);
        const auto run = Flash(c.name, {"-p", board.PortPath(), "--store", c.store, m_image});
        qputenv("PGPASSWORD", PostgresServer::kPassword);
        ASSERT_TRUE(run->waitForFinished(60000));
        const QString told = QString::fromLocal8Bit(run->readAllStandardError());
        EXPECT_EQ(run->exitCode(), c.exitCode) << told.toStdString();
        EXPECT_TRUE(told.contains(c.told)) << told.toStdString();
        EXPECT_FALSE(told.contains(QLatin1String(c.password))) << "the password is never told";
        board.Stop();
        EXPECT_EQ(QFile::exists(m_files.Path(QStringLiteral("%1.bin").arg(c.name))),
                  c.exitCode == 0)
            << "a board is touched only when the store can be used";
    }
}

// Two watching stations of 16 boards share one counter and one pool of MAC addresses on the
// line's server: 32 numbers and addresses, each stamped byte-exact into its own board's image,
// the number said back by the board's new program and matched, and kept with its attempt. The
// operators hear when few are left; the spent counter then stops the line.
TEST_F(Line, TwoStationsShareOneCounterAndNeverIssueANumberTwice) {
    QByteArray image = PatternBytes(3000);
    image.replace(0x10, 0x30, QByteArray(0x30, '\xff')); // blank where the numbers go
    const QString imagePath = m_files.Write("stamped.bin", image);
    SimProcess boards(
        {"--count", "33", "--out", m_files.Path("out%d.bin"), "--echo-serial", "0x10:u32le"});
    const QStringList stamp{
        "--store",          m_server->Url(),
        "--stamp",          "serial@0x10:u32le;text@0x20:16=SN{serial};mac@0x30",
        "--stamp-counter",  "sn=1000..1031",
        "--stamp-mac-pool", "02:12:34:00:00:00..02:12:34:00:00:ff",
        "--expect",         "SN={serial}\\b"};
    std::vector<std::unique_ptr<QProcess>> stations;
    for (int s = 0; s < 2; ++s) {
        const QString folder = m_files.Path(QStringLiteral("ports%1").arg(s));
        ASSERT_TRUE(QDir().mkpath(folder));
        for (int b = 0; b < 16; ++b) {
            QFile::link(boards.PortPaths().at(s * 16 + b), folder + QStringLiteral("/b%1").arg(b));
        }
        stations.push_back(Flash(QStringLiteral("station-%1").arg(s),
                                 QStringList{"--watch", folder + "/*", "--log",
                                             m_files.Path(QStringLiteral("s%1.jsonl").arg(s))} +
                                     stamp + QStringList{imagePath}));
    }
    for (int s = 0; s < 2; ++s) {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return JsonLines(m_files.Path(QStringLiteral("s%1.jsonl").arg(s))).size() >= 16;
            },
            120000));
    }
    QSet<qint64> numbers;
    QSet<QByteArray> macs;
    for (int n = 1; n <= 32; ++n) {
        const QByteArray received = ReadFile(m_files.Path(QStringLiteral("out%1.bin").arg(n)));
        const qint64 number = qFromLittleEndian<quint32>(received.constData() + 0x10);
        numbers << number;
        macs << received.mid(0x30, 6);
        EXPECT_TRUE(received.mid(0x30, 5) == QByteArray("\x02\x12\x34\x00\x00", 5));
        QByteArray expected = PaddedImage(image);
        expected.replace(0x10, 4, received.mid(0x10, 4));
        expected.replace(0x20, 16, ("SN" + QByteArray::number(number)).leftJustified(16, '\0'));
        expected.replace(0x30, 6, received.mid(0x30, 6));
        EXPECT_EQ(received, expected) << "board " << n << " has its own values, and only those";
    }
    EXPECT_EQ(numbers.size(), 32);
    EXPECT_EQ(macs.size(), 32);
    EXPECT_EQ(*std::min_element(numbers.begin(), numbers.end()), 1000);
    EXPECT_EQ(*std::max_element(numbers.begin(), numbers.end()), 1031);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return Count("SELECT count(DISTINCT board_serial) + count(DISTINCT board_mac) FROM "
                         "records WHERE expect_matched AND expect_text = 'SN=' || "
                         "board_serial") == 64;
        },
        30000));
    QProcess counter;
    counter.start(QStringLiteral(TAVREL_RECORDS_PATH),
                  {"--store", m_server->Url(), "--json", "counter", "sn"});
    ASSERT_TRUE(counter.waitForFinished(30000));
    const QJsonObject account = QJsonDocument::fromJson(counter.readAllStandardOutput()).object();
    EXPECT_EQ(account.value("used").toInt(), 32);
    EXPECT_EQ(account.value("free").toInt(), 0);

    // One more board: the counter is spent, the board gets no number, and its station stops.
    QFile::link(boards.PortPaths().at(32), m_files.Path("ports0/b16"));
    ASSERT_TRUE(stations[0]->waitForFinished(60000));
    EXPECT_EQ(stations[0]->exitCode(), 6) << "a watch with a failed board";
    stations[1]->kill();
    stations[1]->waitForFinished();
    const QByteArray said =
        stations[0]->readAllStandardError() + stations[1]->readAllStandardError();
    EXPECT_TRUE(said.contains("no serial number: the counter sn is spent")) << said.constData();
    EXPECT_TRUE(said.contains("few numbers left to stamp: sn left: ")) << said.constData();
}

// A full disk under the station's store (here a file size limit, which fails a write as a full
// disk does): the board fails with the disk's reason, and the store holds the records before it,
// whole.
TEST(StationStore, FullDiskFailsTheBoardAndHalfWritesNothing) {
    TempFiles files;
    const QString image = files.Write("fw.bin", PatternBytes(3000));
    const QString store = QStringLiteral("sqlite:") + files.Path("r.sqlite");
    SimProcess boards({"--count", "2"});
    const auto flash = [&](const QString& port, const QString& limit) {
        QProcess run;
        // An ignored SIGXFSZ stays ignored in the program: its write fails instead.
        run.start("sh", {"-c", QStringLiteral("trap '' XFSZ; %1 exec \"$@\"").arg(limit), "sh",
                         QStringLiteral(TAVREL_FLASH_PATH), "-p", port, "--store", store, image});
        EXPECT_TRUE(run.waitForFinished(60000));
        return std::pair{run.exitCode(), QString::fromLocal8Bit(run.readAllStandardError())};
    };
    ASSERT_EQ(flash(boards.PortPaths()[0], {}).first, 0);
    // 32 KiB: room for the store's shared-memory index, none for a record's pages.
    const auto [code, told] = flash(boards.PortPaths()[1], QStringLiteral("ulimit -f 64;"));
    EXPECT_EQ(code, 1) << told.toStdString();
    EXPECT_TRUE(told.contains("the board passed; and the result could not be written to the "
                              "records store"))
        << told.toStdString();
    EXPECT_TRUE(told.contains("File too large")) << told.toStdString();
    QProcess check;
    check.start("sqlite3", {files.Path("r.sqlite"), "PRAGMA integrity_check; SELECT count(*) FROM "
                                                    "records;"});
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.readAllStandardOutput(), "ok\n1\n");
}

} // namespace
