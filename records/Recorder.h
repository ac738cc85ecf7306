// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A station's records: each committed to the station's own SQLite store before the board's
// verdict is shown, and, with a line's PostgreSQL store, forwarded there in the background. A
// server that cannot be reached at start is no error: the records wait and the station says so.
// The stations' threads share one recorder.

#include "records/Forwarder.h"
#include "records/PostgresStore.h"
#include "records/SqliteStore.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace records {

// The station's name in its records: `given`, or the host's name.
QString StationNameOr(const QString& given);

class Recorder {
  public:
    // `store`: sqlite:PATH, or a PostgreSQL URL with the station's own store at `localPath`.
    // Refused: a store that cannot be written, a server that refused us, a newer schema.
    static Result<std::shared_ptr<Recorder>, StoreError>
    Open(const StoreUrl& store, const QString& station,
         const QString& localPath = DefaultLocalStorePath());
    ~Recorder();

    const QString& Station() const { return m_station; }
    // Keeps the record (which carries its id) on the station's disk; nothing else of it is
    // needed for the board's verdict.
    StoreDone Add(const QJsonObject& record);

    struct Backlog {
        bool line = false;     // there is a line's store
        bool reachable = true; // it took the last try
        qint64 waiting = 0;    // records not yet there
    };
    Backlog Now();
    // Where the records go, for the status line: "sqlite:PATH", or the line's URL and the
    // station's file; with "line server unreachable: N records waiting" while it is away.
    QString StatusText();
    // Waits up to `ms` for every record to reach the line's store; whether they all did.
    bool Drain(int ms);

    // A job with a limit: counted in the line's store where there is one.
    Result<bool, StoreError> TakeBoard(const BoardClaim& claim, int maxBoards);
    StoreDone SettleBoard(const QString& claim, bool kept);

    // Per-board numbers, from the line's store where there is one.
    StoreDone DefineCounter(const QString& name, qint64 first, qint64 last);
    // With a line's store: the station holds up to `count` numbers of each counter, leased
    // from the line's store while it answers, for boards to come while it does not. Each is
    // given by this station only; one it gave is told to the line's store once it is back.
    // Set before the counters are defined.
    void SetLease(int count);
    struct IssuedNumber {
        qint64 value;
        qint64 left; // numbers the counter has left (with this station's lease)
    };
    // The counter's next number for `board`; none when the range is spent. Unreachable: the
    // line's store cannot be reached and the station's lease (if any) is spent.
    Result<std::optional<IssuedNumber>, StoreError> IssueSerial(const QString& counter,
                                                                const QString& board);
    StoreDone SettleSerial(const QString& counter, qint64 value, SerialState state);
    // The counter's numbers left now (with this station's lease).
    Result<qint64, StoreError> NumbersLeft(const QString& counter);

  private:
    Recorder() = default;
    // The connection for the job's counts, made again after the server was lost.
    Result<Store*, StoreError> CountingStore();
    // Runs `call` on the counting store under its lock, dropping a lost connection.
    template <typename Call> auto OnCountingStore(Call call) -> decltype(call(nullptr));
    bool Leasing() const { return m_lease > 0 && m_line; }
    // The station's own name for a counter of the line's store (a lease is of one server).
    QString LeaseKey(const QString& counter) const;
    // Tops the station's lease of the counter up when it has half or less left (`force`: when
    // it has none), unless the line's store failed in the last seconds: how many it added, or
    // why it could not.
    Result<int, StoreError> RefillLease(const QString& counter, bool force);
    Result<int, StoreError> RefillLeaseLocked(const QString& counter, bool force); // holds it
    // Forgets the numbers of the lease that the line's store does not hold as leased to this
    // station (its database was made anew, or the station's file came from another station).
    void CheckLease(const QString& counter);
    // Tells the line's store what became of the leased numbers given since it last answered.
    void TellLeased();
    bool LineRecentlyLost();
    // The lease keeper's thread: tells and refills off the boards' path.
    void KeepLeases();
    void WakeKeeper(const QString& counter);

    QString m_station;
    std::optional<StoreUrl> m_line;
    std::unique_ptr<SqliteStore> m_local;
    std::unique_ptr<Forwarder> m_forwarder;
    std::mutex m_countMutex;
    std::unique_ptr<PostgresStore> m_counting;
    int m_lease = 0;
    std::mutex m_leaseMutex;                // one refill at a time
    std::map<QString, qint64> m_leftOnLine; // per counter, as the line's store last said
    qint64 m_lineLostAt = 0;                // ms since the epoch; 0: not lost
    std::mutex m_keeperMutex;
    std::condition_variable m_keeperWake;
    std::set<QString> m_leasedCounters; // the counters the keeper looks after
    bool m_keeperWoken = false;
    bool m_keeperStopping = false;
    std::thread m_keeper;
};

} // namespace records
