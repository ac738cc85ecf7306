// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where the records go: "sqlite:PATH" for a file on this station, or a PostgreSQL URI
// ("postgresql://USER@HOST:PORT/DB", libpq's own form) for the whole line. The password is never
// part of what is shown: libpq takes it from ~/.pgpass or PGPASSWORD.

#include "records/StoreError.h"

#include <QString>

namespace records {

struct StoreUrl {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    QString path;       // Sqlite: the file
    QByteArray connect; // Postgres: the URI as given, for libpq
    QString shown;      // for the operator and the logs: without any password
};

Result<StoreUrl, StoreError> ParseStoreUrl(const QString& text);

// The station's own store when none is named: records.sqlite in the user's data folder
// ($XDG_DATA_HOME/tavrel).
QString DefaultLocalStorePath();

} // namespace records
