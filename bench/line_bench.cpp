// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-line against a PostgreSQL server of the benchmark's own on loopback:
//   - the page's queries on a store of 1,000,000 attempts (a week of 20 stations): the shift's
//     load at start, a look for new records, the stations' backlogs;
//   - 20 stations of 32 slots giving one verdict a second each for a minute: tavrel-line's CPU,
//     and each verdict's time from its commit to the page's live feed (p50/p95).
#include "bench/BenchCommon.h"
#include "records/PostgresStore.h"
#include "support/FreePort.h"
#include "support/PostgresServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>
#include <QUuid>
#include <QWebSocket>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

namespace {

constexpr int kStations = 20;
constexpr int kSlots = 32;

// The CPU time a process has used, in seconds.
double CpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) /
           double(sysconf(_SC_CLK_TCK));
}

double Milliseconds(const std::function<bool()>& query) {
    QElapsedTimer clock;
    clock.start();
    return query() ? clock.nsecsElapsed() / 1e6 : -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!PostgresServer::Available()) {
        std::printf("line_bench: no PostgreSQL server on this machine; skipped\n");
        return 0;
    }
    PostgresServer server;
    const auto url = *records::ParseStoreUrl(server.Url());
    auto store = records::PostgresStore::Open(url); // makes the schema
    if (!store) {
        std::printf("line_bench: %s\n", qPrintable(store.error().text));
        return 1;
    }
    // A week of a line: 1,000,000 attempts, one in twenty failed, the newest now.
    server.Query(
        "INSERT INTO records (id, record, schema, \"time\", station, port, slot, result, "
        "failure, reason, attempt, seconds, blocks, baud) SELECT gen_random_uuid()::text, "
        "'attempt', 1, now() - (1000000 - n) * interval '605 milliseconds', 'station-' || (n % "
        "20), '/dev/ttyUSB' || (n / 20 % 32), 'Slot ' || (n / 20 % 32), CASE WHEN n % 20 = 7 "
        "THEN 'failed' ELSE 'passed' END, CASE WHEN n % 20 = 7 THEN 'no_ack' ELSE '' END, '', "
        "1, 12.5, 236, 921600 FROM generate_series(1, 1000000) n RETURNING 1");
    server.Query("ANALYZE records");

    // The page's queries, as tavrel-line makes them.
    records::RecordFilter shift;
    shift.since = QDateTime::currentDateTimeUtc().addSecs(-8 * 3600);
    shift.afterSeq = 0;
    int shiftRecords = 0;
    const double loadMs = Milliseconds([&] {
        const auto got = (*store)->Fetch(shift);
        shiftRecords = got ? int(got->size()) : 0;
        return bool(got);
    });
    records::RecordFilter newer;
    newer.afterSeq = 999990;
    newer.seqs = {999000, 999001, 999002};
    newer.limit = 5000;
    std::vector<double> looks;
    for (int i = 0; i < 50; ++i) {
        looks.push_back(Milliseconds([&] { return bool((*store)->Fetch(newer)); }) * 1000);
    }
    const bench::Stats look = bench::Summarise(looks);
    const double backlogMs = Milliseconds([&] { return bool((*store)->Backlogs()); });
    std::printf("  on 1,000,000 attempts: the shift's %d records loaded in %.0f ms; a look for "
                "new records p50 %.2f ms, p99 %.2f ms; the backlogs %.2f ms\n",
                shiftRecords, loadMs, look.medianUs / 1000, look.p99Us / 1000, backlogMs);

    // The live line: 20 stations, one verdict a second each.
    const quint16 port = FreePort();
    QProcess line;
    line.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    line.start(bench::BinaryPath("tavrel-line"),
               {"--store", server.Url(), "--listen", QStringLiteral("127.0.0.1:%1").arg(port)});
    line.waitForStarted();
    QWebSocket live;
    std::map<QString, qint64> sent; // a verdict's time -> when its commit returned (ms)
    std::vector<double> latencies;
    QObject::connect(&live, &QWebSocket::textMessageReceived, [&](const QString& message) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QJsonArray stations = QJsonDocument::fromJson(message.toUtf8())["stations"].toArray();
        for (const QJsonValue& station : stations) {
            for (const QJsonValue& slot : station[QLatin1String("slots")].toArray()) {
                const auto found = sent.find(slot[QLatin1String("time")].toString());
                if (found != sent.end()) {
                    latencies.push_back(double(now - found->second) * 1000);
                    sent.erase(found);
                }
            }
        }
    });
    const bool connected = QTest::qWaitFor(
        [&] {
            if (live.state() == QAbstractSocket::UnconnectedState) {
                live.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(port)));
            }
            QTest::qWait(200);
            return live.state() == QAbstractSocket::ConnectedState;
        },
        120000);
    if (!connected) {
        std::printf("line_bench: tavrel-line's live feed does not answer\n");
        return 1;
    }
    const double cpuBefore = CpuSeconds(line.processId());
    QElapsedTimer clock;
    clock.start();
    constexpr int kSeconds = 60;
    int verdict = 0;
    while (clock.elapsed() < kSeconds * 1000) {
        // One verdict of each station a second, spread over the second.
        const qint64 due = qint64(verdict) * 1000 / kStations;
        QTest::qWait(int(std::max<qint64>(0, due - clock.elapsed())));
        const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        const int station = verdict % kStations;
        const int slot = verdict / kStations % kSlots;
        (void)(*store)->Insert(
            {QJsonObject{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                         {"record", "attempt"},
                         {"schema", 1},
                         {"time", time},
                         {"station", QStringLiteral("station-%1").arg(station)},
                         {"port", QStringLiteral("/dev/ttyUSB%1").arg(slot)},
                         {"slot", QStringLiteral("Slot %1").arg(slot)},
                         {"result", "passed"},
                         {"attempt", 1},
                         {"seconds", 12.5},
                         {"blocks", 236},
                         {"baud", 921600}}});
        sent[time] = QDateTime::currentMSecsSinceEpoch();
        ++verdict;
    }
    QTest::qWait(2000);
    const double cpu = (CpuSeconds(line.processId()) - cpuBefore) / (clock.elapsed() / 1000.0);
    const bench::Stats latency = bench::Summarise(latencies);
    std::sort(latencies.begin(), latencies.end());
    const double p95 = latencies.empty()
                           ? 0
                           : latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    std::printf("  20 stations x 32 slots, a verdict a second each, for %d s: tavrel-line used "
                "%.1f %% of a core; commit to the live feed p50 %.0f ms, p95 %.0f ms (%d of %d "
                "verdicts seen)\n",
                kSeconds, cpu * 100, latency.medianUs / 1000, p95 / 1000, latency.count, verdict);
    line.terminate();
    line.waitForFinished();
    bench::WriteResult("line_bench", {{"shift_records", shiftRecords},
                                      {"shift_load_ms", loadMs},
                                      {"new_records_look", bench::ToJson(look)},
                                      {"backlogs_ms", backlogMs},
                                      {"cpu_percent_of_a_core", cpu * 100},
                                      {"verdict_to_feed", bench::ToJson(latency)},
                                      {"verdict_to_feed_p95_ms", p95 / 1000}});
    return 0;
}
