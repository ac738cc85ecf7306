// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a line's supervisor asks of the records: per station and slot, how many boards passed and
// failed, the first-pass yield, boards per hour, the cycle time and the failures by kind.

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

namespace records {

struct SlotSummary {
    QString station;
    QString slot;     // the fixture's name, else the port
    int passed = 0;   // boards whose last attempt passed
    int failed = 0;   // boards whose last attempt failed
    int attempts = 0; // a board retried has several
    // The share of boards whose first attempt passed; -1 when there was none.
    double firstPassYield = -1;
    // Boards passed per hour of the asked window (--since), else of the time from the first
    // attempt's start to the last one's end; -1 over less than a minute.
    double boardsPerHour = -1;
    double cycleP50 = 0; // seconds of the attempts that passed
    double cycleP95 = 0;
    QMap<QString, int> failures; // by kind ("no_ack", ...)
    QJsonObject ToJson() const;
};

// One row per station and slot, in order, then the line's own (station and slot "*"), of the
// records in the order they were made; `since`: the window they were asked for.
QList<SlotSummary> Summarize(const QList<QJsonObject>& records, const QDateTime& since = {});

} // namespace records
