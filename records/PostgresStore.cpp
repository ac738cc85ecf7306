// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/PostgresStore.h"

#include "records/Fields.h"
#include "records/Schema.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <chrono>
#include <libpq-fe.h>
#include <poll.h>
#include <vector>

namespace records {

namespace {

// An advisory lock's key for the schema's upgrade: one station upgrades, the others wait.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7318201)";

QString Message(const PGconn* connection) {
    return QString::fromUtf8(PQerrorMessage(connection)).trimmed();
}

// A server that answered and refused us, or no server at all (or one that cannot take us yet):
// only the first is the operator's to mend before the station starts.
StoreErrorCode Classify(const PGconn* connection, const QString& message) {
    for (const char* passing : {"too many clients", "starting up", "shutting down", "in recovery",
                                "not yet accepting connections"}) {
        if (message.contains(QLatin1String(passing))) {
            return StoreErrorCode::Unreachable; // the line's power came back: it will be there
        }
    }
    return PQconnectionNeedsPassword(connection) || PQconnectionUsedPassword(connection) ||
                   message.contains(QLatin1String("FATAL"))
               ? StoreErrorCode::Refused
               : StoreErrorCode::Unreachable;
}

} // namespace

Result<std::unique_ptr<PostgresStore>, StoreError> PostgresStore::Open(const StoreUrl& url,
                                                                       int upTo) {
    // Our settings after the URL's: a short wait for an absent server; a lost peer noticed
    // within seconds (keepalives); text as UTF-8 and times in UTC whatever the database's own;
    // and the server ends a session of ours that holds a lock and says nothing (a station that
    // lost its network mid-transaction), so that no other station waits on it.
    const char* keys[] = {"dbname",           "connect_timeout",
                          "application_name", "client_encoding",
                          "keepalives_idle",  "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout",
                          "options",          nullptr};
    const char* values[] = {url.connect.constData(),
                            "5",
                            "tavrel",
                            "UTF8",
                            "10",
                            "5",
                            "3",
                            "20000",
                            "-c TimeZone=UTC -c statement_timeout=15000 -c lock_timeout=10000 "
                            "-c idle_in_transaction_session_timeout=20000",
                            nullptr};
    PGconn* connection = PQconnectdbParams(keys, values, 1);
    if (connection == nullptr) {
        return StoreError{StoreErrorCode::Unreachable, QStringLiteral("out of memory")};
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        const QString message = Message(connection);
        const StoreErrorCode code = Classify(connection, message);
        PQfinish(connection);
        return StoreError{
            code, code == StoreErrorCode::Refused
                      ? QStringLiteral("the line's records store %1 refused this "
                                       "station: %2")
                            .arg(url.shown, message)
                      : QStringLiteral("line server unreachable (%1): %2").arg(url.shown, message)};
    }
    std::unique_ptr<PostgresStore> store(new PostgresStore(connection, url));
    // Warnings of the server (a notice that a table exists) are not the operator's.
    PQsetNoticeProcessor(
        connection, [](void*, const char*) {}, nullptr);
    // Every statement is sent and answered within a deadline of ours, never in a blocking call.
    PQsetnonblocking(connection, 1);
    if (upTo == kReadOnly) {
        // A supervisor's account may only read: nothing is created, locked or upgraded.
        const auto read = store->Run("SELECT version FROM tavrel_schema");
        const int version = read && !read->isEmpty() ? read->first().toInt() : -1;
        if (const QString why = UnreadableSchemaText(url.shown, version); !why.isEmpty()) {
            return StoreError{StoreErrorCode::NewerSchema, why};
        }
        return store;
    }
    if (StoreDone migrated = store->Migrate(upTo < 0 ? kSchemaVersion : upTo); !migrated) {
        return migrated.error();
    }
    return store;
}

PostgresStore::~PostgresStore() {
    PQfinish(m_connection);
}

StoreError PostgresStore::Failed(const QString& what) const {
    // A lost connection is the network's; everything else the server said is an answer.
    const bool lost = PQstatus(m_connection) != CONNECTION_OK;
    return StoreError{lost ? StoreErrorCode::Unreachable : StoreErrorCode::Write,
                      QStringLiteral("%1 (%2): %3").arg(what, m_url.shown, Message(m_connection))};
}

bool PostgresStore::Await() {
    // A server that took the connection and then stopped answering (a hung host, a cable
    // pulled without a reset) must not hold a station's thread, or its end, for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_answerSeconds);
    const auto wait = [&](short events) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd descriptor{PQsocket(m_connection), events, 0};
        return ::poll(&descriptor, 1, int(left)) > 0;
    };
    int flushed = 0;
    while ((flushed = PQflush(m_connection)) == 1) {
        if (!wait(POLLIN | POLLOUT)) {
            return false;
        }
        if (PQconsumeInput(m_connection) == 0) {
            return true; // the connection is gone: its result says so
        }
    }
    while (flushed == 0 && PQisBusy(m_connection)) {
        if (!wait(POLLIN)) {
            return false;
        }
        if (PQconsumeInput(m_connection) == 0) {
            return true;
        }
    }
    return true;
}

