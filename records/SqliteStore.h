// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The station's own store: one SQLite file in WAL mode with synchronous FULL, so that a record
// is on the disk once Add returns, and several programs of the station may share it. Every
// port's thread adds to it through one connection, one transaction at a time.

#include "records/Store.h"

#include <QStringList>
#include <memory>
#include <mutex>

struct sqlite3;

namespace records {

class Statement;

class SqliteStore : public Store {
  public:
    // Opens (making the file and its folder where there is none) and upgrades the store to
    // `upTo`, refusing one newer than this tool.
    static Result<std::unique_ptr<SqliteStore>, StoreError> Open(const QString& path,
                                                                 int upTo = -1);
    ~SqliteStore() override;

    const QString& Path() const { return m_path; }
    // Adds the record in a transaction of its own, synced to the disk; nothing of it is there
    // when it fails.
    StoreDone Add(const QJsonObject& record);
    // Records not yet taken by the line's store, in the order they were added.
    Records Waiting(int limit);
    // The line's store took them (Sent), or refused each of them alone (Refused: they stay here,
    // and no longer hold up the records behind them).
    enum class Forwarded { Sent = 1, Refused = 2 };
    StoreDone MarkForwarded(const QStringList& ids, Forwarded how = Forwarded::Sent);
    Result<qint64, StoreError> WaitingCount();
    Result<qint64, StoreError> RefusedCount();

    Records Fetch(const RecordFilter& filter) override;
    Result<bool, StoreError> TakeBoard(const BoardClaim& claim, int maxBoards) override;
    StoreDone SettleBoard(const QString& claim, bool kept) override;
    StoreDone DefineCounter(const QString& name, qint64 first, qint64 last) override;
    Result<IssuedSerials, StoreError> IssueSerials(const QString& counter, const QString& station,
                                                   const QString& board, int count,
                                                   bool lease) override;
    StoreDone SettleSerial(const QString& counter, qint64 value, SerialState state) override;
    Result<CounterAccount, StoreError> Account(const QString& counter) override;
    Result<qint64, StoreError> LastSeq() override;
    Result<QList<qint64>, StoreError> LeasedTo(const QString& counter,
                                               const QString& station) override;

    // The station's lease: numbers the line's store gave it for when it cannot be reached.
    StoreDone AddLeased(const QString& counter, const QList<qint64>& values);
    Result<qint64, StoreError> LeasedFree(const QString& counter);
    // The lease's numbers in `state` ("free", ...; empty: in any).
    Result<QList<qint64>, StoreError> LeasedValues(const QString& counter, const QString& state);
    // Forgets a number of the lease not yet given (the line's store does not know it as ours).
    StoreDone DropLeased(const QString& counter, qint64 value);
    // The lowest leased number not yet given, now given to `board`; none when the lease is spent.
    Result<std::optional<qint64>, StoreError> TakeLeased(const QString& counter,
                                                         const QString& board);
    // Settles a number of the lease, to be told to the line's store; false: it is not leased.
    Result<bool, StoreError> SettleLeased(const QString& counter, qint64 value, SerialState state);
    struct LeaseSettlement {
        QString counter;
        qint64 value;
        SerialState state;
    };
    // Settled numbers of the lease the line's store has not yet been told of.
    Result<QList<LeaseSettlement>, StoreError> UntoldLeased();
    StoreDone MarkLeasedTold(const QString& counter, qint64 value);

  private:
    explicit SqliteStore(sqlite3* db, QString path) : m_db(db), m_path(std::move(path)) {}
    StoreDone Migrate(int upTo);
    // The store's reason, with the system's where a write failed (`writeErrno`: errno just
    // after the failed call).
    StoreError Failed(const QString& what, int writeErrno = 0) const;
    StoreDone Exec(const char* sql);
    // Runs `body` between BEGIN IMMEDIATE and COMMIT; rolls back when it, or the commit,
    // fails. The caller holds m_mutex.
    template <typename Body> auto InTransaction(Body body) -> decltype(body());
    Result<qint64, StoreError> Count(int forwarded);
    // Every row the statement gives.
    Records Rows(Statement& select);

    sqlite3* m_db;
    QString m_path;
    std::mutex m_mutex;
};

} // namespace records
