// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/SqliteStore.h"

#include "records/Fields.h"
#include "records/Schema.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sqlite3.h>

namespace records {

// A prepared statement, finalized however the function that made it ends.
class Statement {
  public:
    Statement(sqlite3* db, const QString& sql) {
        const QByteArray text = sql.toUtf8();
        m_rc = sqlite3_prepare_v2(db, text.constData(), int(text.size()), &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return m_rc == SQLITE_OK; }
    sqlite3_stmt* get() const { return m_statement; }
    void Bind(int index, const QString& text) {
        const QByteArray bytes = text.toUtf8();
        sqlite3_bind_text(m_statement, index, bytes.constData(), int(bytes.size()),
                          SQLITE_TRANSIENT);
    }
    void Bind(int index, qint64 value) { sqlite3_bind_int64(m_statement, index, value); }
    int Step() { return sqlite3_step(m_statement); }

  private:
    sqlite3_stmt* m_statement = nullptr;
    int m_rc;
};

namespace {

void BindField(Statement& statement, int index, const Field& field, const QJsonValue& value) {
    if (value.isUndefined() || value.isNull()) {
        sqlite3_bind_null(statement.get(), index);
        return;
    }
    switch (field.kind) {
    case Field::Kind::Integer:
        sqlite3_bind_int64(statement.get(), index, value.toInteger());
        return;
    case Field::Kind::Real:
        sqlite3_bind_double(statement.get(), index, value.toDouble());
        return;
    case Field::Kind::Boolean:
        sqlite3_bind_int(statement.get(), index, value.toBool() ? 1 : 0);
        return;
    case Field::Kind::Text:
    case Field::Kind::Time:
        break;
    }
    statement.Bind(index, value.toString());
}

QJsonObject RowOf(sqlite3_stmt* row) {
    QJsonObject record;
    const QList<Field>& fields = RecordFields();
    for (int i = 0; i < fields.size(); ++i) {
        if (sqlite3_column_type(row, i) == SQLITE_NULL) {
            continue;
        }
        const QString name = QLatin1String(fields[i].name);
        switch (fields[i].kind) {
        case Field::Kind::Integer:
            record.insert(name, qint64(sqlite3_column_int64(row, i)));
            break;
        case Field::Kind::Real:
            record.insert(name, sqlite3_column_double(row, i));
            break;
        case Field::Kind::Boolean:
            record.insert(name, sqlite3_column_int(row, i) != 0);
            break;
        case Field::Kind::Text:
        case Field::Kind::Time:
            record.insert(
                name, QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(row, i)),
                                        sqlite3_column_bytes(row, i)));
            break;
        }
    }
    if (sqlite3_column_count(row) > int(fields.size())) {
        record.insert(QStringLiteral("seq"), qint64(sqlite3_column_int64(row, int(fields.size()))));
    }
    return record;
}

QString Now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace

Result<std::unique_ptr<SqliteStore>, StoreError> SqliteStore::Open(const QString& path, int upTo) {
    const QString folder = QFileInfo(path).absolutePath();
    if (upTo != kReadOnly && !QDir().mkpath(folder)) {
        return StoreError{
            StoreErrorCode::Write,
            QStringLiteral("cannot make the folder %1 for the records store").arg(folder)};
    }
    sqlite3* db = nullptr;
    const bool reading = upTo == kReadOnly;
    const int rc = sqlite3_open_v2(
        QFile::encodeName(path).constData(), &db,
        (reading ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
            SQLITE_OPEN_FULLMUTEX,
        nullptr);
    std::unique_ptr<SqliteStore> store(new SqliteStore(db, path));
    if (rc != SQLITE_OK) {
        return store->Failed(QStringLiteral("cannot open"));
    }
    sqlite3_busy_timeout(db, 10'000); // another program of the station writes a moment
    sqlite3_extended_result_codes(db, 1);
    if (reading) {
        Statement read(db, QStringLiteral("SELECT version FROM tavrel_schema"));
        if (!read.Ok() && !QByteArray(sqlite3_errmsg(db)).startsWith("no such table")) {
            return store->Failed(QStringLiteral("cannot be read")); // and says why
        }
        const int version =
            read.Ok() && read.Step() == SQLITE_ROW ? sqlite3_column_int(read.get(), 0) : -1;
        if (const QString why = UnreadableSchemaText(QStringLiteral("sqlite:") + path, version);
            !why.isEmpty()) {
            return StoreError{StoreErrorCode::NewerSchema, why};
        }
        return store;
    }
    // WAL lets a query read while a port's thread writes; FULL syncs every commit.
    for (const char* pragma :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
        if (StoreDone done = store->Exec(pragma); !done) {
            return done.error();
        }
    }
    if (StoreDone migrated = store->Migrate(upTo < 0 ? kSchemaVersion : upTo); !migrated) {
        return migrated.error();
    }
    return store;
}

SqliteStore::~SqliteStore() {
    sqlite3_close_v2(m_db);
}

StoreError SqliteStore::Failed(const QString& what, int writeErrno) const {
    const int code = sqlite3_errcode(m_db);
    const QString message =
        m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
    // The system's own reason for a failed write (a full disk, a file too large) where SQLite
    // knows it.
    const int ioFailure = code & 0xff;
    int error = m_db ? sqlite3_system_errno(m_db) : 0;
    if (error == 0 && (ioFailure == SQLITE_IOERR || ioFailure == SQLITE_FULL)) {
        error = writeErrno;
    }
    const QString system =
        error != 0 && ioFailure != SQLITE_BUSY
            ? QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(error)))
            : QString();
    return StoreError{
        StoreErrorCode::Write,
        QStringLiteral("the records store %1 %2: %3%4").arg(m_path, what, message, system)};
}

StoreDone SqliteStore::Exec(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return Failed(QStringLiteral("refused %1").arg(QLatin1String(sql)));
    }
    return {};
}

