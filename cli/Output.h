// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What tavrel-flash writes: text to a stream, flushed at once so that a reader sees each line
// as it happens, and JSON records, one per line on standard output.

#include <QJsonObject>
#include <QString>
#include <cstdio>

namespace flash {

void Print(std::FILE* to, const QString& text);
void PrintJsonLine(const QJsonObject& record);

} // namespace flash
