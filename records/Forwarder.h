// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sends the station's records to the line's store, oldest first and in batches, on a thread of
// its own: a board never waits on the network. A record is marked sent on the station only
// after the server has committed it; one sent again after a cut is stored once there (its id is
// the key). While the server cannot be reached the records wait, and go when it returns.

#include "records/SqliteStore.h"
#include "records/StoreUrl.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace records {

class Forwarder {
  public:
    static constexpr int kBatch = 1000;

    Forwarder(SqliteStore& local, StoreUrl line);
    ~Forwarder(); // stops the thread; what waits stays on the station for the next start

    // A record was added: send it soon.
    void Wake();
    // Whether the server took the last try; before the first try, the start's connection.
    bool Reachable() const { return m_reachable; }
    void SetReachable(bool reachable) { m_reachable = reachable; }
    // What the last failed try said, for -v and the window's tooltip.
    QString LastError() const;
    // Waits until nothing waits to be sent, or `ms` have passed; whether nothing waits.
    bool Drain(int ms);

  private:
    void Run();
    // One batch: sent, none left, or the server failed (the connection goes).
    enum class Step { Sent, Idle, Failed };
    Step Forward(std::unique_ptr<class PostgresStore>& server);

    SqliteStore& m_local;
    const StoreUrl m_line;
    std::atomic<bool> m_reachable{true};
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    bool m_stopping = false;
    QString m_lastError;
    std::thread m_thread;
};

} // namespace records
