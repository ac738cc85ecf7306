// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where the tool's own outputs (the results log, the trace) may go. An output written over the
// image or into a serial port would destroy what an update reads, or send text to a device; a
// results log must be a regular file, opened without ever blocking (a FIFO without a reader),
// so that every record can be made whole or undone.

#include "station/OutputError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace station {

enum class OutputKind { ResultsLog, Trace };

// Whether `path` may take this output; refused when it is the image (by any name,
// link or hard link), a serial port of the system or one of `ports`, or (a results log) anything
// but a regular file.
OutputDone RefuseOutput(const QByteArray& path, OutputKind kind, const QByteArray& imagePath,
                        const QStringList& ports);

// Whether two outputs are one file: the same file now, or the same path once created.
bool SameOutput(const QByteArray& a, const QByteArray& b);

// Opens a results log for appending, creating it and its folder, without blocking: its
// descriptor, or why not (anything but a regular file is refused).
Result<int, OutputError> OpenLogForAppend(const QByteArray& path);

} // namespace station
