// SPDX-License-Identifier: GPL-3.0-or-later
// The line's model from records as the stations make them: which alarms a run of verdicts
// raises, what a late record changes, and the shift's figures.
#include "line/LineModel.h"

#include <QDateTime>
#include <QJsonArray>
#include <gtest/gtest.h>

namespace {

const qint64 kNow = QDateTime::currentMSecsSinceEpoch();

QJsonObject Attempt(const QString& station, const QString& slot, bool passed, qint64 ago,
                    int attempt = 1, double seconds = 2) {
    return {
        {"record", "attempt"},
        {"time", QDateTime::fromMSecsSinceEpoch(kNow - ago, Qt::UTC).toString(Qt::ISODateWithMs)},
        {"station", station},
        {"slot", slot},
        {"result", passed ? "passed" : "failed"},
        {"failure", passed ? "" : "no_ack"},
        {"reason", passed ? "" : "no ACK"},
        {"attempt", attempt},
        {"seconds", seconds},
        {"baud", 115200},
        {"blocks", 10}};
}

QStringList Kinds(const QJsonArray& alarms) {
    QStringList kinds;
    for (const QJsonValue& alarm : alarms) {
        kinds << alarm["kind"].toString() + ":" + alarm["station"].toString() + "/" +
                     alarm["slot"].toString();
    }
    return kinds;
}

TEST(LineModel, RaisesEachAlarmOnlyWhenItsNeighboursShowItIsNotTheLine) {
    struct Case {
        const char* name;
        QList<QJsonObject> records;
        QStringList alarms;
    };
    QList<QJsonObject> lowYield;
    for (int board = 0; board < 10; ++board) {
        lowYield << Attempt("a", QStringLiteral("s%1").arg(board % 4), board >= 2, 60000);
    }
    for (const Case& c : {
             Case{"slot failing board after board while a neighbour passes",
                  {Attempt("a", "s2", true, 5000), Attempt("a", "s1", false, 4000),
                   Attempt("a", "s1", false, 3000), Attempt("a", "s1", false, 2000)},
                  {"slot:a/s1"}},
             Case{"one bad board's retries: the board, not the slot",
                  {Attempt("a", "s2", true, 5000), Attempt("a", "s1", false, 4000),
                   Attempt("a", "s1", false, 3000, 2), Attempt("a", "s1", false, 2000, 3)},
                  {}},
             Case{"every slot failing: the line, not a slot",
                  {Attempt("a", "s2", false, 5000), Attempt("a", "s1", false, 4000),
                   Attempt("a", "s1", false, 3000), Attempt("a", "s1", false, 2000)},
                  {}},
             Case{"two failures are no streak yet",
                  {Attempt("a", "s2", true, 5000), Attempt("a", "s1", false, 4000),
                   Attempt("a", "s1", false, 3000)},
                  {}},
             Case{"a pass ends the streak",
                  {Attempt("a", "s2", true, 5000), Attempt("a", "s1", false, 4000),
                   Attempt("a", "s1", false, 3000), Attempt("a", "s1", true, 2500),
                   Attempt("a", "s1", false, 2000)},
                  {}},
             Case{"first-pass yield of the hour below 90 %", lowYield, {"yield:a/"}},
             Case{"a station quiet while another runs",
                  {Attempt("a", "s1", true, 11 * 60000), Attempt("b", "s1", true, 1000)},
                  {"quiet:a/"}},
             Case{"the whole line quiet: no alarm",
                  {Attempt("a", "s1", true, 11 * 60000), Attempt("b", "s1", true, 12 * 60000)},
                  {}},
         }) {
        line::LineModel model(8 * 3600, {});
        for (const QJsonObject& record : c.records) {
            model.Add(record);
        }
        model.Tick(kNow);
        EXPECT_EQ(Kinds(model.Alarms()), c.alarms) << c.name;
    }
}

TEST(LineModel, KeepsTheNewestVerdictAndCountsTheShift) {
    line::LineModel model(3600, {});
    model.Add(Attempt("a", "s1", true, 1000, 1, 2));
    model.Add(Attempt("a", "s1", false, 5000, 1, 9));      // forwarded late: older than the pass
    model.Add(Attempt("a", "s0", true, -2 * 3600 * 1000)); // a station's clock two hours ahead
    model.Add(Attempt("a", "s0", false, -100));            // ... does not hold its tile
    model.Add(Attempt("a", "s2", false, 3000, 1, 1));
    model.Add(Attempt("a", "s2", true, 2000, 2, 4));
    model.Add(Attempt("a", "s3", true, 2 * 3600 * 1000, 1, 3)); // before the shift
    model.Tick(kNow);
    const QJsonArray slots = model.Stations()[0].toObject()["slots"].toArray();
    EXPECT_EQ(slots[0]["result"].toString(), "failed") << "the newest, whatever a clock says";
    EXPECT_EQ(slots[1]["result"].toString(), "passed") << "a late record leaves the tile";
    EXPECT_EQ(slots.size(), 3) << "a record before the shift is not the shift's";
    const QJsonObject figures = model.Summary(kNow)["line"].toObject();
    EXPECT_EQ(figures["attempts"].toInt(), 6);
    EXPECT_EQ(figures["boards"].toInt(), 5);
    EXPECT_DOUBLE_EQ(figures["first_pass_yield"].toDouble(), 2.0 / 5);
    EXPECT_DOUBLE_EQ(figures["cycle_seconds_p95"].toDouble(), 4);
    // Ten blocks at 115200 baud: 0.9 s on the wire, about 4,000 boards an hour per slot.
    EXPECT_NEAR(figures["ceiling_per_hour"].toDouble(),
                3 * 3600 / ((10 * 1034 + 12) * 10 / 115200.0), 1);
}

} // namespace
