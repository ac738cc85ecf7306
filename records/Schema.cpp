// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/Schema.h"

#include "records/Fields.h"

namespace records {

namespace {

QString TypeOf(Field::Kind kind, Dialect dialect) {
    const bool pg = dialect == Dialect::Postgres;
    switch (kind) {
    case Field::Kind::Text:
        return QStringLiteral("TEXT");
    case Field::Kind::Integer:
        return pg ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER");
    case Field::Kind::Real:
        return pg ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL");
    case Field::Kind::Boolean:
        return pg ? QStringLiteral("BOOLEAN") : QStringLiteral("INTEGER");
    case Field::Kind::Time:
        break;
    }
    return pg ? QStringLiteral("TIMESTAMPTZ") : QStringLiteral("TEXT"); // ISO 8601, UTC
}

QString Column(const Field& field, Dialect dialect) {
    QString column =
        QStringLiteral("\"%1\" %2").arg(QLatin1String(field.name), TypeOf(field.kind, dialect));
    const QLatin1String name(field.name);
    if (name == QLatin1String("id") || name == QLatin1String("record") ||
        name == QLatin1String("time")) {
        column += QStringLiteral(" NOT NULL");
    }
    if (name == QLatin1String("id")) {
        column += QStringLiteral(" UNIQUE"); // a record sent twice is stored once
    }
    return column;
}

} // namespace

QStringList MigrationTo(int version, Dialect dialect) {
    const bool pg = dialect == Dialect::Postgres;
    if (version == 1) {
        QStringList columns{pg ? QStringLiteral("seq BIGSERIAL PRIMARY KEY")
                               : QStringLiteral("seq INTEGER PRIMARY KEY AUTOINCREMENT")};
        for (const Field& field : RecordFields()) {
            if (field.since == 1) {
                columns << Column(field, dialect);
            }
        }
        // The station's own store marks what the line's has taken; the line's notes when a
        // record arrived.
        columns << (pg ? QStringLiteral("received TIMESTAMPTZ NOT NULL DEFAULT now()")
                       : QStringLiteral("forwarded INTEGER NOT NULL DEFAULT 0"));
        QStringList statements{
            QStringLiteral("CREATE TABLE records (%1)").arg(columns.join(QStringLiteral(", "))),
            QStringLiteral("CREATE INDEX records_usb_serial ON records (usb_serial)"),
            QStringLiteral("CREATE INDEX records_time ON records (\"time\")"),
            QStringLiteral("CREATE INDEX records_station ON records (station, \"time\")"),
            QStringLiteral("CREATE INDEX records_job ON records (job_sha256, \"time\")")};
        if (!pg) {
            statements << QStringLiteral(
                "CREATE INDEX records_waiting ON records (seq) WHERE forwarded = 0");
        }
        return statements;
    }
    if (version == 2) {
        // Per-board serial numbers, and the boards a job with a limit has taken.
        const QString time = pg ? QStringLiteral("TIMESTAMPTZ NOT NULL DEFAULT now()")
                                : QStringLiteral("TEXT NOT NULL");
        return {QStringLiteral("ALTER TABLE records ADD COLUMN board_serial TEXT"),
                QStringLiteral("CREATE INDEX records_board_serial ON records (board_serial)"),
                QStringLiteral("CREATE TABLE board_claims (claim TEXT PRIMARY KEY, job_sha256 "
                               "TEXT NOT NULL, station TEXT NOT NULL, state TEXT NOT NULL, "
                               "\"time\" %1)")
                    .arg(time),
                QStringLiteral("CREATE INDEX board_claims_job ON board_claims (job_sha256)")};
    }
    if (version == 3) {
        // Named counters of per-board numbers: each number issued once, with its state.
        const QString time = pg ? QStringLiteral("TIMESTAMPTZ NOT NULL DEFAULT now()")
                                : QStringLiteral("TEXT NOT NULL");
        return {QStringLiteral("CREATE TABLE counters (name TEXT PRIMARY KEY, first BIGINT NOT "
                               "NULL, last BIGINT NOT NULL, next BIGINT NOT NULL)"),
                QStringLiteral("CREATE TABLE serials (counter TEXT NOT NULL, value BIGINT NOT "
                               "NULL, state TEXT NOT NULL, station TEXT NOT NULL, board TEXT, "
                               "\"time\" %1, PRIMARY KEY (counter, value))")
                    .arg(time)};
    }
    if (version == 4) {
        // MAC addresses from a pool, and the numbers a station leased for when it cannot
        // reach the line's store (its own store only).
        QStringList statements{
            QStringLiteral("ALTER TABLE records ADD COLUMN board_mac TEXT"),
            QStringLiteral("CREATE INDEX records_board_mac ON records (board_mac)")};
        if (!pg) {
            statements << QStringLiteral(
                "CREATE TABLE leases (counter TEXT NOT NULL, value INTEGER NOT NULL, state TEXT "
                "NOT NULL, board TEXT, told INTEGER NOT NULL, PRIMARY KEY (counter, value))");
        }
        return statements;
    }
    if (version == 5) {
        // The rate of the attempt's line, for what the wire allows a slot; on the line's store,
        // each station's last word on the records it still has to send.
        QStringList statements{QStringLiteral("ALTER TABLE records ADD COLUMN baud %1")
                                   .arg(pg ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER"))};
        if (pg) {
            statements << QStringLiteral("CREATE TABLE station_backlog (station TEXT PRIMARY KEY, "
                                         "waiting BIGINT NOT NULL, \"time\" TIMESTAMPTZ NOT NULL "
                                         "DEFAULT now())");
        }
        return statements;
    }
    return {};
}

QString NewerSchemaText(const QString& store, int version) {
    return QStringLiteral("the records store %1 has schema version %2, newer than this "
                          "tavrel's %3: update tavrel on this station")
        .arg(store)
        .arg(version)
        .arg(kSchemaVersion);
}

QString UnreadableSchemaText(const QString& store, int version) {
    if (version < 0) {
        return QStringLiteral("%1 holds no records of tavrel").arg(store);
    }
    if (version > kSchemaVersion) {
        return NewerSchemaText(store, version);
    }
    if (version < kSchemaVersion) {
        return QStringLiteral("the records store %1 has schema version %2, older than this "
                              "tavrel's %3: a station of this version upgrades it when it starts")
            .arg(store)
            .arg(version)
            .arg(kSchemaVersion);
    }
    return {};
}

} // namespace records