Result<QList<QByteArray>, StoreError> PostgresStore::Run(const QByteArray& sql,
                                                         const QList<QByteArray>& parameters) {
    if (m_silent) {
        return StoreError{
            StoreErrorCode::Unreachable,
            QStringLiteral("line server unreachable (%1): it stopped answering").arg(m_url.shown)};
    }
    std::vector<const char*> values;
    for (const QByteArray& parameter : parameters) {
        values.push_back(parameter.isNull() ? nullptr : parameter.constData());
    }
    if (PQsendQueryParams(m_connection, sql.constData(), int(values.size()), nullptr, values.data(),
                          nullptr, nullptr, 0) == 0) {
        return Failed(QStringLiteral("the line's records store did not take %1")
                          .arg(QString::fromUtf8(sql.left(40))));
    }
    // The statement's results until there is none, each awaited within the deadline; a
    // failure anywhere is the statement's.
    QList<QByteArray> rows;
    bool failed = false;
    QString why;
    QByteArray state; // the failure's SQLSTATE
    for (;;) {
        if (!Await()) {
            m_silent = true; // the connection is given up; the next try makes a new one
            return StoreError{StoreErrorCode::Unreachable,
                              QStringLiteral("line server unreachable (%1): no answer within %2 s")
                                  .arg(m_url.shown)
                                  .arg(m_answerSeconds)};
        }
        PGresult* result = PQgetResult(m_connection);
        if (result == nullptr) {
            break;
        }
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            failed = true;
            why = QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
            state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        }
        for (int row = 0; row < PQntuples(result); ++row) {
            rows << QByteArray(PQgetvalue(result, row, 0), PQgetlength(result, row, 0));
        }
        PQclear(result);
    }
    if (failed) {
        // What the record said (a value out of range, a rule of the table's): the server will
        // never take it. Anything else (a lock, a timeout, a full disk, a read-only standby)
        // passes, and the statement is tried again later.
        const StoreErrorCode code =
            PQstatus(m_connection) != CONNECTION_OK            ? StoreErrorCode::Unreachable
            : state.startsWith("22") || state.startsWith("23") ? StoreErrorCode::Rejected
                                                               : StoreErrorCode::Write;
        return StoreError{code, QStringLiteral("the line's records store (%1) refused %2: %3")
                                    .arg(m_url.shown, QString::fromUtf8(sql.left(40)),
                                         why.isEmpty() ? Message(m_connection) : why)};
    }
    return rows;
}

template <typename Body> auto PostgresStore::InTransaction(Body body) -> decltype(body()) {
    if (auto begun = Run("BEGIN"); !begun) {
        return begun.error();
    }
    auto done = body();
    if (done) {
        if (auto committed = Run("COMMIT"); !committed) {
            (void)Run("ROLLBACK");
            return committed.error();
        }
        return done;
    }
    (void)Run("ROLLBACK");
    return done;
}

