// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a line's supervisor asks of the records: per station and slot, how many boards passed and
// failed, the first-pass yield, boards per hour, the cycle time and the failures by kind.

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

namespace records {

struct SlotSummary {
    QString station;
    QString slot; // the fixture's name, else the port
    int passed = 0;
    int failed = 0;
    // Of the boards' first attempts, the share that passed; -1 when there was none.
    double firstPassYield = -1;
    double boardsPerHour = 0; // passed, over the time from the first start to the last end
    double cycleP50 = 0;      // seconds per attempt
    double cycleP95 = 0;
    QMap<QString, int> failures; // by kind ("no_ack", ...)
    QJsonObject ToJson() const;
};

// One row per station and slot, in order, then the line's own (station and slot "*").
QList<SlotSummary> Summarize(const QList<QJsonObject>& records);

} // namespace records