template <typename Body> auto SqliteStore::InTransaction(Body body) -> decltype(body()) {
    if (StoreDone begun = Exec("BEGIN IMMEDIATE"); !begun) {
        return begun.error();
    }
    auto done = body(); // its failure says why before the rollback clears the reason
    if (done) {
        if (StoreDone committed = Exec("COMMIT"); !committed) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return committed.error();
        }
        return done;
    }
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return done;
}

StoreDone SqliteStore::Migrate(int upTo) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // One program upgrades at a time; the others wait for it and find the work done.
    return InTransaction([&]() -> StoreDone {
        if (StoreDone made = Exec("CREATE TABLE IF NOT EXISTS tavrel_schema (version INTEGER NOT "
                                  "NULL)");
            !made) {
            return made;
        }
        int version = 0;
        {
            Statement read(m_db, QStringLiteral("SELECT version FROM tavrel_schema"));
            if (read.Ok() && read.Step() == SQLITE_ROW) {
                version = sqlite3_column_int(read.get(), 0);
            } else if (StoreDone first = Exec("INSERT INTO tavrel_schema VALUES (0)"); !first) {
                return first;
            }
        }
        if (version > kSchemaVersion) {
            return StoreError{StoreErrorCode::NewerSchema,
                              NewerSchemaText(QStringLiteral("sqlite:") + m_path, version)};
        }
        for (int next = version + 1; next <= upTo; ++next) {
            for (const QString& statement : MigrationTo(next, Dialect::Sqlite)) {
                if (StoreDone done = Exec(statement.toUtf8().constData()); !done) {
                    return done;
                }
            }
            const QByteArray set = "UPDATE tavrel_schema SET version = " + QByteArray::number(next);
            if (StoreDone done = Exec(set.constData()); !done) {
                return done;
            }
        }
        return {};
    });
}

StoreDone SqliteStore::Add(const QJsonObject& record) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    static const QString sql = [] {
        QStringList marks;
        for (int i = 0; i < RecordFields().size(); ++i) {
            marks << QStringLiteral("?");
        }
        return QStringLiteral("INSERT INTO records (%1) VALUES (%2)")
            .arg(ColumnList(), marks.join(QLatin1Char(',')));
    }();
    Statement insert(m_db, sql);
    if (!insert.Ok()) {
        return Failed(QStringLiteral("cannot take a record"));
    }
    const QList<Field>& fields = RecordFields();
    for (int i = 0; i < fields.size(); ++i) {
        BindField(insert, i + 1, fields[i], record.value(QLatin1String(fields[i].name)));
    }
    // One statement outside any transaction is a transaction of its own: all of it or nothing.
    if (insert.Step() != SQLITE_DONE) {
        const int error = errno; // the failed write's own, which SQLite does not always keep
        return Failed(QStringLiteral("could not keep the record"), error);
    }
    return {};
}