StoreDone PostgresStore::Migrate(int upTo) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // An upgrade of a large store, or waiting for another station's, takes what it takes.
    m_answerSeconds = kUpgradeSeconds;
    const struct Restore {
        int& seconds;
        ~Restore() { seconds = kAnswerSeconds; }
    } restore{m_answerSeconds};
    return InTransaction([&]() -> StoreDone {
        for (const QByteArray& step :
             {QByteArray("SET LOCAL statement_timeout = 0"),
              QByteArray("SET LOCAL lock_timeout = 0"), QByteArray(kSchemaLock),
              QByteArray("CREATE TABLE IF NOT EXISTS tavrel_schema (version INTEGER NOT NULL)")}) {
            if (auto done = Run(step); !done) {
                return done.error();
            }
        }
        const auto read = Run("SELECT version FROM tavrel_schema");
        if (!read) {
            return read.error();
        }
        const int version = read->isEmpty() ? 0 : read->first().toInt();
        if (read->isEmpty()) {
            if (auto first = Run("INSERT INTO tavrel_schema VALUES (0)"); !first) {
                return first.error();
            }
        }
        if (version > kSchemaVersion) {
            return StoreError{StoreErrorCode::NewerSchema, NewerSchemaText(m_url.shown, version)};
        }
        for (int next = version + 1; next <= upTo; ++next) {
            for (const QString& statement : MigrationTo(next, Dialect::Postgres)) {
                if (auto done = Run(statement.toUtf8()); !done) {
                    return done.error();
                }
            }
            if (auto done = Run("UPDATE tavrel_schema SET version = " + QByteArray::number(next));
                !done) {
                return done.error();
            }
        }
        return {};
    });
}

StoreDone PostgresStore::Insert(const QList<QJsonObject>& records) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    static const QByteArray sql =
        QStringLiteral("INSERT INTO records (%1) SELECT %1 FROM "
                       "json_populate_recordset(NULL::records, $1::json) ON CONFLICT (id) DO "
                       "NOTHING")
            .arg(ColumnList())
            .toUtf8();
    QJsonArray batch;
    for (QJsonObject record : records) {
        // PostgreSQL's text holds no NUL character; a device may have sent one.
        for (auto it = record.begin(); it != record.end(); ++it) {
            if (it->isString() && it->toString().contains(QChar(0))) {
                *it = it->toString().replace(QChar(0), QChar::ReplacementCharacter);
            }
        }
        batch.append(record);
    }
    if (auto done = Run(sql, {QJsonDocument(batch).toJson(QJsonDocument::Compact)}); !done) {
        return done.error();
    }
    return {};
}

Records PostgresStore::Fetch(const RecordFilter& filter) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    QStringList where;
    QList<QByteArray> values;
    const auto parameter = [&](const QString& value) {
        values << value.toUtf8();
        return QStringLiteral("$%1").arg(values.size());
    };
    if (filter.since.isValid()) {
        where << QStringLiteral("\"time\" >= %1::timestamptz")
                     .arg(parameter(filter.since.toUTC().toString(Qt::ISODateWithMs)));
    }
    if (!filter.station.isEmpty()) {
        where << QStringLiteral("station = %1").arg(parameter(filter.station));
    }
    if (!filter.job.isEmpty()) {
        // The title is "NAME VERSION": the name is the title up to its last blank.
        const QString job = parameter(filter.job);
        where << QStringLiteral("(job = %1 OR job_sha256 = %1 OR (left(job, length(%1) + 1) = %1 "
                                "|| ' ' AND position(' ' in substr(job, length(%1) + 2)) = 0))")
                     .arg(job);
    }
    if (!filter.board.isEmpty()) {
        const QString board = parameter(filter.board);
        where << QStringLiteral("(usb_serial = %1 OR board_serial = %1 OR id = %1)").arg(board);
    }
    const QString bySeqCondition = SeqCondition(filter);
    const bool bySeq = !bySeqCondition.isEmpty();
    if (bySeq) {
        where << bySeqCondition;
    }
    const QByteArray sql =
        QStringLiteral("SELECT row_to_json(r)::text FROM (SELECT %1%2 FROM records %3 ORDER BY "
                       "%4%5) r")
            .arg(ColumnList(), bySeq ? QStringLiteral(", seq") : QString(),
                 where.isEmpty() ? QString()
                                 : QStringLiteral("WHERE ") + where.join(QStringLiteral(" AND ")),
                 bySeq ? QStringLiteral("seq") : QStringLiteral("\"time\", seq"),
                 filter.limit > 0 ? QStringLiteral(" LIMIT %1").arg(filter.limit) : QString())
            .toUtf8();
    const auto rows = Run(sql, values);
    if (!rows) {
        return rows.error();
    }
    QList<QJsonObject> records;
    for (const QByteArray& row : *rows) {
        QJsonObject record = QJsonDocument::fromJson(row).object();
        for (auto it = record.begin(); it != record.end();) {
            it = it->isNull() ? record.erase(it) : it + 1; // as the station's store has it
        }
        records << record;
    }
    return records;
}

