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

struct Tally {
    SlotSummary summary;
    int firstAttempts = 0;
    int firstPassed = 0;
    std::vector<double> seconds;
    QDateTime first;
    QDateTime last;

    void Add(const QJsonObject& record) {
        const bool passed =
            record.value(QLatin1String("result")).toString() == QLatin1String("passed");
        (passed ? summary.passed : summary.failed) += 1;
        if (!passed) {
            summary.failures[record.value(QLatin1String("failure")).toString()] += 1;
        }
        if (record.value(QLatin1String("attempt")).toInteger() == 1) {
            ++firstAttempts;
            firstPassed += passed ? 1 : 0;
        }
        const double took = record.value(QLatin1String("seconds")).toDouble();
        seconds.push_back(took);
        const QDateTime start = QDateTime::fromString(
            record.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
        if (start.isValid()) {
            const QDateTime end = start.addMSecs(qint64(took * 1000));
            first = first.isValid() ? std::min(first, start) : start;
            last = last.isValid() ? std::max(last, end) : end;
        }
    }

    SlotSummary Done() {
        std::sort(seconds.begin(), seconds.end());
        summary.cycleP50 = Percentile(seconds, 0.50);
        summary.cycleP95 = Percentile(seconds, 0.95);
        summary.firstPassYield = firstAttempts > 0 ? double(firstPassed) / firstAttempts : -1;
        const double hours = first.isValid() ? first.msecsTo(last) / 3'600'000.0 : 0;
        summary.boardsPerHour = hours > 0 ? summary.passed / hours : 0;
        return summary;
    }
};

} // namespace

QJsonObject SlotSummary::ToJson() const {
    QJsonObject failuresByKind;
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        failuresByKind.insert(it.key(), it.value());
    }
    return {{"station", station},
            {"slot", slot},
            {"passed", passed},
            {"failed", failed},
            {"first_pass_yield", firstPassYield < 0 ? QJsonValue() : QJsonValue(firstPassYield)},
            {"boards_per_hour", boardsPerHour},
            {"cycle_seconds_p50", cycleP50},
            {"cycle_seconds_p95", cycleP95},
            {"failures", failuresByKind}};
}

QList<SlotSummary> Summarize(const QList<QJsonObject>& records) {
    std::map<std::pair<QString, QString>, Tally> slots;
    Tally line;
    line.summary.station = line.summary.slot = QStringLiteral("*");
    for (const QJsonObject& record : records) {
        if (record.value(QLatin1String("record")).toString() != QLatin1String("attempt")) {
            continue; // the counters' resets
        }
        const QString station = record.value(QLatin1String("station")).toString();
        QString slot = record.value(QLatin1String("slot")).toString();
        if (slot.isEmpty()) {
            slot = record.value(QLatin1String("port")).toString();
        }
        Tally& tally = slots[{station, slot}];
        tally.summary.station = station;
        tally.summary.slot = slot;
        tally.Add(record);
        line.Add(record);
    }
    QList<SlotSummary> rows;
    for (auto& [key, tally] : slots) {
        rows << tally.Done();
    }
    if (!rows.isEmpty()) {
        rows << line.Done();
    }
    return rows;
}

} // namespace records
