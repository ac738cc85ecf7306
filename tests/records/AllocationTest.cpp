// SPDX-License-Identifier: GPL-3.0-or-later
// Serial numbers under the worst a line does to them: stations killed at random moments while
// they take numbers, the line's server restarted under them, and a station cut off from it that
// goes on with the numbers it leased. No number may ever reach two boards, and what became of
// the numbers must add up to the counter's range.
#include "records/PostgresStore.h"
#include "records/Recorder.h"
#include "records/SqliteStore.h"
#include "support/PostgresServer.h"
#include "support/TcpRelay.h"
#include "support/TempFiles.h"

#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sqlite3.h>
#include <thread>

namespace {

constexpr qint64 kRange = 1000000; // the counter sn is 1..kRange

// Every number of the counter in the store, with the station it went to.
QHash<qint64, QString> IssuedInStore(PostgresServer* server, const QString& sqlitePath) {
    QHash<qint64, QString> issued;
    if (server) {
        for (const QByteArray& row :
             server->Query("SELECT value || ' ' || station FROM serials WHERE counter = 'sn'")) {
            issued.insert(row.split(' ').value(0).toLongLong(), QString(row.split(' ').value(1)));
        }
        return issued;
    }
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(sqlitePath.toUtf8().constData(), &db), SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    sqlite3_prepare_v2(db, "SELECT value, station FROM serials WHERE counter = 'sn'", -1, &rows,
                       nullptr);
    while (sqlite3_step(rows) == SQLITE_ROW) {
        issued.insert(
            sqlite3_column_int64(rows, 0),
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(rows, 1))));
    }
    sqlite3_finalize(rows);
    sqlite3_close(db);
    return issued;
}

// Stations on the line's PostgreSQL (eight, half of them with a lease, and the server restarted
// once) or on one SQLite file (four), each killed again and again at random moments.
class KilledStations : public ::testing::TestWithParam<bool> {};

TEST_P(KilledStations, NeverIssueANumberTwiceAndAccountForEveryOne) {
    const bool pg = GetParam();
    if (pg && !PostgresServer::Available()) {
        GTEST_SKIP() << "no PostgreSQL server on this machine";
    }
    TempFiles files;
    std::unique_ptr<PostgresServer> server = pg ? std::make_unique<PostgresServer>() : nullptr;
    const QString sqlitePath = files.Path("line.sqlite");
    const QString store = pg ? server->Url() : QStringLiteral("sqlite:") + sqlitePath;
    const int stations = pg ? 8 : 4;
    std::vector<std::unique_ptr<QProcess>> running(static_cast<size_t>(stations));
    const auto start = [&](int s) {
        auto station = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", files.Path(QStringLiteral("data%1").arg(s)));
        station->setProcessEnvironment(environment);
        station->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        station->start(QStringLiteral(TAVREL_SERIAL_HAMMER_PATH),
                       {store, QStringLiteral("station-%1").arg(s), "sn", "1",
                        QString::number(kRange), files.Path(QStringLiteral("s%1.txt").arg(s)),
                        pg && s % 2 ? "5" : "0"});
        ASSERT_TRUE(station->waitForStarted());
        running[size_t(s)] = std::move(station);
    };
    const auto kill = [&](int s) {
        ::kill(pid_t(running[size_t(s)]->processId()), SIGKILL);
        running[size_t(s)]->waitForFinished();
    };
    for (int s = 0; s < stations; ++s) {
        start(s);
    }
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    clock.start();
    bool restarted = false;
    while (clock.elapsed() < (pg ? 20000 : 10000)) {
        QTest::qWait(random.bounded(100, 400));
        const int s = random.bounded(stations);
        kill(s);
        start(s);
        if (pg && !restarted && clock.elapsed() > 8000) {
            server->Stop(); // the stations go on asking, and the leased ones go on giving
            QTest::qWait(2000);
            server->Start();
            restarted = true;
        }
    }
    for (int s = 0; s < stations; ++s) {
        kill(s);
    }

    const QHash<qint64, QString> inStore = IssuedInStore(server.get(), sqlitePath);
    QHash<qint64, int> given; // what each station said it was given
    int twice = 0;
    for (int s = 0; s < stations; ++s) {
        for (const QByteArray& line :
             ReadFile(files.Path(QStringLiteral("s%1.txt").arg(s))).split('\n')) {
            if (line.isEmpty()) {
                continue;
            }
            const qint64 number = line.toLongLong();
            twice += given.contains(number);
            given.insert(number, s);
            EXPECT_EQ(inStore.value(number), QStringLiteral("station-%1").arg(s))
                << "number " << number << " is the store's for the station it went to";
        }
    }
    EXPECT_EQ(twice, 0) << "seed " << seed;
    EXPECT_GT(given.size(), 200) << "the stations took numbers between the kills";

    const auto account = pg ? [&] {
        auto opened = records::PostgresStore::Open(*records::ParseStoreUrl(store));
        return (*opened)->Account("sn");
    }()
                            : [&] {
                                  auto opened = records::SqliteStore::Open(sqlitePath);
                                  return (*opened)->Account("sn");
                              }();
    ASSERT_TRUE(account);
    EXPECT_EQ(account->used + account->spoiled + account->returned + account->inFlight +
                  account->leased + account->free,
              kRange);
    EXPECT_EQ(kRange - account->free, inStore.size()) << "every number taken is in the store";
}

