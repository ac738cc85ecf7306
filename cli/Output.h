// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What tavrel-flash writes: text to standard error and JSON records, one per line, to standard
// output. Output never holds up the line: writing is done by a thread of each stream's own, so
// that a full pipe nobody reads, or a terminal paused with Ctrl-S, stalls neither an update nor
// the watch for new boards. Progress (live lines, block records, the device's text) may be
// dropped while the output is blocked, within a bounded queue, and the count of what was dropped
// is said when it moves again; results and the summary are never dropped.

#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <functional>

namespace flash {

enum class Lane { Result, Progress };

void Print(std::FILE* to, const QString& text, Lane lane = Lane::Result);
// One record, with the "schema" of the layout docs/json.md describes.
void PrintJsonLine(QJsonObject record, Lane lane = Lane::Result);
// Something printed to `to` has not been written yet.
bool OutputWaiting(std::FILE* to);
// Waits until everything printed has been written, or the stream has failed, or `giveUp` says
// to stop waiting (a second stop signal).
void FinishOutput(const std::function<bool()>& giveUp);

} // namespace flash
