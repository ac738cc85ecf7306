// SPDX-License-Identifier: GPL-3.0-or-later
#include "line/LineModel.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace line {

namespace {

constexpr int kLastFailures = 20;
constexpr double kSecondsBuckets[] = {1, 2, 5, 10, 20, 30, 60, 120, 300};
constexpr int kBlockPacketBytes = 1034; // a block's packet on the wire
constexpr int kSwitchPacketBytes = 12;

QString Text(const QJsonObject& record, const char* key) {
    return record.value(QLatin1String(key)).toString();
}

qint64 TimeOf(const QJsonObject& record) {
    const QDateTime time = QDateTime::fromString(Text(record, "time"), Qt::ISODateWithMs);
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

// The nearest-rank percentile.
double Percentile(std::vector<float>& values, double share) {
    if (values.empty()) {
        return 0;
    }
    const auto rank = std::clamp<std::size_t>(std::size_t(std::ceil(share * double(values.size()))),
                                              1, values.size()) -
                      1;
    std::nth_element(values.begin(), values.begin() + long(rank), values.end());
    return values[rank];
}

QJsonValue OrNull(double value) {
    return value < 0 ? QJsonValue() : QJsonValue(value);
}

QString TimeText(qint64 ms) {
    return ms == 0 ? QString()
                   : QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// A Prometheus label value: backslash, quote and line end escaped.
QString Label(QString value) {
    return value.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

} // namespace

LineModel::LineModel(qint64 windowSeconds, AlarmSettings alarms)
    : m_windowMs(windowSeconds * 1000), m_alarmSettings(alarms) {}

int LineModel::StationIndex(const QString& name) {
    for (std::size_t i = 0; i < m_stations.size(); ++i) {
        if (m_stations[i].name == name) {
            return int(i);
        }
    }
    m_stations.push_back(Station{name, {}, 0, 0, 0, -1, 0});
    return int(m_stations.size()) - 1;
}

std::vector<std::size_t> LineModel::ByName() const {
    std::vector<std::size_t> order(m_stations.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
        return m_stations[a].name < m_stations[b].name;
    });
    return order;
}

int LineModel::FailureIndex(const QString& kind) {
    const int found = int(m_failureKinds.indexOf(kind));
    if (found >= 0) {
        return found;
    }
    m_failureKinds << kind;
    return int(m_failureKinds.size()) - 1;
}

void LineModel::Add(const QJsonObject& record) {
    if (Text(record, "record") != QLatin1String("attempt")) {
        return;
    }
    // A station's clock ahead would freeze its tiles: no verdict is later than now. One older
    // than the shift (a long backlog) is not the shift's.
    const qint64 now = std::max(QDateTime::currentMSecsSinceEpoch(), m_nowMs);
    const qint64 timeMs = std::min(TimeOf(record), now);
    if (timeMs < now - m_windowMs) {
        return;
    }
    const QString stationName = Text(record, "station");
    const int stationIndex = StationIndex(stationName);
    Station& station = m_stations[std::size_t(stationIndex)];
    QString slotName = Text(record, "slot");
    if (slotName.isEmpty()) {
        slotName = Text(record, "port");
    }
    const bool passed = Text(record, "result") == QLatin1String("passed");
    const QString failure = passed ? QString() : Text(record, "failure");
    const double seconds = record.value(QLatin1String("seconds")).toDouble();
    const int attempt = int(record.value(QLatin1String("attempt")).toInteger());
    station.lastRecordMs = std::max(station.lastRecordMs, timeMs);
    const double baud = record.value(QLatin1String("baud")).toDouble();
    const int blocks = int(record.value(QLatin1String("blocks")).toInteger());
    if (baud > 0 && blocks > 0) {
        station.baud = baud;
        station.blocks = blocks;
    }
    const double wireSeconds =
        baud > 0 && blocks > 0
            ? (double(blocks) * kBlockPacketBytes + kSwitchPacketBytes) * 10.0 / baud
            : 0;

    Slot& slot = station.slots[slotName];
    slot.name = slotName;
    if (timeMs >= slot.timeMs) { // a late record of an older attempt leaves the tile as it is
        slot.port = Text(record, "port");
        slot.result = passed ? QStringLiteral("passed") : QStringLiteral("failed");
        slot.failure = failure;
        slot.reason = Text(record, "reason");
        slot.boardSerial = Text(record, "board_serial");
        slot.usbSerial = Text(record, "usb_serial");
        slot.timeMs = timeMs;
        slot.attempt = attempt;
        // Boards in a row, not attempts: one bad board's retries are not a bad slot.
        if (passed) {
            slot.failuresInARow = 0;
        } else if (attempt <= 1 && slot.failuresInARow++ == 0) {
            slot.streakStartMs = timeMs;
        }
        CheckSlot(station, slot);
    }
    if (!passed) {
        m_lastFailures.push_front(
            {timeMs, stationName, slotName, failure, slot.reason, Text(record, "board_serial")});
        std::sort(m_lastFailures.begin(), m_lastFailures.end(),
                  [](const Failure& a, const Failure& b) { return a.timeMs > b.timeMs; });
        while (m_lastFailures.size() > kLastFailures) {
            m_lastFailures.pop_back();
        }
    }
    m_attempts.push_back({timeMs, stationIndex, passed, attempt <= 1, float(seconds),
                          passed ? -1 : FailureIndex(failure),
                          wireSeconds > 0 ? 3600.0 / wireSeconds : 0, slotName});

    m_attemptCounts[{stationName, slotName, Text(record, "result"), failure}] += 1;
    std::vector<qint64>& buckets = m_secondsBuckets[stationName];
    buckets.resize(std::size(kSecondsBuckets) + 1);
    for (std::size_t i = 0; i < std::size(kSecondsBuckets); ++i) {
        buckets[i] += seconds <= kSecondsBuckets[i] ? 1 : 0;
    }
    buckets.back() += 1;
    m_secondsSum[stationName] += seconds;
}

void LineModel::CheckSlot(const Station& station, const Slot& slot) {
    if (slot.failuresInARow < m_alarmSettings.failuresInARow) {
        return;
    }
    // Its neighbours pass: the slot (its pins, its cable, its hub port), not the line.
    const bool neighboursPass =
        std::any_of(station.slots.begin(), station.slots.end(), [&](const auto& other) {
            return other.first != slot.name && other.second.result == QLatin1String("passed");
        });
    if (!neighboursPass) {
        return;
    }
    // Names are joined, never put through arg(): a "%1" in a name stays as it is.
    Raise({QStringLiteral("slot/") + station.name + QLatin1Char('/') + slot.name +
               QLatin1Char('/') + QString::number(slot.streakStartMs),
           QStringLiteral("slot"), station.name, slot.name,
           slot.name + QStringLiteral(" failed %1 times in a row (").arg(slot.failuresInARow) +
               slot.failure + QStringLiteral(") while other slots of ") + station.name +
               QStringLiteral(" pass"),
           slot.timeMs});
}

void LineModel::Raise(Alarm alarm) {
    for (Alarm& raised : m_alarms) {
        if (raised.id == alarm.id) {
            raised.text = alarm.text; // the count goes on
            return;
        }
    }
    m_alarms << alarm;
}

void LineModel::CheckYield(qint64 now) {
    const qint64 hourAgo = now - 3'600'000;
    std::vector<int> boards(m_stations.size());
    std::vector<int> firstPassed(m_stations.size());
    for (const Attempt& attempt : m_attempts) {
        if (attempt.timeMs >= hourAgo && attempt.firstOfBoard) {
            boards[std::size_t(attempt.station)] += 1;
            firstPassed[std::size_t(attempt.station)] += attempt.passed ? 1 : 0;
        }
    }
    const qint64 hour = now / 3'600'000;
    for (std::size_t s = 0; s < m_stations.size(); ++s) {
        if (boards[s] < m_alarmSettings.yieldMinimumBoards) {
            continue;
        }
        const double yield = double(firstPassed[s]) / boards[s];
        if (yield < m_alarmSettings.yieldBelow) {
            Raise({QStringLiteral("yield/") + m_stations[s].name + QLatin1Char('/') +
                       QString::number(hour),
                   QStringLiteral("yield"), m_stations[s].name, QString(),
                   QStringLiteral("first-pass yield of ") + m_stations[s].name +
                       QStringLiteral(" over the last hour is %1 %, below %2 %")
                           .arg(yield * 100, 0, 'f', 1)
                           .arg(m_alarmSettings.yieldBelow * 100, 0, 'f', 0),
                   now});
        }
    }
}

void LineModel::Tick(qint64 now) {
    m_nowMs = now;
    // In the order they came, which is not always the order they were made (a backlog).
    m_attempts.erase(
        std::remove_if(m_attempts.begin(), m_attempts.end(),
                       [&](const Attempt& attempt) { return attempt.timeMs < now - m_windowMs; }),
        m_attempts.end());
    m_alarms.erase(
        std::remove_if(m_alarms.begin(), m_alarms.end(),
                       [&](const Alarm& alarm) { return alarm.sinceMs < now - m_windowMs; }),
        m_alarms.end());
    while (!m_lastFailures.empty() && m_lastFailures.back().timeMs < now - m_windowMs) {
        m_lastFailures.pop_back();
    }
    CheckYield(now);
    const qint64 quietMs = qint64(m_alarmSettings.quietMinutes) * 60'000;
    for (const Station& station : m_stations) {
        const bool othersRun =
            std::any_of(m_stations.begin(), m_stations.end(), [&](const Station& other) {
                return other.name != station.name && other.lastRecordMs >= now - quietMs;
            });
        if (othersRun && station.lastRecordMs < now - quietMs && station.lastRecordMs > 0) {
            Raise({QStringLiteral("quiet/") + station.name + QLatin1Char('/') +
                       QString::number(station.lastRecordMs),
                   QStringLiteral("quiet"), station.name, QString(),
                   station.name + QStringLiteral(" has made no record for %1 minutes while other "
                                                 "stations run")
                                      .arg((now - station.lastRecordMs) / 60'000),
                   now});
        }
    }
}

void LineModel::SetBacklog(const QString& station, qint64 waiting, qint64 toldMs) {
    Station& told = m_stations[std::size_t(StationIndex(station))];
    told.backlog = waiting;
    told.backlogToldMs = toldMs;
}

QJsonArray LineModel::Stations() const {
    QJsonArray stations;
    for (const std::size_t index : ByName()) {
        const Station& station = m_stations[index];
        QJsonArray slots;
        for (const auto& [name, slot] : station.slots) {
            slots.append(QJsonObject{{"slot", slot.name},
                                     {"port", slot.port},
                                     {"result", slot.result},
                                     {"failure", slot.failure},
                                     {"reason", slot.reason},
                                     {"board_serial", slot.boardSerial},
                                     {"usb_serial", slot.usbSerial},
                                     {"attempt", slot.attempt},
                                     {"failures_in_a_row", slot.failuresInARow},
                                     {"time", TimeText(slot.timeMs)}});
        }
        stations.append(QJsonObject{
            {"station", station.name},
            {"last_record", TimeText(station.lastRecordMs)},
            {"baud", station.baud},
            {"backlog", station.backlog < 0 ? QJsonValue() : QJsonValue(station.backlog)},
            {"backlog_told", TimeText(station.backlogToldMs)},
            {"slots", slots}});
    }
    return stations;
}

bool LineModel::Active(const Alarm& alarm) const {
    for (const Station& station : m_stations) {
        if (station.name != alarm.station) {
            continue;
        }
        if (alarm.kind == QLatin1String("slot")) {
            const auto slot = station.slots.find(alarm.slot);
            return slot != station.slots.end() &&
                   slot->second.failuresInARow >= m_alarmSettings.failuresInARow;
        }
        if (alarm.kind == QLatin1String("quiet")) {
            return station.lastRecordMs < m_nowMs - qint64(m_alarmSettings.quietMinutes) * 60'000;
        }
    }
    return alarm.kind == QLatin1String("yield") && alarm.sinceMs / 3'600'000 == m_nowMs / 3'600'000;
}

QJsonArray LineModel::Alarms() const {
    QJsonArray alarms;
    for (const Alarm& alarm : m_alarms) {
        alarms.append(QJsonObject{{"id", alarm.id},
                                  {"kind", alarm.kind},
                                  {"station", alarm.station},
                                  {"slot", alarm.slot},
                                  {"text", alarm.text},
                                  {"active", Active(alarm)}, // the cause still holds
                                  {"since", TimeText(alarm.sinceMs)}});
    }
    return alarms;
}

QJsonObject LineModel::Summary(qint64 now) const {
    struct Tally {
        int attempts = 0;
        int boards = 0;
        int firstPassed = 0;
        int passed = 0;
        int failed = 0;
        qint64 firstMs = 0;
        std::vector<float> cycles;
        std::map<QString, double> ceilings; // per slot: what its wire allows
    };
    std::vector<Tally> tallies(m_stations.size() + 1); // the last: the line
    const std::size_t lineIndex = m_stations.size();
    const qint64 hourMs = 3'600'000;
    const qint64 firstHour = (now - m_windowMs) / hourMs;
    std::map<qint64, std::map<int, int>> failuresByHour;
    for (const Attempt& attempt : m_attempts) {
        if (attempt.timeMs < now - m_windowMs) {
            continue;
        }
        for (Tally* tally : {&tallies[std::size_t(attempt.station)], &tallies[lineIndex]}) {
            tally->attempts += 1;
            tally->boards += attempt.firstOfBoard ? 1 : 0;
            tally->firstPassed += attempt.firstOfBoard && attempt.passed ? 1 : 0;
            (attempt.passed ? tally->passed : tally->failed) += 1;
            tally->firstMs =
                tally->firstMs == 0 ? attempt.timeMs : std::min(tally->firstMs, attempt.timeMs);
            if (attempt.passed) {
                tally->cycles.push_back(attempt.seconds);
            }
            if (attempt.ceiling > 0) {
                tally->ceilings[m_stations[std::size_t(attempt.station)].name +
                                QLatin1Char('\x1f') + attempt.slot] = attempt.ceiling;
            }
        }
        if (!attempt.passed) {
            failuresByHour[std::max(attempt.timeMs / hourMs, firstHour)][attempt.failure] += 1;
        }
    }
    const auto figures = [&](Tally& tally, const QString& name) {
        const double hours =
            tally.firstMs == 0 ? 0 : (now - std::max(tally.firstMs, now - m_windowMs)) / 3.6e6;
        double ceiling = 0;
        for (const auto& [slot, perHour] : tally.ceilings) {
            ceiling += perHour;
        }
        return QJsonObject{
            {"station", name},
            {"attempts", tally.attempts},
            {"boards", tally.boards},
            {"passed", tally.passed},
            {"failed", tally.failed},
            {"first_pass_yield",
             OrNull(tally.boards ? double(tally.firstPassed) / tally.boards : -1)},
            {"boards_per_hour", OrNull(hours >= 1.0 / 60 ? tally.passed / hours : -1)},
            {"ceiling_per_hour", OrNull(ceiling > 0 ? ceiling : -1)},
            {"cycle_seconds_p50", Percentile(tally.cycles, 0.50)},
            {"cycle_seconds_p95", Percentile(tally.cycles, 0.95)}};
    };
    QJsonArray stations;
    for (const std::size_t s : ByName()) {
        stations.append(figures(tallies[s], m_stations[s].name));
    }
    QJsonArray hours;
    for (qint64 hour = firstHour; hour <= now / hourMs; ++hour) {
        QJsonObject byKind;
        for (const auto& [kind, count] : failuresByHour[hour]) {
            byKind.insert(m_failureKinds.value(kind), count);
        }
        hours.append(QJsonObject{{"hour", TimeText(hour * hourMs)}, {"failures", byKind}});
    }
    QJsonArray lastFailures;
    for (const Failure& failure : m_lastFailures) {
        lastFailures.append(QJsonObject{{"time", TimeText(failure.timeMs)},
                                        {"station", failure.station},
                                        {"slot", failure.slot},
                                        {"failure", failure.kind},
                                        {"reason", failure.reason},
                                        {"board_serial", failure.boardSerial}});
    }
    return {{"since", TimeText(now - m_windowMs)},
            {"stations", stations},
            {"line", figures(tallies[lineIndex], QStringLiteral("*"))},
            {"failures_by_hour", hours},
            {"last_failures", lastFailures}};
}

QByteArray LineModel::Metrics(const QString& backlogNote) const {
    // Names are joined, never put through arg(): a "%1" in a name stays as it is.
    const auto sample = [](const QString& name, const QStringList& labels, const QString& value) {
        return name + QLatin1Char('{') + labels.join(QLatin1Char(',')) + QStringLiteral("} ") +
               value + QLatin1Char('\n');
    };
    const auto label = [](const char* name, const QString& value) {
        return QLatin1String(name) + QStringLiteral("=\"") + Label(value) + QLatin1Char('"');
    };
    const auto number = [](double value) { return QString::number(value, 'g', 17); };
    QString text = QStringLiteral("# HELP tavrel_attempts_total Update attempts the line's store "
                                  "holds since tavrel-line started reading it.\n"
                                  "# TYPE tavrel_attempts_total counter\n");
    for (const auto& [key, count] : m_attemptCounts) {
        const auto& [station, slot, result, failure] = key;
        text += sample(QStringLiteral("tavrel_attempts_total"),
                       {label("station", station), label("slot", slot), label("result", result),
                        label("failure", failure)},
                       QString::number(count));
    }
    text += QStringLiteral("# HELP tavrel_attempt_seconds How long the attempts took.\n"
                           "# TYPE tavrel_attempt_seconds histogram\n");
    for (const auto& [station, buckets] : m_secondsBuckets) {
        for (std::size_t i = 0; i < std::size(kSecondsBuckets); ++i) {
            text += sample(QStringLiteral("tavrel_attempt_seconds_bucket"),
                           {label("station", station), label("le", number(kSecondsBuckets[i]))},
                           QString::number(buckets[i]));
        }
        text += sample(QStringLiteral("tavrel_attempt_seconds_bucket"),
                       {label("station", station), label("le", QStringLiteral("+Inf"))},
                       QString::number(buckets.back()));
        text += sample(QStringLiteral("tavrel_attempt_seconds_sum"), {label("station", station)},
                       number(m_secondsSum.at(station)));
        text += sample(QStringLiteral("tavrel_attempt_seconds_count"), {label("station", station)},
                       QString::number(buckets.back()));
    }
    text += QStringLiteral("# HELP tavrel_station_backlog_records Records a station still has to "
                           "send to the line's store, as it last told.\n"
                           "# TYPE tavrel_station_backlog_records gauge\n");
    QString ages = QStringLiteral("# HELP tavrel_station_backlog_age_seconds How long ago a "
                                  "station last told its backlog.\n"
                                  "# TYPE tavrel_station_backlog_age_seconds gauge\n");
    for (const std::size_t index : ByName()) {
        const Station& station = m_stations[index];
        if (station.backlog < 0) {
            continue;
        }
        text += sample(QStringLiteral("tavrel_station_backlog_records"),
                       {label("station", station.name)}, QString::number(station.backlog));
        ages += sample(QStringLiteral("tavrel_station_backlog_age_seconds"),
                       {label("station", station.name)},
                       number(std::max<qint64>(0, m_nowMs - station.backlogToldMs) / 1000.0));
    }
    text += ages + backlogNote;
    return text.toUtf8();
}

} // namespace line
