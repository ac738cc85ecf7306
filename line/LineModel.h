// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The line as its supervisor sees it, made from the records the stations keep in the line's
// store: each station's slots with their last verdict, the figures of the shift (first-pass
// yield, boards per hour against what the wire allows, cycle time, failures by kind) and the
// alarms. It keeps a compact copy of the shift's attempts and is told each new record once.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <deque>
#include <map>
#include <tuple>
#include <vector>

namespace line {

struct AlarmSettings {
    int failuresInARow = 3;      // a slot failing this often while its neighbours pass
    double yieldBelow = 0.9;     // first-pass yield over the last hour below this ...
    int yieldMinimumBoards = 10; // ... of at least this many boards
    int quietMinutes = 10;       // a station without a record this long while others run
};

class LineModel {
  public:
    // `window`: how far back the shift's figures reach.
    LineModel(qint64 windowSeconds, AlarmSettings alarms);

    // A record from the store (attempts; other records are passed over). Records may come late
    // and out of order (a station that was cut off forwards its backlog).
    void Add(const QJsonObject& record);
    // Lets time pass: the shift's window moves, quiet stations raise their alarms. `now` in ms
    // since the epoch.
    void Tick(qint64 now);

    // What the page shows of each slot, the alarms: cheap, for every change.
    QJsonArray Stations() const;
    QJsonArray Alarms() const;
    // The shift's figures per station and for the line: a pass over the shift's attempts.
    QJsonObject Summary(qint64 now) const;
    // What each station last told the line's store of the records it still has to send.
    void SetBacklog(const QString& station, qint64 waiting, qint64 toldMs);
    // Prometheus' text: counts since the server started.
    QByteArray Metrics(const QString& backlogNote = {}) const;

  private:
    struct Attempt {
        qint64 timeMs;
        int station;
        bool passed;
        bool firstOfBoard; // attempt 1: a new board
        float seconds;
        int failure;    // index into m_failureKinds; -1 when passed
        double ceiling; // boards per hour the wire allows one slot, 0 when unknown
        QString slot;
    };
    struct Slot {
        QString name;
        QString port;
        QString result; // "passed", "failed", "" (none yet)
        QString failure;
        QString reason;
        QString boardSerial;
        QString usbSerial;
        qint64 timeMs = 0;
        int attempt = 0;
        int failuresInARow = 0;
        qint64 streakStartMs = 0;
    };
    struct Station {
        QString name;
        std::map<QString, Slot> slots;
        qint64 lastRecordMs = 0;
        double baud = 0;
        int blocks = 0;
        qint64 backlog = -1; // records still to send, as the station last told; -1: not told
        qint64 backlogToldMs = 0;
    };
    struct Alarm {
        QString id;
        QString kind; // "slot", "yield", "quiet"
        QString station;
        QString slot;
        QString text;
        qint64 sinceMs;
    };
    struct Failure {
        qint64 timeMs;
        QString station;
        QString slot;
        QString kind;
        QString reason;
        QString boardSerial;
    };

    int StationIndex(const QString& name);
    std::vector<std::size_t> ByName() const; // the stations' indexes in their names' order
    int FailureIndex(const QString& kind);
    void Raise(Alarm alarm);
    // An alarm stays until acknowledged; whether its cause still holds.
    bool Active(const Alarm& alarm) const;
    void CheckSlot(const Station& station, const Slot& slot);
    void CheckYield(qint64 now);

    const qint64 m_windowMs;
    const AlarmSettings m_alarmSettings;
    std::vector<Station> m_stations;
    QStringList m_failureKinds;
    std::deque<Attempt> m_attempts; // the shift's, in the order they came
    std::deque<Failure> m_lastFailures;
    QList<Alarm> m_alarms;
    qint64 m_nowMs = 0;
    // For /metrics: since the server started.
    // Per station, slot, result and failure.
    std::map<std::tuple<QString, QString, QString, QString>, qint64> m_attemptCounts;
    std::map<QString, std::vector<qint64>> m_secondsBuckets; // per station
    std::map<QString, double> m_secondsSum;
};

} // namespace line