Result<bool, StoreError> PostgresStore::TakeBoard(const BoardClaim& claim, int maxBoards) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // The job's lock makes the count and the claim one step for every station of the line.
    return InTransaction([&]() -> Result<bool, StoreError> {
        const QByteArray job = claim.jobSha256.toUtf8();
        if (auto locked = Run("SELECT pg_advisory_xact_lock(hashtext($1))::text", {job}); !locked) {
            return locked.error();
        }
        const auto count = Run("SELECT count(*) FROM board_claims WHERE job_sha256 = $1", {job});
        if (!count) {
            return count.error();
        }
        if (count->value(0).toLongLong() >= maxBoards) {
            return false;
        }
        if (auto taken = Run("INSERT INTO board_claims (claim, job_sha256, station, state) "
                             "VALUES ($1, $2, $3, 'taken')",
                             {claim.claim.toUtf8(), job, claim.station.toUtf8()});
            !taken) {
            return taken.error();
        }
        return true;
    });
}

StoreDone PostgresStore::SettleBoard(const QString& claim, bool kept) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto done = Run(kept ? "UPDATE board_claims SET state = 'kept' WHERE claim = $1"
                               : "DELETE FROM board_claims WHERE claim = $1",
                          {claim.toUtf8()});
    if (!done) {
        return done.error();
    }
    return {};
}

StoreDone PostgresStore::DefineCounter(const QString& name, qint64 first, qint64 last) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const QByteArray from = QByteArray::number(first);
    const QByteArray to = QByteArray::number(last);
    if (auto made = Run("INSERT INTO counters (name, first, last, next) VALUES ($1, $2, $3, $2) "
                        "ON CONFLICT (name) DO NOTHING",
                        {name.toUtf8(), from, to});
        !made) {
        return made.error();
    }
    const auto range =
        Run("SELECT first || '..' || last FROM counters WHERE name = $1", {name.toUtf8()});
    if (!range) {
        return range.error();
    }
    if (range->value(0) != from + ".." + to) {
        return StoreError{StoreErrorCode::Write,
                          QStringLiteral("the counter %1 is %2 in the line's records store %3, "
                                         "not %4..%5")
                              .arg(name, QString::fromUtf8(range->value(0)), m_url.shown,
                                   QString::fromLatin1(from), QString::fromLatin1(to))};
    }
    return {};
}

Result<IssuedSerials, StoreError> PostgresStore::IssueSerials(const QString& counter,
                                                              const QString& station,
                                                              const QString& board, int count,
                                                              bool lease) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return InTransaction([&]() -> Result<IssuedSerials, StoreError> {
        // The counter's row is locked until the numbers are taken: every station of the line
        // waits its turn, and no two get one number.
        const auto range = Run("SELECT next || ' ' || last FROM counters WHERE name = $1 FOR "
                               "UPDATE",
                               {counter.toUtf8()});
        if (!range) {
            return range.error();
        }
        if (range->isEmpty()) {
            return StoreError{StoreErrorCode::Write,
                              QStringLiteral("the line's records store %1 has no counter %2")
                                  .arg(m_url.shown, counter)};
        }
        const QList<QByteArray> figures = range->first().split(' ');
        const qint64 next = figures.value(0).toLongLong();
        const qint64 last = figures.value(1).toLongLong();
        const qint64 taken = std::max<qint64>(0, std::min<qint64>(count, last - next + 1));
        IssuedSerials issued;
        issued.left = last - (next + taken) + 1;
        if (taken == 0) {
            return issued; // spent
        }
        if (auto made = Run("INSERT INTO serials (counter, value, state, station, board) SELECT "
                            "$1, generate_series($2::bigint, $3::bigint), $4, $5, $6",
                            {counter.toUtf8(), QByteArray::number(next),
                             QByteArray::number(next + taken - 1),
                             lease ? QByteArray("leased") : QByteArray("issued"), station.toUtf8(),
                             board.toUtf8()});
            !made) {
            return made.error();
        }
        if (auto moved = Run("UPDATE counters SET next = $2::bigint WHERE name = $1",
                             {counter.toUtf8(), QByteArray::number(next + taken)});
            !moved) {
            return moved.error();
        }
        for (qint64 value = next; value < next + taken; ++value) {
            issued.values << value;
        }
        return issued;
    });
}

