// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads the line's store for the page: the shift's records at start, then every quarter second
// the records the store took since, told to the model once each. Records the stations' forwarders
// commit out of order (one station's batch commits after another's later one) are looked for
// again for a minute, so that none is missed; a store that goes away is opened again.

#include "line/LineModel.h"
#include "records/Store.h"
#include "records/StoreUrl.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <map>
#include <memory>

namespace line {

class LineFeed : public QObject {
    Q_OBJECT

  public:
    LineFeed(records::StoreUrl store, LineModel& model, qint64 windowSeconds,
             QObject* parent = nullptr);
    // Opens the store (read-only) and loads the shift's records; why not.
    records::StoreDone Start();
    // Whether the store answered the last look, and why not.
    bool Reachable() const { return m_reachable; }
    QString LastError() const { return m_lastError; }
    // Looks at the store now (the timer does so four times a second).
    void Poll();

  Q_SIGNALS:
    void Changed(); // the model took records, or time moved it

  private:
    records::StoreDone Open();
    void Take(const QList<QJsonObject>& records);

    const records::StoreUrl m_url;
    LineModel& m_model;
    const qint64 m_windowSeconds;
    std::unique_ptr<records::Store> m_store;
    qint64 m_lastSeq = 0;
    std::map<qint64, qint64> m_holes; // seq -> when it was first missed (ms)
    QElapsedTimer m_holesLooked;
    bool m_reachable = true;
    QString m_lastError;
    QTimer m_poll;
    QTimer m_tick;
};

} // namespace line