Records SqliteStore::Rows(Statement& select) {
    if (!select.Ok()) {
        return Failed(QStringLiteral("cannot be read"));
    }
    QList<QJsonObject> rows;
    int rc = 0;
    while ((rc = select.Step()) == SQLITE_ROW) {
        rows << RowOf(select.get());
    }
    if (rc != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot be read"));
    }
    return rows;
}

Records SqliteStore::Waiting(int limit) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement select(m_db, QStringLiteral("SELECT %1 FROM records WHERE forwarded = 0 ORDER BY "
                                          "seq LIMIT %2")
                               .arg(ColumnList())
                               .arg(limit));
    return Rows(select);
}

StoreDone SqliteStore::MarkForwarded(const QStringList& ids, Forwarded how) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return InTransaction([&]() -> StoreDone {
        Statement mark(
            m_db, QStringLiteral("UPDATE records SET forwarded = %1 WHERE id = ?").arg(int(how)));
        for (const QString& id : ids) {
            mark.Bind(1, id);
            if (!mark.Ok() || mark.Step() != SQLITE_DONE) {
                return Failed(QStringLiteral("cannot mark records sent"));
            }
            sqlite3_reset(mark.get());
        }
        return {};
    });
}

Result<qint64, StoreError> SqliteStore::WaitingCount() {
    return Count(0);
}

Result<qint64, StoreError> SqliteStore::RefusedCount() {
    return Count(int(Forwarded::Refused));
}

Result<qint64, StoreError> SqliteStore::Count(int forwarded) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement count(
        m_db, QStringLiteral("SELECT count(*) FROM records WHERE forwarded = %1").arg(forwarded));
    if (!count.Ok() || count.Step() != SQLITE_ROW) {
        return Failed(QStringLiteral("cannot be read"));
    }
    return qint64(sqlite3_column_int64(count.get(), 0));
}

Records SqliteStore::Fetch(const RecordFilter& filter) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    QStringList where;
    QStringList values;
    if (filter.since.isValid()) {
        where << QStringLiteral("\"time\" >= ?");
        values << filter.since.toUTC().toString(Qt::ISODateWithMs);
    }
    if (!filter.station.isEmpty()) {
        where << QStringLiteral("station = ?");
        values << filter.station;
    }
    if (!filter.job.isEmpty()) {
        // The title is "NAME VERSION": the name is the title up to its last blank.
        where << QStringLiteral("(job = ? OR job_sha256 = ? OR (substr(job, 1, length(?) + 1) = "
                                "? || ' ' AND instr(substr(job, length(?) + 2), ' ') = 0))");
        values << filter.job << filter.job << filter.job << filter.job << filter.job;
    }
    if (!filter.board.isEmpty()) {
        where << QStringLiteral("(usb_serial = ? OR board_serial = ? OR id = ?)");
        values << filter.board << filter.board << filter.board;
    }
    const QString bySeqCondition = SeqCondition(filter);
    const bool bySeq = !bySeqCondition.isEmpty();
    if (bySeq) {
        where << bySeqCondition;
    }
    Statement select(
        m_db,
        QStringLiteral("SELECT %1%2 FROM records %3 ORDER BY %4%5")
            .arg(ColumnList(), bySeq ? QStringLiteral(", seq") : QString(),
                 where.isEmpty() ? QString()
                                 : QStringLiteral("WHERE ") + where.join(QStringLiteral(" AND ")),
                 bySeq ? QStringLiteral("seq") : QStringLiteral("\"time\", seq"),
                 filter.limit > 0 ? QStringLiteral(" LIMIT %1").arg(filter.limit) : QString()));
    for (int i = 0; i < values.size(); ++i) {
        select.Bind(i + 1, values[i]);
    }
    return Rows(select);
}