StoreDone PostgresStore::SettleSerial(const QString& counter, qint64 value, SerialState state) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto settled =
        Run("UPDATE serials SET state = $1 WHERE counter = $2 AND value = $3 AND "
            "state IN ('issued', 'leased')",
            {QByteArray(SerialStateName(state)), counter.toUtf8(), QByteArray::number(value)});
    if (!settled) {
        return settled.error();
    }
    return {};
}

Result<qint64, StoreError> PostgresStore::LastSeq() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto last = Run("SELECT coalesce(max(seq), 0)::text FROM records");
    if (!last) {
        return last.error();
    }
    return last->value(0).toLongLong();
}

Result<QList<qint64>, StoreError> PostgresStore::LeasedTo(const QString& counter,
                                                          const QString& station) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto rows = Run("SELECT value::text FROM serials WHERE counter = $1 AND station = $2 "
                          "AND state = 'leased' ORDER BY value",
                          {counter.toUtf8(), station.toUtf8()});
    if (!rows) {
        return rows.error();
    }
    QList<qint64> values;
    for (const QByteArray& value : *rows) {
        values << value.toLongLong();
    }
    return values;
}

StoreDone PostgresStore::ReportBacklog(const QString& station, qint64 waiting) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto told = Run("INSERT INTO station_backlog (station, waiting) VALUES ($1, $2) ON "
                          "CONFLICT (station) DO UPDATE SET waiting = EXCLUDED.waiting, \"time\" "
                          "= now()",
                          {station.toUtf8(), QByteArray::number(waiting)});
    if (!told) {
        return told.error();
    }
    return {};
}

Result<QList<StationBacklog>, StoreError> PostgresStore::Backlogs() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto rows = Run("SELECT json_build_object('station', station, 'waiting', waiting, "
                          "'time', \"time\")::text FROM station_backlog ORDER BY station");
    if (!rows) {
        return rows.error();
    }
    QList<StationBacklog> backlogs;
    for (const QByteArray& row : *rows) {
        const QJsonObject told = QJsonDocument::fromJson(row).object();
        backlogs << StationBacklog{
            told.value(QLatin1String("station")).toString(),
            told.value(QLatin1String("waiting")).toInteger(),
            QDateTime::fromString(told.value(QLatin1String("time")).toString(), Qt::ISODateWithMs)};
    }
    return backlogs;
}

Result<CounterAccount, StoreError> PostgresStore::Account(const QString& counter) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto rows = Run(
        "SELECT concat_ws(' ', c.first, c.last, c.last - c.next + 1, "
        "count(*) FILTER (WHERE s.state = 'used'), count(*) FILTER (WHERE s.state = 'spoiled'), "
        "count(*) FILTER (WHERE s.state = 'returned'), count(*) FILTER (WHERE s.state = "
        "'issued'), count(*) FILTER (WHERE s.state = 'leased')) FROM counters c LEFT JOIN serials "
        "s ON s.counter = c.name WHERE c.name = $1 "
        "GROUP BY c.first, c.last, c.next",
        {counter.toUtf8()});
    if (!rows) {
        return rows.error();
    }
    const QList<QByteArray> figures = rows->value(0).split(' ');
    if (figures.size() != 8) {
        return StoreError{StoreErrorCode::Write,
                          QStringLiteral("the line's records store %1 has no counter %2")
                              .arg(m_url.shown, counter)};
    }
    return CounterAccount{figures[0].toLongLong(), figures[1].toLongLong(), figures[3].toLongLong(),
                          figures[4].toLongLong(), figures[5].toLongLong(), figures[6].toLongLong(),
                          figures[7].toLongLong(), figures[2].toLongLong()};
}

} // namespace records
