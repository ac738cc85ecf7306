// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The stores' schema, versioned: each version is a list of statements that takes a store from
// the version before to it. A newer tool upgrades an older store; an older tool refuses a newer
// one rather than write rows it does not understand.

#include <QStringList>

namespace records {

enum class Dialect { Sqlite, Postgres };

// The version this tool writes.
constexpr int kSchemaVersion = 5;
// Opening a store only to read it (tavrel-records): nothing is upgraded or written, and a store
// of any other version than this tool's is refused, saying why.
constexpr int kReadOnly = 0;

// The statements that take a store from `version - 1` to `version`.
QStringList MigrationTo(int version, Dialect dialect);

// What to tell when a store is newer than this tool.
QString NewerSchemaText(const QString& store, int version);
// Why a store of `version` (-1: none there) cannot be read by this tool; empty when it can.
QString UnreadableSchemaText(const QString& store, int version);

} // namespace records