Result<bool, StoreError> SqliteStore::TakeBoard(const BoardClaim& claim, int maxBoards) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // BEGIN IMMEDIATE: the count and the claim are one step for every program on the file.
    return InTransaction([&]() -> Result<bool, StoreError> {
        Statement count(m_db,
                        QStringLiteral("SELECT count(*) FROM board_claims WHERE job_sha256 = ?"));
        count.Bind(1, claim.jobSha256);
        if (!count.Ok() || count.Step() != SQLITE_ROW) {
            return Failed(QStringLiteral("cannot count the job's boards"));
        }
        if (sqlite3_column_int64(count.get(), 0) >= maxBoards) {
            return false;
        }
        Statement insert(m_db,
                         QStringLiteral("INSERT INTO board_claims (claim, job_sha256, station, "
                                        "state, \"time\") VALUES (?, ?, ?, 'taken', ?)"));
        insert.Bind(1, claim.claim);
        insert.Bind(2, claim.jobSha256);
        insert.Bind(3, claim.station);
        insert.Bind(4, Now());
        if (!insert.Ok() || insert.Step() != SQLITE_DONE) {
            return Failed(QStringLiteral("cannot count the job's boards"));
        }
        return true;
    });
}

StoreDone SqliteStore::SettleBoard(const QString& claim, bool kept) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement settle(m_db, kept ? QStringLiteral("UPDATE board_claims SET state = 'kept' "
                                                 "WHERE claim = ?")
                                : QStringLiteral("DELETE FROM board_claims WHERE claim = ?"));
    settle.Bind(1, claim);
    if (!settle.Ok() || settle.Step() != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot settle a board of the job"));
    }
    return {};
}

StoreDone SqliteStore::DefineCounter(const QString& name, qint64 first, qint64 last) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement make(m_db, QStringLiteral("INSERT INTO counters (name, first, last, next) VALUES "
                                        "(?, ?, ?, ?) ON CONFLICT (name) DO NOTHING"));
    make.Bind(1, name);
    make.Bind(2, first);
    make.Bind(3, last);
    make.Bind(4, first);
    if (!make.Ok() || make.Step() != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot make the counter %1").arg(name));
    }
    Statement read(m_db, QStringLiteral("SELECT first, last FROM counters WHERE name = ?"));
    read.Bind(1, name);
    if (!read.Ok() || read.Step() != SQLITE_ROW) {
        return Failed(QStringLiteral("cannot read the counter %1").arg(name));
    }
    const qint64 storedFirst = sqlite3_column_int64(read.get(), 0);
    const qint64 storedLast = sqlite3_column_int64(read.get(), 1);
    if (storedFirst != first || storedLast != last) {
        return StoreError{StoreErrorCode::Write,
                          QStringLiteral("the counter %1 is %2..%3 in the records store %4, not "
                                         "%5..%6")
                              .arg(name)
                              .arg(storedFirst)
                              .arg(storedLast)
                              .arg(m_path)
                              .arg(first)
                              .arg(last)};
    }
    return {};
}

Result<IssuedSerials, StoreError> SqliteStore::IssueSerials(const QString& counter,
                                                            const QString& station,
                                                            const QString& board, int count,
                                                            bool lease) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // BEGIN IMMEDIATE: reading the next number and taking it are one step for every program
    // on the file.
    return InTransaction([&]() -> Result<IssuedSerials, StoreError> {
        Statement read(m_db, QStringLiteral("SELECT next, last FROM counters WHERE name = ?"));
        read.Bind(1, counter);
        if (!read.Ok() || read.Step() != SQLITE_ROW) {
            return Failed(QStringLiteral("has no counter %1").arg(counter));
        }
        const qint64 next = sqlite3_column_int64(read.get(), 0);
        const qint64 last = sqlite3_column_int64(read.get(), 1);
        sqlite3_reset(read.get()); // done reading before the transaction writes and ends
        IssuedSerials issued;
        const qint64 taken = std::max<qint64>(0, std::min<qint64>(count, last - next + 1));
        for (qint64 value = next; value < next + taken; ++value) {
            Statement issue(m_db, QStringLiteral("INSERT INTO serials (counter, value, state, "
                                                 "station, board, \"time\") VALUES (?, ?, ?, ?, "
                                                 "?, ?)"));
            issue.Bind(1, counter);
            issue.Bind(2, value);
            issue.Bind(3, lease ? QStringLiteral("leased") : QStringLiteral("issued"));
            issue.Bind(4, station);
            issue.Bind(5, board);
            issue.Bind(6, Now());
            if (!issue.Ok() || issue.Step() != SQLITE_DONE) {
                return Failed(QStringLiteral("cannot issue a number of %1").arg(counter));
            }
            issued.values << value;
        }
        Statement move(m_db, QStringLiteral("UPDATE counters SET next = ? WHERE name = ?"));
        move.Bind(1, next + taken);
        move.Bind(2, counter);
        if (!move.Ok() || move.Step() != SQLITE_DONE) {
            return Failed(QStringLiteral("cannot issue a number of %1").arg(counter));
        }
        issued.left = last - (next + taken) + 1;
        return issued;
    });
}

