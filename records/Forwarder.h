// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sends the station's records to the line's store, oldest first and in batches, on a thread of
// its own: a board never waits on the network. A record is marked sent on the station only
// after the server has committed it; one sent again after a cut is stored once there (its id is
// the key). While the server cannot be reached the records wait, and go when it returns.

#include "records/SqliteStore.h"
#include "records/StoreUrl.h"

#include <QElapsedTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace records {

class PostgresStore;

class Forwarder {
  public:
    static constexpr int kBatch = 1000;

    // `connected`: a connection to the line's store made already, or none.
    // `station`: the name its backlog is told to the line's store under.
    Forwarder(SqliteStore& local, StoreUrl line, std::unique_ptr<PostgresStore> connected,
              QString station);
    ~Forwarder(); // stops the thread; what waits stays on the station for the next start

    // A record was added: send it soon.
    void Wake();
    // Whether the server took the last try; before the first try, the start's connection.
    bool Reachable() const { return m_reachable; }
    // What the last failed try said, for -v and the window's tooltip.
    QString LastError() const;
    // Waits until nothing waits to be sent, or `ms` have passed; whether nothing waits.
    bool Drain(int ms);

  private:
    void Run();
    // One batch: sent, none left, or the server failed (the connection goes).
    enum class Step { Sent, Idle, Failed };
    Step Forward(std::unique_ptr<PostgresStore>& server);
    Step ForwardOneByOne(PostgresStore& server, const QList<QJsonObject>& batch,
                         const std::function<Step(const StoreError&)>& failed);

    // Tells the line's store what is left to send: after each batch, and now and then when
    // nothing is, so that the line sees how fresh the word is.
    void TellBacklog(PostgresStore& server, bool idle);

    SqliteStore& m_local;
    const StoreUrl m_line;
    const QString m_station;
    QElapsedTimer m_lastTold;
    std::atomic<bool> m_reachable{true};
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    bool m_stopping = false;
    QString m_lastError;
    std::unique_ptr<PostgresStore> m_server; // the forwarding thread's own
    std::thread m_thread;
};

} // namespace records
