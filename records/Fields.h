// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The columns of a record: every field of the results log's records (an attempt, or the
// counters written when they were set to zero), plus the record's id and the station's name.
// Both stores keep a record as one row of these columns, named as the log's keys.

#include <QJsonObject>
#include <QList>
#include <QString>

namespace records {

struct Field {
    enum class Kind { Text, Integer, Real, Boolean, Time };
    const char* name;
    Kind kind;
    int since = 1; // the schema version that added it
};

const QList<Field>& RecordFields();

// The columns' names, comma-separated and quoted ("operator" is a word of SQL's).
QString ColumnList();

struct RecordFilter;
// The SQL condition of a filter by the store's sequence ("seq > N", "seq IN (...)"); empty when
// the filter is not by sequence. Each alone keeps to the key's index (with OR, SQLite reads the
// whole table).
QString SeqCondition(const RecordFilter& filter);

} // namespace records
