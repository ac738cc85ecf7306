// SPDX-License-Identifier: GPL-3.0-or-later
// What tavrel-records tells of a store: the summary's figures, and an export that a spreadsheet
// or a terminal takes as text, whatever a device sent.
#include "records/Summary.h"
#include "records/SqliteStore.h"
#include "support/TempFiles.h"

#include <QProcess>
#include <QUuid>
#include <gtest/gtest.h>

namespace {

QJsonObject Attempt(const QString& slot, int attempt, const QString& failure, double seconds,
                    const QString& time = QStringLiteral("2026-12-08T10:00:00.000Z")) {
    return {{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {"record", "attempt"},
            {"time", time},
            {"station", "s1"},
            {"slot", slot},
            {"attempt", attempt},
            {"result", failure.isEmpty() ? "passed" : "failed"},
            {"failure", failure},
            {"seconds", seconds}};
}

// Boards, not attempts: a board retried into a pass is one board passed, not first-pass; a
// port that failed at once adds nothing to the cycle time; a minute's work gives no rate.
TEST(Summary, CountsBoardsByTheirLastAttempt) {
    const QList<records::SlotSummary> rows = records::Summarize({
        Attempt("A", 1, "no_ack", 10),
        Attempt("A", 2, {}, 20),
        Attempt("A", 1, {}, 30),
        Attempt("B", 1, "port", 0),
    });
    ASSERT_EQ(rows.size(), 3);
    struct Expected {
        const char* slot;
        int passed, failed, attempts;
        double firstPassYield, p50;
    };
    for (const auto& [row, expected] : {std::pair{rows[0], Expected{"A", 2, 0, 3, 0.5, 20}},
                                        std::pair{rows[1], Expected{"B", 0, 1, 1, 0.0, 0}},
                                        std::pair{rows[2], Expected{"*", 2, 1, 4, 1.0 / 3, 20}}}) {
        SCOPED_TRACE(expected.slot);
        EXPECT_EQ(row.slot, expected.slot);
        EXPECT_EQ(row.passed, expected.passed);
        EXPECT_EQ(row.failed, expected.failed);
        EXPECT_EQ(row.attempts, expected.attempts);
        EXPECT_DOUBLE_EQ(row.firstPassYield, expected.firstPassYield);
        EXPECT_DOUBLE_EQ(row.cycleP50, expected.p50);
        EXPECT_LT(row.boardsPerHour, 0) << "under a minute of work";
    }
    EXPECT_EQ(rows[0].failures.value("no_ack"), 1);
}

TEST(Export, DeviceTextStaysText) {
    TempFiles files;
    {
        auto store = records::SqliteStore::Open(files.Path("r.sqlite"));
        ASSERT_TRUE(store);
        QJsonObject record = Attempt("A", 1, {}, 1);
        record.insert("usb_serial", QStringLiteral("=HYPERLINK(\"x\")\x1b]0;pwned\x07\x1b[2J"));
        ASSERT_TRUE((*store)->Add(record));
    }
    QProcess run;
    run.start(QStringLiteral(TAVREL_RECORDS_PATH),
              {"--store", "sqlite:" + files.Path("r.sqlite"), "export", "--format", "csv"});
    ASSERT_TRUE(run.waitForFinished(30000));
    const QByteArray csv = run.readAllStandardOutput();
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_FALSE(csv.contains('\x1b')) << "no escape sequence reaches a terminal";
    EXPECT_TRUE(csv.contains("\"'=HYPERLINK(\"\"x\"\")")) << csv.toStdString();
}

} // namespace