StoreDone SqliteStore::AddLeased(const QString& counter, const QList<qint64>& values) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return InTransaction([&]() -> StoreDone {
        for (const qint64 value : values) {
            Statement add(m_db, QStringLiteral("INSERT INTO leases (counter, value, state, told) "
                                               "VALUES (?, ?, 'free', 1)"));
            add.Bind(1, counter);
            add.Bind(2, value);
            if (!add.Ok() || add.Step() != SQLITE_DONE) {
                return Failed(QStringLiteral("cannot keep the lease of %1").arg(counter));
            }
        }
        return {};
    });
}

Result<qint64, StoreError> SqliteStore::LeasedFree(const QString& counter) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement count(m_db, QStringLiteral("SELECT count(*) FROM leases WHERE counter = ? AND "
                                         "state = 'free'"));
    count.Bind(1, counter);
    if (!count.Ok() || count.Step() != SQLITE_ROW) {
        return Failed(QStringLiteral("cannot count the lease of %1").arg(counter));
    }
    return qint64(sqlite3_column_int64(count.get(), 0));
}

Result<qint64, StoreError> SqliteStore::LastSeq() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement last(m_db, QStringLiteral("SELECT coalesce(max(seq), 0) FROM records"));
    if (!last.Ok() || last.Step() != SQLITE_ROW) {
        return Failed(QStringLiteral("cannot be read"));
    }
    return qint64(sqlite3_column_int64(last.get(), 0));
}

Result<QList<qint64>, StoreError> SqliteStore::LeasedValues(const QString& counter,
                                                            const QString& state) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement read(m_db, QStringLiteral("SELECT value FROM leases WHERE counter = ? AND (? = '' "
                                        "OR state = ?) ORDER BY value"));
    read.Bind(1, counter);
    read.Bind(2, state);
    read.Bind(3, state);
    if (!read.Ok()) {
        return Failed(QStringLiteral("cannot read the lease of %1").arg(counter));
    }
    QList<qint64> values;
    while (read.Step() == SQLITE_ROW) {
        values << sqlite3_column_int64(read.get(), 0);
    }
    return values;
}

StoreDone SqliteStore::DropLeased(const QString& counter, qint64 value) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement drop(m_db, QStringLiteral("DELETE FROM leases WHERE counter = ? AND value = ? AND "
                                        "state = 'free'"));
    drop.Bind(1, counter);
    drop.Bind(2, value);
    if (!drop.Ok() || drop.Step() != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot drop number %1 of %2").arg(value).arg(counter));
    }
    return {};
}

Result<QList<qint64>, StoreError> SqliteStore::LeasedTo(const QString& counter,
                                                        const QString& station) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement read(m_db, QStringLiteral("SELECT value FROM serials WHERE counter = ? AND station "
                                        "= ? AND state = 'leased' ORDER BY value"));
    read.Bind(1, counter);
    read.Bind(2, station);
    if (!read.Ok()) {
        return Failed(QStringLiteral("cannot read the numbers of %1").arg(counter));
    }
    QList<qint64> values;
    while (read.Step() == SQLITE_ROW) {
        values << sqlite3_column_int64(read.get(), 0);
    }
    return values;
}

Result<std::optional<qint64>, StoreError> SqliteStore::TakeLeased(const QString& counter,
                                                                  const QString& board) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return InTransaction([&]() -> Result<std::optional<qint64>, StoreError> {
        Statement read(m_db, QStringLiteral("SELECT min(value) FROM leases WHERE counter = ? AND "
                                            "state = 'free'"));
        read.Bind(1, counter);
        if (!read.Ok() || read.Step() != SQLITE_ROW) {
            return Failed(QStringLiteral("cannot read the lease of %1").arg(counter));
        }
        if (sqlite3_column_type(read.get(), 0) == SQLITE_NULL) {
            return std::optional<qint64>();
        }
        const qint64 value = sqlite3_column_int64(read.get(), 0);
        sqlite3_reset(read.get());
        Statement take(m_db, QStringLiteral("UPDATE leases SET state = 'issued', board = ? WHERE "
                                            "counter = ? AND value = ?"));
        take.Bind(1, board);
        take.Bind(2, counter);
        take.Bind(3, value);
        if (!take.Ok() || take.Step() != SQLITE_DONE) {
            return Failed(QStringLiteral("cannot give a number of the lease of %1").arg(counter));
        }
        return std::optional<qint64>(value);
    });
}

