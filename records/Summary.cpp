// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/Summary.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace records {

namespace {

// The nearest-rank percentile of sorted values.
double Percentile(const std::vector<double>& sorted, double share) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank = std::size_t(std::ceil(share * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

QString Text(const QJsonObject& record, const char* key) {
    return record.value(QLatin1String(key)).toString();
}

bool Passed(const QJsonObject& record) {
    return Text(record, "result") == QLatin1String("passed");
}

// A board: its attempts on one port, from attempt 1 to the last.
struct Board {
    bool firstPassed = false;
    bool passed = false; // its last attempt
};

struct Tally {
    SlotSummary summary;
    std::vector<Board> boards;
    std::vector<double> cycles; // seconds of the attempts that passed
    QDateTime first;
    QDateTime last;

    // `startsBoard`: the attempt is a board's first (else it continues the board before).
    void Add(const QJsonObject& record, bool startsBoard) {
        ++summary.attempts;
        const bool passed = Passed(record);
        if (startsBoard || boards.empty()) {
            boards.push_back({passed, passed});
        }
        boards.back().passed = passed;
        if (!passed) {
            summary.failures[Text(record, "failure")] += 1;
        }
        const double took = record.value(QLatin1String("seconds")).toDouble();
        if (passed) {
            cycles.push_back(took);
        }
        const QDateTime start = QDateTime::fromString(Text(record, "time"), Qt::ISODateWithMs);
        if (start.isValid()) {
            const QDateTime end = start.addMSecs(qint64(took * 1000));
            first = first.isValid() ? std::min(first, start) : start;
            last = last.isValid() ? std::max(last, end) : end;
        }
    }

    SlotSummary Done(const QDateTime& since) {
        int firstPassed = 0;
        for (const Board& board : boards) {
            (board.passed ? summary.passed : summary.failed) += 1;
            firstPassed += board.firstPassed ? 1 : 0;
        }
        std::sort(cycles.begin(), cycles.end());
        summary.cycleP50 = Percentile(cycles, 0.50);
        summary.cycleP95 = Percentile(cycles, 0.95);
        summary.firstPassYield = boards.empty() ? -1 : double(firstPassed) / double(boards.size());
        // Over the asked window; without one, over the time the attempts took, once that is
        // long enough to say anything per hour.
        const double hours = since.isValid()
                                 ? since.msecsTo(QDateTime::currentDateTimeUtc()) / 3'600'000.0
                             : first.isValid() ? first.msecsTo(last) / 3'600'000.0
                                               : 0;
        summary.boardsPerHour = hours >= 1.0 / 60 ? summary.passed / hours : -1;
        return summary;
    }
};

} // namespace

QJsonObject SlotSummary::ToJson() const {
    QJsonObject failuresByKind;
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        failuresByKind.insert(it.key(), it.value());
    }
    const auto orNull = [](double value) { return value < 0 ? QJsonValue() : QJsonValue(value); };
    return {{"station", station},
            {"slot", slot},
            {"passed", passed},
            {"failed", failed},
            {"attempts", attempts},
            {"first_pass_yield", orNull(firstPassYield)},
            {"boards_per_hour", orNull(boardsPerHour)},
            {"cycle_seconds_p50", cycleP50},
            {"cycle_seconds_p95", cycleP95},
            {"failures", failuresByKind}};
}

QList<SlotSummary> Summarize(const QList<QJsonObject>& records, const QDateTime& since) {
    std::map<std::pair<QString, QString>, Tally> slots;
    Tally line;
    line.summary.station = line.summary.slot = QStringLiteral("*");
    for (const QJsonObject& record : records) {
        if (Text(record, "record") != QLatin1String("attempt")) {
            continue; // the counters' resets
        }
        const QString station = Text(record, "station");
        QString slot = Text(record, "slot");
        if (slot.isEmpty()) {
            slot = Text(record, "port");
        }
        Tally& tally = slots[{station, slot}];
        tally.summary.station = station;
        tally.summary.slot = slot;
        // A retry continues its board; attempt 1 is a new board (the records come in order).
        const bool startsBoard = record.value(QLatin1String("attempt")).toInteger() <= 1;
        tally.Add(record, startsBoard);
        line.Add(record, startsBoard);
    }
    QList<SlotSummary> rows;
    for (auto& [key, tally] : slots) {
        rows << tally.Done(since);
    }
    if (!rows.isEmpty()) {
        // The line's boards are the slots' boards.
        line.boards.clear();
        for (const auto& [key, tally] : slots) {
            line.boards.insert(line.boards.end(), tally.boards.begin(), tally.boards.end());
        }
        rows << line.Done(since);
    }
    return rows;
}

} // namespace records