INSTANTIATE_TEST_SUITE_P(Stores, KilledStations, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Postgres" : "Sqlite"; });

// A station cut off from the line's server gives its boards the numbers it leased, and no more,
// while another station goes on taking numbers from the server: none is given by both. What the
// cut-off station gave is told to the server once it can reach it again.
TEST(Lease, ACutOffStationGivesItsLeaseAndNothingAnotherStationGives) {
    if (!PostgresServer::Available()) {
        GTEST_SKIP() << "no PostgreSQL server on this machine";
    }
    PostgresServer server;
    TcpRelay relay(server.Port());
    TempFiles files;
    const auto cutOff = records::Recorder::Open(
        *records::ParseStoreUrl(
            QStringLiteral("postgresql://tavrel@127.0.0.1:%1/postgres").arg(relay.Port())),
        "station-a", files.Path("a.sqlite"));
    const auto other = records::Recorder::Open(*records::ParseStoreUrl(server.Url()), "station-b",
                                               files.Path("b.sqlite"));
    ASSERT_TRUE(cutOff && other);
    (*cutOff)->SetLease(5);
    ASSERT_TRUE((*cutOff)->DefineCounter("sn", 1, 100));
    ASSERT_TRUE((*other)->DefineCounter("sn", 1, 100));
    QList<qint64> fromCutOff, fromOther;
    const auto take = [](records::Recorder& station, QList<qint64>& numbers) {
        const auto issued = station.IssueSerial("sn", "board");
        if (issued && *issued) {
            numbers << (*issued)->value;
        }
        return issued ? records::StoreErrorCode::Write : issued.error().code;
    };
    take(**cutOff, fromCutOff); // takes its lease of five
    relay.Cut();
    for (int board = 0; board < 10; ++board) {
        take(**other, fromOther);
    }
    records::StoreErrorCode last = records::StoreErrorCode::Write;
    for (int board = 0; board < 10 && last != records::StoreErrorCode::Unreachable; ++board) {
        last = take(**cutOff, fromCutOff);
    }
    EXPECT_EQ(last, records::StoreErrorCode::Unreachable) << "no number past the lease";
    EXPECT_EQ(fromCutOff.size(), 5);
    EXPECT_EQ(fromOther.size(), 10);
    for (const qint64 number : fromCutOff) {
        EXPECT_FALSE(fromOther.contains(number)) << number << " was given by both stations";
        ASSERT_TRUE((*cutOff)->SettleSerial("sn", number, records::SerialState::Used));
    }

    relay.Restore();
    QTest::qWait(5500); // a station cut off tries the server again after a few seconds
    (*cutOff)->Drain(5000);
    const auto account = records::PostgresStore::Open(*records::ParseStoreUrl(server.Url()));
    ASSERT_TRUE(account);
    const auto figures = (*account)->Account("sn");
    ASSERT_TRUE(figures);
    EXPECT_EQ((std::array{figures->used, figures->inFlight, figures->leased + figures->free}),
              (std::array<qint64, 3>{5, 10, 85}))
        << "the lease given and told (and topped up again); the other station's numbers still in "
           "flight";
}

// Ports of one station stamping at once take from one small lease: while the range has numbers,
// none of them hears that it is spent (which would stop the line), and none gets a number twice.
TEST(Lease, PortsAtOnceNeverHearSpentWhileNumbersRemain) {
    if (!PostgresServer::Available()) {
        GTEST_SKIP() << "no PostgreSQL server on this machine";
    }
    PostgresServer server;
    TempFiles files;
    const auto station =
        records::Recorder::Open(*records::ParseStoreUrl(server.Url()), "s", files.Path("s.sqlite"));
    ASSERT_TRUE(station);
    (*station)->SetLease(1);
    ASSERT_TRUE((*station)->DefineCounter("sn", 1, 400));
    QList<qint64> taken[8];
    int spent = 0;
    std::mutex spentMutex;
    std::vector<std::thread> ports;
    for (QList<qint64>& mine : taken) {
        ports.emplace_back([&] {
            for (int board = 0; board < 50; ++board) {
                const auto issued = (*station)->IssueSerial("sn", "board");
                if (issued && *issued) {
                    mine << (*issued)->value;
                } else {
                    const std::lock_guard<std::mutex> lock(spentMutex);
                    ++spent;
                }
            }
        });
    }
    for (std::thread& port : ports) {
        port.join();
    }
    QSet<qint64> all;
    for (const QList<qint64>& mine : taken) {
        all.unite(QSet<qint64>(mine.begin(), mine.end()));
    }
    EXPECT_EQ(spent, 0) << "a port was refused while numbers remained";
    EXPECT_EQ(all.size(), 400 - spent) << "no number twice";
}

} // namespace