Result<bool, StoreError> SqliteStore::SettleLeased(const QString& counter, qint64 value,
                                                   SerialState state) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement settle(m_db, QStringLiteral("UPDATE leases SET state = ?, told = 0 WHERE counter = "
                                          "? AND value = ? AND state = 'issued'"));
    settle.Bind(1, QString::fromLatin1(SerialStateName(state)));
    settle.Bind(2, counter);
    settle.Bind(3, value);
    if (!settle.Ok() || settle.Step() != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot settle number %1 of %2").arg(value).arg(counter));
    }
    return sqlite3_changes(m_db) > 0;
}

Result<QList<SqliteStore::LeaseSettlement>, StoreError> SqliteStore::UntoldLeased() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement read(m_db, QStringLiteral("SELECT counter, value, state FROM leases WHERE told = 0 "
                                        "ORDER BY counter, value"));
    if (!read.Ok()) {
        return Failed(QStringLiteral("cannot read the lease"));
    }
    QList<LeaseSettlement> settled;
    while (read.Step() == SQLITE_ROW) {
        const QByteArray state(reinterpret_cast<const char*>(sqlite3_column_text(read.get(), 2)));
        settled << LeaseSettlement{
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(read.get(), 0))),
            sqlite3_column_int64(read.get(), 1),
            state == "used"      ? SerialState::Used
            : state == "spoiled" ? SerialState::Spoiled
                                 : SerialState::Returned};
    }
    return settled;
}

StoreDone SqliteStore::MarkLeasedTold(const QString& counter, qint64 value) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement mark(m_db, QStringLiteral("UPDATE leases SET told = 1 WHERE counter = ? AND value "
                                        "= ?"));
    mark.Bind(1, counter);
    mark.Bind(2, value);
    if (!mark.Ok() || mark.Step() != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot mark number %1 of %2").arg(value).arg(counter));
    }
    return {};
}

StoreDone SqliteStore::SettleSerial(const QString& counter, qint64 value, SerialState state) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement settle(m_db, QStringLiteral("UPDATE serials SET state = ? WHERE counter = ? AND "
                                          "value = ? AND state IN ('issued', 'leased')"));
    settle.Bind(1, QString::fromLatin1(SerialStateName(state)));
    settle.Bind(2, counter);
    settle.Bind(3, value);
    if (!settle.Ok() || settle.Step() != SQLITE_DONE) {
        return Failed(QStringLiteral("cannot settle number %1 of %2").arg(value).arg(counter));
    }
    return {};
}

Result<CounterAccount, StoreError> SqliteStore::Account(const QString& counter) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Statement range(m_db, QStringLiteral("SELECT first, last, next FROM counters WHERE name = ?"));
    range.Bind(1, counter);
    if (!range.Ok() || range.Step() != SQLITE_ROW) {
        return Failed(QStringLiteral("has no counter %1").arg(counter));
    }
    CounterAccount account;
    account.first = sqlite3_column_int64(range.get(), 0);
    account.last = sqlite3_column_int64(range.get(), 1);
    account.free = account.last - sqlite3_column_int64(range.get(), 2) + 1;
    Statement states(m_db, QStringLiteral("SELECT state, count(*) FROM serials WHERE counter = ? "
                                          "GROUP BY state"));
    states.Bind(1, counter);
    while (states.Ok() && states.Step() == SQLITE_ROW) {
        const QByteArray state(reinterpret_cast<const char*>(sqlite3_column_text(states.get(), 0)));
        const qint64 count = sqlite3_column_int64(states.get(), 1);
        (state == "used"       ? account.used
         : state == "spoiled"  ? account.spoiled
         : state == "returned" ? account.returned
         : state == "leased"   ? account.leased
                               : account.inFlight) += count;
    }
    return account;
}

} // namespace records
