// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The line's store: one PostgreSQL database that every station forwards its records to. A
// record is keyed by its id, so one sent twice (a forward cut between the server's commit and
// the station's note of it) is stored once. One connection is used by one thread at a time.

#include "records/Store.h"
#include "records/StoreUrl.h"

#include <memory>
#include <mutex>

struct pg_conn;

namespace records {

class PostgresStore : public Store {
  public:
    static constexpr int kAnswerSeconds = 15;   // for any one statement
    static constexpr int kUpgradeSeconds = 600; // for an upgrade of the schema
    // Connects and upgrades the schema to `upTo`. Unreachable when no server answers; Refused
    // when one answered no (a wrong password, no such database or user); NewerSchema.
    static Result<std::unique_ptr<PostgresStore>, StoreError> Open(const StoreUrl& url,
                                                                   int upTo = -1);
    ~PostgresStore() override;

    // Stores the records that are not there yet, in one transaction.
    StoreDone Insert(const QList<QJsonObject>& records);

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
    Result<QList<StationBacklog>, StoreError> Backlogs() override;
    // Tells the line's store how many records `station` still has to send.
    StoreDone ReportBacklog(const QString& station, qint64 waiting);
    Result<QList<qint64>, StoreError> LeasedTo(const QString& counter,
                                               const QString& station) override;

  private:
    PostgresStore(pg_conn* connection, StoreUrl url)
        : m_connection(connection), m_url(std::move(url)) {}
    StoreDone Migrate(int upTo);
    // Runs one statement with text parameters; its rows' first column, or why not.
    Result<QList<QByteArray>, StoreError> Run(const QByteArray& sql,
                                              const QList<QByteArray>& parameters = {});
    StoreError Failed(const QString& what) const;
    // Runs `body` between BEGIN and COMMIT; rolls back when it, or the commit, fails. The
    // caller holds m_mutex.
    template <typename Body> auto InTransaction(Body body) -> decltype(body());
    // Sends what is queued and waits until a result can be read, at most m_answerSeconds;
    // false when the server did not answer in that time.
    bool Await();

    pg_conn* m_connection;
    StoreUrl m_url;
    bool m_silent = false; // the server stopped answering: this connection is done
    int m_answerSeconds = kAnswerSeconds;
    std::mutex m_mutex;
};

} // namespace records
