// SPDX-License-Identifier: GPL-3.0-or-later
// The line's records store on loopback: a PostgreSQL server of the benchmark's own.
//   - a backlog of 100,000 records (a station that was cut off for a long shift) forwarded to
//     the server: records per second;
//   - a verdict's record to its row on the server while the server is up: latency p50/p95;
//   - a serial number issued from a counter, on SQLite and on PostgreSQL: latency p50/p99;
//   - eight boards of 236 blocks flashed by tavrel-flash with and without a PostgreSQL store:
//     wall time;
//   - 32 boards on that store, each stamped with its own serial number and MAC address, and the
//     same boards given the same bytes: wall time.
#include "bench/BenchCommon.h"
#include "records/Fields.h"
#include "records/PostgresStore.h"
#include "records/Recorder.h"
#include "support/PostgresServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <sqlite3.h>

namespace {

QJsonObject Attempt() {
    return {{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {"record", "attempt"},
            {"schema", 1},
            {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
            {"station", "bench"},
            {"port", "/dev/ttyUSB0"},
            {"slot", "Slot 1"},
            {"usb_serial", "A10K3ZQ"},
            {"image_sha256", QString(64, QLatin1Char('a'))},
            {"image_bytes", 241664},
            {"blocks", 236},
            {"result", "passed"},
            {"failure", ""},
            {"reason", ""},
            {"seconds", 24.1},
            {"attempt", 1}};
}

// The station's store with `count` records waiting, made in one transaction.
bool MakeBacklog(const QString& path, int count) {
    {
        auto store = records::SqliteStore::Open(path);
        if (!store || !(*store)->Add(Attempt())) {
            return false;
        }
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    QStringList copied;
    for (const records::Field& field : records::RecordFields()) {
        copied << (QLatin1String(field.name) == QLatin1String("id")
                       ? QStringLiteral("id || '-' || n.i")
                       : QStringLiteral("\"%1\"").arg(QLatin1String(field.name)));
    }
    const QByteArray sql =
        QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "%1) INSERT INTO records (%2) SELECT %3 FROM records, n WHERE seq = 1")
            .arg(count - 1)
            .arg(records::ColumnList(), copied.join(QLatin1Char(',')))
            .toUtf8();
    const bool ok = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// One tavrel-flash run over `count` simulated boards at 921600 baud: its wall time, -1 when a
// board failed.
double FlashBoards(int count, const QString& image, const QStringList& extra) {
    QProcess sims;
    sims.start(bench::BinaryPath("tavrel-devsim"),
               {"--count", QString::number(count), "--baud", "921600"});
    QStringList ports;
    while (ports.size() < count && sims.waitForReadyRead(10000)) {
        while (sims.canReadLine() && ports.size() < count) {
            ports << QString::fromLocal8Bit(sims.readLine()).trimmed();
        }
    }
    QStringList arguments{"-q"};
    for (const QString& port : ports) {
        arguments << "-p" << port;
    }
    QProcess flash;
    QElapsedTimer clock;
    clock.start();
    flash.start(bench::BinaryPath("tavrel-flash"), arguments + extra << image);
    flash.waitForFinished(600000);
    const double seconds = clock.nsecsElapsed() / 1e9;
    sims.terminate();
    sims.waitForFinished();
    return flash.exitCode() == 0 ? seconds : -1;
}

// The median of three runs of each; the runs take turns so that a slow moment of the machine
// falls on both.
std::pair<double, double> MediansOfThree(const std::function<double()>& a,
                                         const std::function<double()>& b) {
    std::vector<double> first;
    std::vector<double> second;
    for (int round = 0; round < 3; ++round) {
        first.push_back(a());
        second.push_back(b());
    }
    std::sort(first.begin(), first.end());
    std::sort(second.begin(), second.end());
    return {first[1], second[1]};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!PostgresServer::Available()) {
        std::printf("records_bench: no PostgreSQL server on this machine; skipped\n");
        return 0;
    }
    QTemporaryDir folder;
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder.filePath("data")));
    PostgresServer server;
    std::printf("Records store on loopback PostgreSQL (%s)\n",
                bench::MachineDescription().toLocal8Bit().constData());

    // 1. The backlog.
    constexpr int kBacklog = 100'000;
    const QString backlogPath = folder.filePath("backlog.sqlite");
    if (!MakeBacklog(backlogPath, kBacklog)) {
        std::fprintf(stderr, "records_bench: cannot make the backlog\n");
        return 1;
    }
    server.Query("CREATE DATABASE backlog");
    QElapsedTimer clock;
    clock.start();
    double drainSeconds = -1;
    {
        auto recorder = records::Recorder::Open(*records::ParseStoreUrl(server.Url("backlog")),
                                                "bench", backlogPath);
        if (recorder && (*recorder)->Drain(600'000)) {
            drainSeconds = clock.nsecsElapsed() / 1e9;
        }
    }
    const qint64 arrived =
        server.Query("SELECT count(*) FROM records", "backlog").value(0).toLongLong();
    const double perSecond = drainSeconds > 0 ? arrived / drainSeconds : 0;
    std::printf("  backlog of %d records forwarded in %.1f s: %.0f records/s (%lld arrived)\n",
                kBacklog, drainSeconds, perSecond, arrived);

    // 2. Verdict to row, one record every 50 ms.
    server.Query("CREATE DATABASE latency");
    {
        auto recorder = records::Recorder::Open(*records::ParseStoreUrl(server.Url("latency")),
                                                "bench", folder.filePath("latency.sqlite"));
        for (int i = 0; recorder && i < 200; ++i) {
            (void)(*recorder)->Add(Attempt());
            QThread::msleep(50);
        }
        if (recorder) {
            (void)(*recorder)->Drain(30'000);
        }
    }
    const QList<QByteArray> latency = server.Query(
        "SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY extract(epoch FROM received - "
        "\"time\"))::text || ' ' || percentile_cont(0.95) WITHIN GROUP (ORDER BY extract(epoch "
        "FROM received - \"time\"))::text FROM records",
        "latency");
    const QStringList figures = QString::fromUtf8(latency.value(0)).split(QLatin1Char(' '));
    const double p50 = figures.value(0).toDouble() * 1000;
    const double p95 = figures.value(1).toDouble() * 1000;
    std::printf("  verdict to row: p50 %.1f ms, p95 %.1f ms (200 records, one every 50 ms)\n", p50,
                p95);

    // 3. A serial number from a counter: one transaction each, as a board takes it.
    const auto allocation = [](records::Store& store) {
        std::vector<double> samplesUs;
        if (!store.DefineCounter("bench", 1, 1'000'000)) {
            return bench::Summarise(samplesUs);
        }
        for (int i = 0; i < 1000; ++i) {
            QElapsedTimer taken;
            taken.start();
            if (!store.IssueSerial("bench", "bench", "board")) {
                break;
            }
            samplesUs.push_back(taken.nsecsElapsed() / 1000.0);
        }
        return bench::Summarise(samplesUs);
    };
    server.Query("CREATE DATABASE counters");
    auto sqliteStore = records::SqliteStore::Open(folder.filePath("counters.sqlite"));
    auto postgresStore =
        records::PostgresStore::Open(*records::ParseStoreUrl(server.Url("counters")));
    const bench::Stats onSqlite = sqliteStore ? allocation(**sqliteStore) : bench::Stats{};
    const bench::Stats onPostgres = postgresStore ? allocation(**postgresStore) : bench::Stats{};
    std::printf(
        "  a serial number issued: SQLite p50 %.2f ms, p99 %.2f ms; PostgreSQL p50 %.2f ms, "
        "p99 %.2f ms (%d and %d numbers)\n",
        onSqlite.medianUs / 1000, onSqlite.p99Us / 1000, onPostgres.medianUs / 1000,
        onPostgres.p99Us / 1000, onSqlite.count, onPostgres.count);

    // 4. A station's run with and without the line's store.
    server.Query("CREATE DATABASE station");
    const QString image =
        bench::WriteTempFile("records-bench.bin", bench::RandomBytes(235 * 1024 + 100));
    const auto [without, with] =
        MediansOfThree([&] { return FlashBoards(8, image, {}); },
                       [&] {
                           return FlashBoards(8, image, {"--store", server.Url("station")});
                       });
    const double change = (with - without) / without * 100;
    std::printf("  8 boards, 236 blocks at 921600 baud: %.3f s without a store, %.3f s with the "
                "line's (%+.1f %%; medians of 3)\n",
                without, with, change);

    // 5. 32 boards on the line's store, each stamped with its own number and MAC address (and a
    // CRC over the image after them), against the same boards all given the same bytes.
    QByteArray blank = bench::RandomBytes(235 * 1024 + 100);
    blank.replace(0x10, 0x20, QByteArray(0x20, '\xff'));
    const QString stampedImage = bench::WriteTempFile("records-bench-stamped.bin", blank);
    server.Query("CREATE DATABASE stamped");
    const QStringList store{"--store", server.Url("stamped")};
    const QStringList stamp{"--stamp",
                            QStringLiteral("serial@0x10:u32le;mac@0x14;crc32@0x1c=0x20..0x%1")
                                .arg(blank.size() - 1, 0, 16),
                            "--stamp-counter",
                            "sn=1..1000000",
                            "--stamp-mac-pool",
                            "02:00:00:00:00:00..02:00:00:ff:ff:ff"};
    const auto [plain, stamped] =
        MediansOfThree([&] { return FlashBoards(32, stampedImage, store); },
                       [&] { return FlashBoards(32, stampedImage, store + stamp); });
    const double stampChange = (stamped - plain) / plain * 100;
    std::printf("  32 boards, 236 blocks at 921600 baud on the line's store: %.3f s the same "
                "bytes, %.3f s each stamped (%+.1f %%; medians of 3)\n",
                plain, stamped, stampChange);

    bench::WriteResult("records_bench", {{"backlog_records", kBacklog},
                                         {"backlog_records_per_second", perSecond},
                                         {"verdict_to_row_p50_ms", p50},
                                         {"verdict_to_row_p95_ms", p95},
                                         {"station_seconds_without_store", without},
                                         {"station_seconds_with_postgres", with},
                                         {"station_change_percent", change},
                                         {"station32_seconds_unstamped", plain},
                                         {"station32_seconds_stamped", stamped},
                                         {"station32_stamp_change_percent", stampChange},
                                         {"serial_sqlite", bench::ToJson(onSqlite)},
                                         {"serial_postgres", bench::ToJson(onPostgres)}});
    return 0;
}
