// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where the tool's own outputs (the results log, the trace) may go. An output written over the
// image or into a serial port would destroy what an update reads, or send text to a device; a
// results log must be a regular file, opened without ever blocking (a FIFO without a reader),
// so that every record can be made whole or undone.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace station {

enum class OutputKind { ResultsLog, Trace };

// Why `path` may not take this output, or empty when it may: it is the image (by any name,
// link or hard link), a serial port of the system or one of `ports`, or (a results log) anything
// but a regular file.
QString RefuseOutput(const QByteArray& path, OutputKind kind, const QByteArray& imagePath,
                     const QStringList& ports);

// Whether two outputs are one file: the same file now, or the same path once created.
bool SameOutput(const QByteArray& a, const QByteArray& b);

// Opens a results log for appending, creating it and its folder, without blocking; -1 and the
// reason for anything but a regular file.
int OpenLogForAppend(const QByteArray& path, QString& reason);

} // namespace station
